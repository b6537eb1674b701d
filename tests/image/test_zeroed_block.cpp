// Picture blocks: every block handed out is zero, also when it takes the place of blocks that
// were written all over and freed, small and large alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "image/display_bitmap.h"
#include "image/float_image.h"
#include "image/zeroed_block.h"

namespace sv {
namespace {

constexpr std::size_t kMiB = 1u << 20;

bool allZero(const void* block, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(block);
    return std::all_of(p, p + bytes, [](unsigned char b) { return b == 0; });
}

TEST(ZeroedBlock, BlocksComeZeroAfterDirtyOnesOfTheSameSizeWereFreed) {
    const std::size_t sizes[] = {4096, 6 * kMiB, 8 * kMiB, 10 * kMiB};
    for (int round = 0; round < 3; ++round) {
        for (std::size_t bytes : sizes) {
            void* block = allocateZeroed(bytes);
            ASSERT_NE(block, nullptr);
            ASSERT_TRUE(allZero(block, bytes)) << bytes << " bytes, round " << round;
            std::memset(block, 0xA5, bytes);
            freeZeroed(block, bytes);
        }
    }
    freeZeroed(nullptr, 6 * kMiB);  // nothing to free is no fault
}

TEST(ZeroedBlock, PicturesOfASeriesStartZero) {
    for (int round = 0; round < 3; ++round) {
        FloatImage picture(1200, 900);
        DisplayBitmap bitmap(1200, 900);
        ASSERT_TRUE(allZero(picture.data(), picture.sampleCount() * sizeof(float))) << "round " << round;
        for (int y = 0; y < bitmap.height(); ++y) {
            ASSERT_TRUE(allZero(bitmap.row(y), static_cast<std::size_t>(bitmap.width()) * 4)) << "round " << round;
        }
        picture.fill(0.75f);
        for (int y = 0; y < bitmap.height(); ++y) std::fill_n(bitmap.row(y), bitmap.width(), 0x00FFFFFFu);
    }
}

}  // namespace
}  // namespace sv
