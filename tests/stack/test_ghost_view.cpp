// The Ghosts view against a direct version: the stack drawn as the other views draw it, tinted
// red by 0.6 x the mask.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "stack/ghost_view.h"

namespace sv {
namespace {

TEST(GhostView, MatchesADirectVersionOnRandomStacksAndMasks) {
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    FloatImage stack(37, 11);
    for (std::size_t i = 0; i < stack.sampleCount(); ++i) stack.data()[i] = 2.5f * unit(rng) - 0.2f;  // some above stackMax, some below 0
    std::vector<float> mask(37 * 11);
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = i % 5 == 0 ? 0.0f : unit(rng);
    const float stackMax = 2.0f;
    const DisplayBitmap view = ghostView(stack, stackMax, mask);
    ASSERT_EQ(view.width(), 37);
    ASSERT_EQ(view.height(), 11);
    for (int y = 0; y < 11; ++y) {
        for (int x = 0; x < 37; ++x) {
            const float m = mask[static_cast<std::size_t>(y) * 37 + x];
            int want[3];
            for (int c = 0; c < 3; ++c) {
                int base = static_cast<int>(stack.at(x, y, c) * 255.0f / stackMax);
                base = std::clamp(base, 0, 255);
                const float target = c == 0 ? 255.0f : 0.0f;
                want[c] = static_cast<int>(static_cast<float>(base) + 0.6f * m * (target - static_cast<float>(base)));
            }
            const std::uint32_t p = view.at(x, y);
            ASSERT_EQ(redOf(p), want[0]) << x << "," << y;
            ASSERT_EQ(greenOf(p), want[1]) << x << "," << y;
            ASSERT_EQ(blueOf(p), want[2]) << x << "," << y;
            ASSERT_EQ(p >> 24, 0u);
        }
    }
    // Without a mask of the picture's size the view is the plain stack.
    const DisplayBitmap plain = ghostView(stack, stackMax, {});
    for (int x = 0; x < 37; ++x) {
        EXPECT_EQ(redOf(plain.at(x, 3)), std::clamp(static_cast<int>(stack.at(x, 3, 0) * 255.0f / stackMax), 0, 255));
    }
}

}  // namespace
}  // namespace sv
