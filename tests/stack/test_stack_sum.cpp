// The add/remove arithmetic of one row span, in its portable and AVX2 forms, against a direct
// per-pixel version: every bit of every sample and of the largest sample must agree, for 8-bit
// pictures (whose weights come from a table), for wider samples, and for spans that mix both.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "stack/exposure_stack.h"
#include "stack/stack_sum.h"
#include "support/test_support.h"

namespace sv {
namespace {

using detail::WeightTable;

// Direct form: per pixel, weight of the brightest channel, times multiplier, times the sample.
float referenceSpan(std::vector<float>& dst, const std::vector<float>& src, float multiplier, bool subtract,
                    float best) {
    for (std::size_t p = 0; p < src.size() / 3; ++p) {
        const float w = exposureWeight(src[3 * p], src[3 * p + 1], src[3 * p + 2]);
        for (int c = 0; c < 3; ++c) {
            float& s = dst[3 * p + c];
            const float term = w * multiplier * src[3 * p + c];
            s = subtract ? s - term : s + term;
            if (s > best) best = s;
        }
    }
    return best;
}

bool sameBits(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

using SpanFunction = float (*)(float*, const float*, std::size_t, const WeightTable&, bool, float);

struct SpanForm {
    const char* name;
    SpanFunction run;
};

std::vector<SpanForm> formsToCheck() {
    std::vector<SpanForm> forms{{"portable", detail::accumulateSpanPortable}};
    if (detail::avx2Usable()) forms.push_back({"avx2", detail::accumulateSpanAvx2});
    return forms;
}

// Runs every form on copies of `stack` and compares each with the direct form.
void expectAllFormsAgree(const std::vector<float>& stack, const std::vector<float>& source, float multiplier,
                         bool subtract, float best) {
    std::vector<float> expected = stack;
    const float expectedBest = referenceSpan(expected, source, multiplier, subtract, best);
    const WeightTable table = detail::makeWeightTable(multiplier);
    for (const SpanForm& form : formsToCheck()) {
        SCOPED_TRACE(form.name);
        // One float beyond each end guards against writes outside the span.
        std::vector<float> dst(stack.size() + 2, 123.0f);
        std::copy(stack.begin(), stack.end(), dst.begin() + 1);
        const float got = form.run(dst.data() + 1, source.data(), source.size() / 3, table, subtract, best);
        ASSERT_TRUE(sameBits(got, expectedBest)) << got << " vs " << expectedBest;
        ASSERT_EQ(dst.front(), 123.0f);
        ASSERT_EQ(dst.back(), 123.0f);
        for (std::size_t i = 0; i < stack.size(); ++i) {
            ASSERT_TRUE(sameBits(dst[i + 1], expected[i]))
                << "sample " << i << ": " << dst[i + 1] << " vs " << expected[i];
        }
    }
}

TEST(AccumulateSpan, EightBitPicturesGiveTheDirectSumsBitForBit) {
    std::mt19937 rng(11);
    const float multipliers[] = {1.0f, 0.1f, 0.3f, 2.5f, 10.0f};
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t pixels = trial % 41;  // whole vectors and every remainder
        std::vector<float> source(3 * pixels), stack(3 * pixels);
        for (float& v : source) v = static_cast<float>(rng() % 256) / 256.0f;
        for (float& v : stack) v = std::uniform_real_distribution<float>(-1.0f, 4.0f)(rng);
        // Black and white pixels, the two ends of the table.
        if (pixels > 2) {
            source[0] = source[1] = source[2] = 0.0f;
            source[3] = source[4] = source[5] = 255.0f / 256.0f;
        }
        SCOPED_TRACE(testing::Message() << "trial " << trial << ", " << pixels << " pixels");
        expectAllFormsAgree(stack, source, multipliers[trial % 5], trial % 3 == 0, trial % 7 == 0 ? 100.0f : 0.0f);
    }
}

TEST(AccumulateSpan, WiderSamplesAndMixedSpansGiveTheDirectSumsBitForBit) {
    std::mt19937 rng(12);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // Values a table keyed by k / 256 must not take for one of its own: just off a level, a level
    // past the end (1.0), 16-bit levels, negative ones, and the float oddities.
    const float odd[] = {1.0f, 0.5f + 1.0f / 65536.0f, std::nextafter(255.0f / 256.0f, 1.0f), 3.0f / 512.0f,
                         -1.0f / 256.0f, -0.0f, 1e-40f, 2.0f, 1e30f, 300.0f, inf, -inf, nan, 0.1f};
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t pixels = 1 + trial % 37;
        std::vector<float> source(3 * pixels), stack(3 * pixels);
        for (float& v : stack) v = std::uniform_real_distribution<float>(0.0f, 3.0f)(rng);
        const int kind = trial % 4;
        for (float& v : source) {
            if (kind == 0) {
                v = std::uniform_real_distribution<float>(-0.2f, 1.5f)(rng);  // a float picture
            } else if (kind == 1) {
                v = static_cast<float>(rng() % 65536) / 65536.0f;  // a 16-bit picture
            } else {
                v = static_cast<float>(rng() % 256) / 256.0f;  // 8-bit, with odd values sown below
            }
        }
        if (kind >= 2) {
            const int sown = kind == 2 ? 1 : 1 + static_cast<int>(rng() % 4);
            for (int i = 0; i < sown; ++i) source[rng() % source.size()] = odd[rng() % std::size(odd)];
        }
        SCOPED_TRACE(testing::Message() << "trial " << trial << ", kind " << kind << ", " << pixels << " pixels");
        expectAllFormsAgree(stack, source, trial % 2 ? 1.0f : 0.7f, trial % 5 == 0, 0.0f);
    }
}

TEST(AccumulateSpan, LargestSampleIgnoresNanAndStaysAtBestWhenEverythingFalls) {
    for (const SpanForm& form : formsToCheck()) {
        SCOPED_TRACE(form.name);
        const WeightTable table = detail::makeWeightTable(1.0f);
        std::vector<float> source(3 * 9, 0.5f), stack(3 * 9, 0.0f);
        stack[4] = std::numeric_limits<float>::quiet_NaN();
        const float best = form.run(stack.data(), source.data(), 9, table, true, 0.0f);
        EXPECT_EQ(best, 0.0f) << "every sample went below 0; the NaN never counts";
        EXPECT_TRUE(std::isnan(stack[4]));
        EXPECT_EQ(stack[0], -0.5f * static_cast<float>(1.0 / (0.7 * 0.5f + 1.0)));
    }
}

// The whole add through the stack rows: 8-bit and float pictures, odd widths and shifts, both
// directions, against the direct per-pixel add over the picture.
TEST(AccumulateExposure, MatchesTheDirectAddOverShiftedPicturesOfBothOrigins) {
    struct Case { int width, height, shiftX, shiftY; float multiplier; bool eightBit, subtract; };
    const Case cases[] = {{37, 9, 0, 0, 1.0f, true, false},  {37, 9, 3, -2, 1.0f, true, true},
                          {64, 5, -9, 1, 0.5f, true, false}, {19, 6, 4, 0, 1.0f, false, false},
                          {41, 7, -40, 0, 1.0f, true, false}, {16, 4, 0, 4, 1.0f, false, true}};
    unsigned seed = 40;
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.width << "x" << k.height << " shift " << k.shiftX << "," << k.shiftY);
        FloatImage source = test::randomImage(k.width, k.height, seed++, -0.1f, 1.2f);
        if (k.eightBit) {
            for (std::size_t i = 0; i < source.sampleCount(); ++i) {
                const float v = source.data()[i];
                source.data()[i] = static_cast<float>(std::clamp(static_cast<int>(v * 256.0f), 0, 255)) / 256.0f;
            }
        }
        FloatImage stack = test::randomImage(k.width, k.height, seed++, 0.0f, 2.0f);
        std::vector<float> expected(stack.data(), stack.data() + stack.sampleCount());
        float expectedBest = 0.0f;
        for (int y = 0; y < k.height; ++y) {
            const int sy = y - k.shiftY;
            for (int x = 0; x < k.width; ++x) {
                const int sx = x - k.shiftX;
                if (sx < 0 || sx >= k.width || sy < 0 || sy >= k.height) continue;
                const float w = exposureWeight(source.at(sx, sy, 0), source.at(sx, sy, 1), source.at(sx, sy, 2));
                for (int c = 0; c < 3; ++c) {
                    float& s = expected[(static_cast<std::size_t>(y) * k.width + x) * 3 + c];
                    const float term = w * k.multiplier * source.at(sx, sy, c);
                    s = k.subtract ? s - term : s + term;
                    if (s > expectedBest) expectedBest = s;
                }
            }
        }
        const ExposureRecord record{k.multiplier, "x.jpg", k.shiftX, k.shiftY};
        NullProgress progress;
        const float best = accumulateExposure(stack, source, record, k.subtract, progress);
        EXPECT_EQ(best, expectedBest);
        EXPECT_EQ(std::vector<float>(stack.data(), stack.data() + stack.sampleCount()), expected);
    }
}

}  // namespace
}  // namespace sv
