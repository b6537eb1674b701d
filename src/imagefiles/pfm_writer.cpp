#include "imagefiles/pfm_writer.h"

#include <bit>
#include <cstdio>

#include "image/atomic_file.h"

namespace sv {

bool writePfm(const std::string& path, const FloatImage& image, std::string& error) {
    WriteError e;
    const bool ok = writePfm(path, image, e);
    if (!ok) error = englishText(e);
    return ok;
}

bool writePfm(const std::string& path, const FloatImage& image, WriteError& error) {
    static_assert(std::endian::native == std::endian::little, "PFM \"-1.0\" means little-endian samples");
    return writeFileAtomically(path, [&](std::FILE* file) {
        if (std::fprintf(file, "PF\n%d %d\n-1.0\n", image.width(), image.height()) < 0) return false;
        for (int y = image.height() - 1; y >= 0; --y) {
            if (std::fwrite(image.row(y), sizeof(float), image.rowSamples(), file) != image.rowSamples()) return false;
        }
        return true;
    }, error);
}

}  // namespace sv
