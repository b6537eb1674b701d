// Picture blocks: every block handed out is zero, also one reused after a picture was freed, and
// the blocks kept for reuse stay bounded and give way to any other size.
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

TEST(ZeroedBlock, ReusedBlocksComeBackZeroAndTheKeptOnesStayBounded) {
    releaseKeptBlocks();
    ASSERT_EQ(keptBlockBytes(), 0u);
    // Three large blocks written all over and freed: the two freed last are kept.
    const std::size_t sizes[] = {6 * kMiB, 8 * kMiB, 10 * kMiB};
    void* blocks[3];
    for (int i = 0; i < 3; ++i) {
        blocks[i] = allocateZeroed(sizes[i]);
        ASSERT_NE(blocks[i], nullptr);
        ASSERT_TRUE(allZero(blocks[i], sizes[i]));
        std::memset(blocks[i], 0xA5, sizes[i]);
    }
    for (int i = 0; i < 3; ++i) freeZeroed(blocks[i], sizes[i]);
    EXPECT_EQ(keptBlockBytes(), sizes[1] + sizes[2]);

    // Asked again, each kept size comes back cleared (the dirty pattern gone) and leaves the store.
    void* again = allocateZeroed(sizes[2]);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(allZero(again, sizes[2]));
    EXPECT_EQ(keptBlockBytes(), sizes[1]);
    std::memset(again, 0x5A, sizes[2]);
    freeZeroed(again, sizes[2]);
    EXPECT_EQ(keptBlockBytes(), sizes[1] + sizes[2]);

    // Another large size gives everything kept back to the system first.
    void* other = allocateZeroed(12 * kMiB);
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(allZero(other, 12 * kMiB));
    EXPECT_EQ(keptBlockBytes(), 0u);
    freeZeroed(other, 12 * kMiB);

    // Small blocks never enter the store.
    releaseKeptBlocks();
    void* small = allocateZeroed(4096);
    ASSERT_NE(small, nullptr);
    EXPECT_TRUE(allZero(small, 4096));
    freeZeroed(small, 4096);
    EXPECT_EQ(keptBlockBytes(), 0u);
}

TEST(ZeroedBlock, PicturesOfASeriesStartZeroWhenTheirBlocksAreReused) {
    releaseKeptBlocks();
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
    releaseKeptBlocks();
    EXPECT_EQ(keptBlockBytes(), 0u);
}

}  // namespace
}  // namespace sv
