#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "../filters/filter_reference.h"
#include "tone/colour_balance.h"

namespace sv {
namespace {

constexpr float kSentinel = 5.5f;

// Direct neutral point over a region, from its description.
void referenceNeutral(const FloatImage& P, FloatImage& C, const Region& r, const Rgb& s) {
    const float m = (s[0] + s[1] + s[2]) * (1.0f / 3.0f);
    for (int y = r.y; y < r.bottom(); ++y)
        for (int x = r.x; x < r.right(); ++x)
            for (int ch = 0; ch < 3; ++ch) {
                float o = s[ch] != 0.0f ? P.at(x, y, ch) / s[ch] * m : P.at(x, y, ch);
                if (o > 1.0f) o = 1.0f;
                C.at(x, y, ch) = o;
            }
}

// Direct sample/target balance; a zero sample channel leaves that channel of the term as P.
void referenceBalance(const FloatImage& P, FloatImage& C, const Region& r, const BalanceParams& bp) {
    int n = 0;
    bool use[3];
    for (int k = 0; k < 3; ++k) {
        const auto& row = bp.ranges[k];
        use[k] = row.ticked && std::max({row.sample[0], row.sample[1], row.sample[2]}) != 0.0f &&
                 std::max({row.target[0], row.target[1], row.target[2]}) != 0;
        n += use[k];
    }
    for (int y = r.y; y < r.bottom(); ++y)
        for (int x = r.x; x < r.right(); ++x) {
            const float L = (P.at(x, y, 0) + P.at(x, y, 1) + P.at(x, y, 2)) * (1.0f / 3.0f);
            const float w[3] = {(1 - L) * (1 - L), 1 - (L - 0.5f) * 4 * (L - 0.5f), 1 - (1 - L) * (1 - L)};
            for (int ch = 0; ch < 3; ++ch) {
                const float p = P.at(x, y, ch);
                if (n == 0) {
                    C.at(x, y, ch) = p;
                    continue;
                }
                float acc = 0.0f;
                for (int k = 0; k < 3; ++k) {
                    if (!use[k]) continue;
                    const float s = bp.ranges[k].sample[ch];
                    const float t = static_cast<float>(bp.ranges[k].target[ch]) / 255.0f;
                    acc += s != 0.0f ? w[k] * p / s * t + (1 - w[k]) * p : p;
                }
                float o = acc / static_cast<float>(n);
                if (o > 1.0f) o = 1.0f;
                C.at(x, y, ch) = o;
            }
        }
}

struct BalanceRun {
    FloatImage P, N, C;
    explicit BalanceRun(unsigned seed) : P(reference::testPicture(33, 27, seed)), N(33, 27), C(33, 27) {
        N.fill(kSentinel);
        C.fill(kSentinel);
    }
};

void expectRegionEqual(const BalanceRun& got, const FloatImage& want, const Region& r) {
    for (int y = 0; y < got.P.height(); ++y)
        for (int x = 0; x < got.P.width(); ++x)
            for (int ch = 0; ch < 3; ++ch) {
                if (reference::inside(r, x, y)) {
                    ASSERT_EQ(got.C.at(x, y, ch), want.at(x, y, ch)) << x << "," << y;
                    ASSERT_EQ(got.N.at(x, y, ch), got.P.at(x, y, ch));
                } else {
                    ASSERT_EQ(got.C.at(x, y, ch), kSentinel);
                    ASSERT_EQ(got.N.at(x, y, ch), kSentinel);
                }
            }
}

TEST(NeutralPointTest, TheExampleFromTheManual) {
    FloatImage P(2, 1), N(2, 1), C(2, 1);
    P.at(0, 0, 0) = 0.4f, P.at(0, 0, 1) = 0.3f, P.at(0, 0, 2) = 0.2f;
    P.at(1, 0, 0) = 1.0f, P.at(1, 0, 1) = 1.0f, P.at(1, 0, 2) = 1.0f;
    NullProgress none;
    neutralPoint(P, N, C, Region{0, 2, 0, 1}, Rgb{0.8f, 0.6f, 0.4f}, none);
    for (int ch = 0; ch < 3; ++ch) EXPECT_NEAR(C.at(0, 0, ch), 0.3f, 1e-6f);
    EXPECT_NEAR(C.at(1, 0, 0), 0.75f, 1e-6f);
    EXPECT_EQ(C.at(1, 0, 1), 1.0f);
    EXPECT_EQ(C.at(1, 0, 2), 1.0f);

    // A zero channel in the sample: that channel is left alone, the others scaled by (1/3)/0.5.
    neutralPoint(P, N, C, Region{0, 2, 0, 1}, Rgb{0.5f, 0.0f, 0.5f}, none);
    EXPECT_EQ(C.at(0, 0, 1), 0.3f);
    EXPECT_NEAR(C.at(0, 0, 0), 0.4f / 0.5f * (1.0f / 3.0f), 1e-6f);
}

TEST(NeutralPointTest, MatchesDirectFormOnRegions) {
    const Rgb samples[] = {{0.8f, 0.6f, 0.4f}, {0.2f, 0.0f, 0.9f}, {0.0f, 0.0f, 0.0f}, {0.05f, 0.3f, 0.31f}};
    unsigned seed = 3;
    for (const Rgb& s : samples) {
        for (const Region& r : reference::testRegions(33, 27, seed, 3)) {
            BalanceRun got(seed);
            FloatImage want(33, 27);
            AtomicProgress gauge;
            neutralPoint(got.P, got.N, got.C, r, s, gauge);
            EXPECT_EQ(gauge.maximum(), 2 * r.height);
            EXPECT_EQ(gauge.position(), r.height);
            referenceNeutral(got.P, want, r, s);
            expectRegionEqual(got, want, r);
        }
        ++seed;
    }
}

TEST(SampleTargetBalanceTest, MatchesDirectFormAndStaysFiniteWithZeroSampleChannels) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int trial = 0; trial < 8; ++trial) {
        BalanceParams bp;
        for (auto& row : bp.ranges) {
            row.ticked = u(rng) < 0.7f;
            for (int ch = 0; ch < 3; ++ch) {
                row.sample[ch] = u(rng) < 0.2f ? 0.0f : u(rng);
                row.target[ch] = static_cast<int>(u(rng) * 255.0f);
            }
        }
        for (const Region& r : reference::testRegions(33, 27, 40 + trial, 2)) {
            BalanceRun got(50 + trial);
            FloatImage want(33, 27);
            NullProgress none;
            sampleTargetBalance(got.P, got.N, got.C, r, bp, none);
            referenceBalance(got.P, want, r, bp);
            expectRegionEqual(got, want, r);
            for (int y = r.y; y < r.bottom(); ++y)
                for (int x = r.x; x < r.right(); ++x)
                    for (int ch = 0; ch < 3; ++ch) ASSERT_TRUE(std::isfinite(got.C.at(x, y, ch)));
        }
    }
}

TEST(SampleTargetBalanceTest, RangeWeightsAndRowsInUse) {
    FloatImage P(3, 1), N(3, 1), C(3, 1);
    const float L[3] = {0.0f, 0.5f, 1.0f};
    for (int x = 0; x < 3; ++x)
        for (int ch = 0; ch < 3; ++ch) P.at(x, 0, ch) = L[x];
    NullProgress none;
    // Only Midtones: L = 0 and L = 1 unchanged; the sample (0.5 grey) goes fully to its target.
    BalanceParams mid;
    mid.ranges[1] = {true, {0.5f, 0.5f, 0.5f}, {255, 0, 51}};
    sampleTargetBalance(P, N, C, Region{0, 3, 0, 1}, mid, none);
    EXPECT_EQ(C.at(0, 0, 0), 0.0f);
    EXPECT_EQ(C.at(2, 0, 1), 1.0f);
    EXPECT_NEAR(C.at(1, 0, 0), 1.0f, 1e-6f);
    EXPECT_NEAR(C.at(1, 0, 1), 0.0f, 1e-6f);
    EXPECT_NEAR(C.at(1, 0, 2), 0.2f, 1e-6f);

    // Shadows in use, Midtones ticked without a sample: the same as Shadows alone.
    BalanceParams shadows;
    shadows.ranges[0] = {true, {0.2f, 0.3f, 0.4f}, {20, 80, 100}};
    BalanceParams both = shadows;
    both.ranges[1] = {true, {0.0f, 0.0f, 0.0f}, {100, 100, 100}};
    EXPECT_FALSE(balanceRangeInUse(both.ranges[1]));
    FloatImage C2(3, 1);
    sampleTargetBalance(P, N, C, Region{0, 3, 0, 1}, shadows, none);
    sampleTargetBalance(P, N, C2, Region{0, 3, 0, 1}, both, none);
    for (int x = 0; x < 3; ++x)
        for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(C.at(x, 0, ch), C2.at(x, 0, ch));

    // Nothing in use: the picture is copied.
    BalanceParams none3;
    none3.ranges[2] = {false, {0.5f, 0.5f, 0.5f}, {1, 2, 3}};
    sampleTargetBalance(P, N, C, Region{0, 3, 0, 1}, none3, none);
    for (int x = 0; x < 3; ++x) EXPECT_EQ(C.at(x, 0, 2), P.at(x, 0, 2));
}

TEST(SamplingTest, KernelSumsToOneAndPointReadsOnePixel) {
    for (int r = 0; r <= 4; ++r) {
        const SamplingKernel k = makeSamplingKernel(r);
        EXPECT_EQ(k.size, 2 * r + 1);
        double sum = 0.0;
        for (float w : k.weights) sum += w;
        EXPECT_NEAR(sum, 1.0, 1e-6);
        if (r > 0) {
            EXPECT_GT(k.at(r, r), k.at(0, r));
            EXPECT_EQ(k.at(0, r), k.at(r, 0));  // a product of equal row and column factors
        }
    }
    const FloatImage P = reference::testPicture(20, 15, 77);
    const Rgb point = takeSample(P, 7, 9, 0);
    for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(point[ch], P.at(7, 9, ch));

    // Gauss 9x9 in the interior: the weighted sum over 81 pixels, in cell order.
    const SamplingKernel k = makeSamplingKernel(4);
    float want[3] = {0, 0, 0};
    for (int i = 0; i < 9; ++i)
        for (int j = 0; j < 9; ++j)
            for (int ch = 0; ch < 3; ++ch) want[ch] += k.at(i, j) * P.at(10 + i - 4, 7 + j - 4, ch);
    const Rgb gauss = takeSample(P, 10, 7, 4);
    for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(gauss[ch], want[ch]);

    // At a corner the outside cells read the nearest pixel: a uniform picture samples uniform.
    FloatImage flat(10, 10);
    flat.fill(0.4f);
    const Rgb corner = takeSample(flat, 0, 9, 4);
    EXPECT_NEAR(corner[1], 0.4f, 1e-6f);
}

TEST(SamplingTest, PanelColoursAndHint) {
    const Rgb s{0.8f, 0.6f, 0.4f};
    EXPECT_EQ(sampleBytes(s), (std::array<int, 3>{204, 153, 102}));
    EXPECT_EQ(neutralGreyByte(s), 153);
    EXPECT_EQ(sampleHint(s), "R:204, G:153, B:102");
}

}  // namespace
}  // namespace sv
