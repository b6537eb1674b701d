// The BMP bytes handed to the JPEG encoder and written by Save as BMP, byte for byte against
// stb_image_write's 24-bit BMP of the same pixels: every padding (width mod 4), one row, one
// column, and the unused top byte of the display words set at random.
#include <gtest/gtest.h>

#include <stb_image_write.h>

#include <cstdint>
#include <random>
#include <vector>

#include "image/display_bitmap.h"
#include "imagefiles/bmp_writer.h"

namespace sv {
namespace {

std::vector<std::uint8_t> stbBmp(const DisplayBitmap& bitmap) {
    std::vector<std::uint8_t> rgb;
    for (int y = 0; y < bitmap.height(); ++y) {
        for (int x = 0; x < bitmap.width(); ++x) {
            const std::uint32_t word = bitmap.at(x, y);
            rgb.push_back(static_cast<std::uint8_t>(redOf(word)));
            rgb.push_back(static_cast<std::uint8_t>(greenOf(word)));
            rgb.push_back(static_cast<std::uint8_t>(blueOf(word)));
        }
    }
    std::vector<std::uint8_t> file;
    const auto append = [](void* context, void* data, int size) {
        auto* out = static_cast<std::vector<std::uint8_t>*>(context);
        out->insert(out->end(), static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
    };
    EXPECT_TRUE(stbi_write_bmp_to_func(append, &file, bitmap.width(), bitmap.height(), 3, rgb.data()));
    return file;
}

TEST(BmpEncoding, SameBytesAsStbImageWrite) {
    std::mt19937 rng(16);
    const std::pair<int, int> sizes[] = {{1, 1},  {1, 9},  {9, 1},  {2, 3},   {3, 5},   {4, 4},
                                         {5, 2},  {6, 7},  {7, 6},  {64, 17}, {203, 111}};
    for (const auto& [w, h] : sizes) {
        DisplayBitmap b(w, h);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) b.at(x, y) = static_cast<std::uint32_t>(rng());
        }
        const std::vector<std::uint8_t> ours = encodeBmp24(b);
        const std::vector<std::uint8_t> theirs = stbBmp(b);
        ASSERT_EQ(ours.size(), theirs.size()) << w << " x " << h;
        EXPECT_TRUE(ours == theirs) << w << " x " << h;
    }
}

}  // namespace
}  // namespace sv
