#include "imagefiles/bmp_writer.h"

#include <stb_image_write.h>

#include <climits>

#include "image/atomic_file.h"

namespace sv {

namespace {
void appendBytes(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(context);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
}
}  // namespace

std::vector<std::uint8_t> encodeBmp24(const DisplayBitmap& bitmap) {
    std::vector<std::uint8_t> file;
    const int width = bitmap.width();
    const int height = bitmap.height();
    if (bitmap.empty() || static_cast<long long>(width) * height * 3 > INT_MAX) return file;
    // The copy converted to 24 bits per pixel; the bitmap itself is left as it is.
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const std::uint32_t* src = bitmap.row(y);
        std::uint8_t* dst = rgb.data() + static_cast<std::size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            dst[3 * x + 0] = static_cast<std::uint8_t>(redOf(src[x]));
            dst[3 * x + 1] = static_cast<std::uint8_t>(greenOf(src[x]));
            dst[3 * x + 2] = static_cast<std::uint8_t>(blueOf(src[x]));
        }
    }
    file.reserve(54 + static_cast<std::size_t>(height) * ((width * 3 + 3) & ~3));
    if (!stbi_write_bmp_to_func(appendBytes, &file, width, height, 3, rgb.data())) file.clear();
    return file;
}

Failure writeBmp(const DisplayBitmap& bitmap, const std::string& path) {
    const std::vector<std::uint8_t> file = encodeBmp24(bitmap);
    if (file.empty()) return cannotWrite(WriteError{WriteFailure::NothingToWrite, 0, {}});
    AtomicFile out;
    Failure failed = out.open(path);
    if (!failed) failed = out.writeAll(file.data(), file.size());
    if (!failed) failed = out.commit();
    return failed;
}

}  // namespace sv
