#include "imagefiles/bmp_writer.h"

#include <climits>

#include "image/atomic_file.h"
#include "image/parallel_rows.h"

namespace sv {

namespace {
constexpr std::size_t kBmpHeaderBytes = 54;
void putLe32(std::uint8_t* at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
}  // namespace

std::vector<std::uint8_t> encodeBmp24(const DisplayBitmap& bitmap) {
    std::vector<std::uint8_t> file;
    const int width = bitmap.width();
    const int height = bitmap.height();
    if (bitmap.empty() || static_cast<long long>(width) * height * 3 > INT_MAX) return file;
    // The classic 54-byte header and bottom-up rows of blue, green, red padded to four bytes,
    // written straight into the file's bytes: rows in parallel, no 24-bit copy in between.
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
    const std::size_t size = kBmpHeaderBytes + stride * static_cast<std::size_t>(height);
    file.resize(size);  // zero: the padding bytes stay so
    std::uint8_t* h = file.data();
    h[0] = 'B';
    h[1] = 'M';
    putLe32(h + 2, static_cast<std::uint32_t>(size));
    putLe32(h + 10, kBmpHeaderBytes);
    putLe32(h + 14, 40);
    putLe32(h + 18, static_cast<std::uint32_t>(width));
    putLe32(h + 22, static_cast<std::uint32_t>(height));
    h[26] = 1;   // planes
    h[28] = 24;  // bits per pixel; compression, sizes, resolution and colours stay 0
    parallelRows(0, height, [&](int y) {
        const std::uint32_t* src = bitmap.row(y);
        std::uint8_t* dst = file.data() + kBmpHeaderBytes + static_cast<std::size_t>(height - 1 - y) * stride;
        for (int x = 0; x < width; ++x) {
            dst[3 * x + 0] = static_cast<std::uint8_t>(blueOf(src[x]));
            dst[3 * x + 1] = static_cast<std::uint8_t>(greenOf(src[x]));
            dst[3 * x + 2] = static_cast<std::uint8_t>(redOf(src[x]));
        }
    });
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
