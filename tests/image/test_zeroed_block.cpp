// Picture blocks: every block handed out is zero, also when it takes the place of blocks that
// were written all over and freed, small and large alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
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
    const std::size_t sizes[] = {4096, 6 * kMiB, 8 * kMiB, 10 * kMiB, 6 * kMiB + 12345};
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

std::size_t mappedBytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (f) {
        if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    return pages * 4096;
}

// Large blocks start on a huge-page boundary (only whole aligned 2 MB pages can be huge), and the
// part mapped beyond the block to find that boundary is given back: a long series of blocks
// leaves the mapped size where it was.
TEST(ZeroedBlock, LargeBlocksStartOnAHugePageAndLeaveNothingMapped) {
    const std::size_t bytes = 5 * kMiB + 777;
    freeZeroed(allocateZeroed(bytes), bytes);
    const std::size_t before = mappedBytes();
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 200; ++i) {
        void* block = allocateZeroed(bytes);
        ASSERT_NE(block, nullptr);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(block) % (2 * kMiB), 0u);
        static_cast<unsigned char*>(block)[bytes - 1] = 1;
        freeZeroed(block, bytes);
    }
    EXPECT_LT(mappedBytes(), before + 8 * kMiB);
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
