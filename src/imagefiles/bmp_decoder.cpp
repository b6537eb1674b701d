#include <stb_image.h>

#include <climits>
#include <memory>

#include "image/parallel_rows.h"
#include "imagefiles/picture_decoder.h"

namespace sv {

DecodedPicture decodeBmpMemory(const unsigned char* data, std::size_t size, ProgressSink& progress) {
    DecodedPicture out;
    out.failure = Message{MessageId::CannotReadFile, 0, "(BMP)"};
    // Only real BMP files: stb would happily decode a PNG or GIF renamed to .bmp.
    if (size < 26 || size > static_cast<std::size_t>(INT_MAX) || data[0] != 'B' || data[1] != 'M') return out;
    const int length = static_cast<int>(size);
    int width = 0, height = 0, channels = 0;
    if (!stbi_info_from_memory(data, length, &width, &height, &channels)) return out;
    if (!preparePicture(out, width, height, "(BMP)")) return out;
    int w = 0, h = 0;
    std::unique_ptr<unsigned char, void (*)(void*)> rgb(stbi_load_from_memory(data, length, &w, &h, &channels, 3),
                                                        stbi_image_free);
    if (!rgb || w != width || h != height) {
        out.pixels.release();
        out.bitmap = DisplayBitmap();
        return out;
    }
    const unsigned char* src = rgb.get();
    parallelRows(0, height, [&](int y) {
        const unsigned char* s = src + static_cast<std::size_t>(y) * width * 3;
        std::uint32_t* d = out.bitmap.row(y);
        for (int x = 0; x < width; ++x) d[x] = packRgb(s[3 * x], s[3 * x + 1], s[3 * x + 2]);
    });
    floatsFromBitmap(out.bitmap, out.pixels, progress);
    out.ok = true;
    return out;
}

DecodedPicture decodeBmpFile(const std::string& path, ProgressSink& progress) {
    std::string contents;
    if (!readWholeFile(path, contents)) {
        DecodedPicture out;
        out.failure = Message{MessageId::CannotReadFile, 0, fileNameOf(path)};
        return out;
    }
    DecodedPicture out = decodeBmpMemory(reinterpret_cast<const unsigned char*>(contents.data()),
                                         contents.size(), progress);
    if (!out.ok) out.failure.detail = fileNameOf(path);
    return out;
}

}  // namespace sv
