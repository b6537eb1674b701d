#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "filter_reference.h"
#include "filters/bilateral_filter.h"
#include "filters/gaussian_blur.h"
#include "filters/median_filter.h"
#include "filters/sharpen.h"

namespace sv {
namespace {

constexpr float kSentinel = 7.5f;

// P, N and C of one run; N and C start as a sentinel so that writes outside the region show.
struct Buffers {
    FloatImage P, N, C;
    Buffers(int w, int h, unsigned seed) : P(reference::testPicture(w, h, seed)), N(w, h), C(w, h) {
        N.fill(kSentinel);
        C.fill(kSentinel);
    }
    FilterBuffers view() { return FilterBuffers{P, N, C}; }
};

std::string describe(const Region& r) {
    return "region x=" + std::to_string(r.x) + " w=" + std::to_string(r.width) + " y=" + std::to_string(r.y) +
           " h=" + std::to_string(r.height);
}

// Compares the region of two outputs (exactly when tolerance is 0) and checks that nothing
// outside the region of N or C was written, and that N holds P over the region.
void expectSameRun(const Buffers& got, const FloatImage& expectC, const Region& r, float tolerance) {
    const int w = got.P.width(), h = got.P.height();
    int bad = 0;
    for (int y = 0; y < h && bad < 5; ++y) {
        for (int x = 0; x < w && bad < 5; ++x) {
            for (int c = 0; c < 3; ++c) {
                const bool in = reference::inside(r, x, y);
                const float gc = got.C.at(x, y, c), gn = got.N.at(x, y, c);
                if (!in) {
                    if (gc != kSentinel || gn != kSentinel) {
                        ADD_FAILURE() << "written outside at " << x << "," << y << " " << describe(r);
                        ++bad;
                    }
                    continue;
                }
                if (gn != got.P.at(x, y, c)) {
                    ADD_FAILURE() << "N is not the copy of P at " << x << "," << y << " " << describe(r);
                    ++bad;
                }
                const float ec = expectC.at(x, y, c);
                const bool ok = tolerance == 0.0f ? gc == ec : std::fabs(gc - ec) <= tolerance;
                if (!ok) {
                    ADD_FAILURE() << "C differs at " << x << "," << y << " ch " << c << ": " << gc << " vs " << ec
                                  << " " << describe(r);
                    ++bad;
                }
            }
        }
    }
}

TEST(GaussianBlurTest, MatchesDirectFormExactly) {
    const int w = 41, h = 33;
    const int params[][2] = {{10, 100}, {1, 100}, {5, 37}, {23, 100}, {80, 64}, {47, 1}};
    unsigned seed = 1;
    for (const auto& pr : params) {
        for (const Region& r : reference::testRegions(w, h, seed)) {
            Buffers got(w, h, seed);
            Buffers want(w, h, seed);
            gaussianBlur(got.view(), r, GaussianBlurParams{pr[0], pr[1]}, *std::make_unique<NullProgress>());
            reference::gaussianBlur(want.P, want.N, want.C, r, pr[0], pr[1]);
            SCOPED_TRACE("sigma " + std::to_string(pr[0]) + " opacity " + std::to_string(pr[1]));
            expectSameRun(got, want.C, r, 0.0f);
        }
        ++seed;
    }
}

TEST(GaussianBlurTest, UniformRegionStaysUniformAndHalfOpacityIsTheMean) {
    Buffers b(30, 20, 3);
    b.P.fill(0.25f);
    const Region r{4, 20, 3, 12};
    gaussianBlur(b.view(), r, GaussianBlurParams{80, 100}, *std::make_unique<NullProgress>());
    for (int y = r.y; y < r.bottom(); ++y)
        for (int x = r.x; x < r.right(); ++x) EXPECT_NEAR(b.C.at(x, y, 1), 0.25f, 1e-6f);

    // op = 0.5: the mean of the blurred and the unblurred sample.
    Buffers full(30, 20, 4), half(30, 20, 4);
    gaussianBlur(full.view(), r, GaussianBlurParams{20, 100}, *std::make_unique<NullProgress>());
    gaussianBlur(half.view(), r, GaussianBlurParams{20, 50}, *std::make_unique<NullProgress>());
    for (int x = r.x; x < r.right(); ++x) {
        const float p = half.P.at(x, 7, 0), f = full.C.at(x, 7, 0);
        EXPECT_NEAR(half.C.at(x, 7, 0), 0.5f * f + 0.5f * p, 1e-6f);
    }
}

TEST(SharpenTest, SeparableSumsAgreeWithDirect2DWithin1e5) {
    const int w = 44, h = 36;
    const int params[][2] = {{100, 10}, {200, 50}, {10, 1}, {150, 5}, {73, 31}, {200, 20}};
    unsigned seed = 11;
    for (const auto& pr : params) {
        for (const Region& r : reference::testRegions(w, h, seed, 2)) {
            Buffers got(w, h, seed);
            Buffers want(w, h, seed);
            sharpen(got.view(), r, SharpenParams{pr[0], pr[1]}, *std::make_unique<NullProgress>());
            reference::sharpen(want.P, want.N, want.C, r, pr[0], pr[1]);
            SCOPED_TRACE("amount " + std::to_string(pr[0]) + " sigma " + std::to_string(pr[1]));
            expectSameRun(got, want.C, r, 1e-5f);
        }
        ++seed;
    }
}

TEST(SharpenTest, UniformRegionBrightensNearEdgesAndTinySigmaChangesNothing) {
    Buffers b(40, 30, 5);
    b.P.fill(0.5f);
    const Region r{0, 40, 0, 30};
    sharpen(b.view(), r, SharpenParams{100, 10}, *std::make_unique<NullProgress>());
    // Interior: the Gaussian tail beyond radius 3 is missing, about 0.00054 of it.
    EXPECT_NEAR(b.C.at(20, 15, 0), 0.50027f, 2e-5f);
    EXPECT_GT(b.C.at(0, 0, 0), 0.6f);  // a corner loses three quarters of the surround
    EXPECT_GT(b.C.at(2, 15, 0), b.C.at(20, 15, 0) + 1e-3f);

    Buffers t(40, 30, 6);
    sharpen(t.view(), r, SharpenParams{200, 1}, *std::make_unique<NullProgress>());
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            for (int c = 0; c < 3; ++c) ASSERT_EQ(t.C.at(x, y, c), t.P.at(x, y, c));
}

TEST(MedianTest, MatchesDirectFormExactlyForEveryShapeAndSize) {
    const int w = 51, h = 31;  // interior runs of four blocks, single blocks and single pixels
    const MedianShape shapes[] = {MedianShape::HorizontalBar, MedianShape::VerticalBar, MedianShape::Plus,
                                  MedianShape::Box};
    const int settings[][3] = {{80, 100, 2}, {100, 100, 3}, {100, 45, 1}, {95, 100, 3}, {0, 100, 2}, {60, 17, 2}};
    unsigned seed = 21;
    for (const MedianShape shape : shapes) {
        for (const auto& st : settings) {
            for (const Region& r : reference::testRegions(w, h, seed, 2)) {
                Buffers got(w, h, seed);
                Buffers want(w, h, seed);
                medianFilter(got.view(), r, MedianParams{shape, st[2], st[0], st[1]},
                             *std::make_unique<NullProgress>());
                reference::median(want.P, want.N, want.C, r, shape, st[2], st[0], st[1]);
                SCOPED_TRACE("shape " + std::to_string(static_cast<int>(shape)) + " threshold " +
                             std::to_string(st[0]) + " opacity " + std::to_string(st[1]) + " size " +
                             std::to_string(st[2]));
                expectSameRun(got, want.C, r, 0.0f);
            }
            ++seed;
        }
    }
}

TEST(MedianTest, ImpulseRemovedUniformCopiedLonePixelCopied) {
    // Defaults (plus, 5, 0,80): a white pixel on black becomes black.
    Buffers b(20, 20, 7);
    b.P.fill(0.0f);
    for (int c = 0; c < 3; ++c) b.P.at(10, 10, c) = 1.0f;
    medianFilter(b.view(), Region{0, 20, 0, 20}, MedianParams{}, *std::make_unique<NullProgress>());
    EXPECT_EQ(b.C.at(10, 10, 0), 0.0f);
    EXPECT_EQ(b.C.at(3, 3, 2), 0.0f);

    // One-pixel-wide region with the horizontal bar: n = 1, every pixel copied, no NaN.
    Buffers one(20, 20, 8);
    const Region column{5, 1, 0, 20};
    medianFilter(one.view(), column, MedianParams{MedianShape::HorizontalBar, 3, 100, 100},
                 *std::make_unique<NullProgress>());
    for (int y = 0; y < 20; ++y)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(one.C.at(5, y, c), one.P.at(5, y, c));

    // Threshold 0: nothing changes.
    Buffers none(30, 20, 9);
    medianFilter(none.view(), Region{0, 30, 0, 20}, MedianParams{MedianShape::Box, 3, 0, 100},
                 *std::make_unique<NullProgress>());
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) ASSERT_EQ(none.C.at(x, y, 1), none.P.at(x, y, 1));
}

TEST(BilateralTest, AgreesWithDirectFormWithin1e5) {
    const int w = 40, h = 34;
    const int params[][3] = {{10, 10, 100}, {80, 30, 100}, {1, 1, 100}, {40, 5, 55}, {25, 17, 1}};
    unsigned seed = 31;
    for (const auto& pr : params) {
        for (const Region& r : reference::testRegions(w, h, seed, 2)) {
            Buffers got(w, h, seed);
            Buffers want(w, h, seed);
            bilateralFilter(got.view(), r, BilateralParams{pr[0], pr[1], pr[2]}, *std::make_unique<NullProgress>());
            reference::bilateral(want.P, want.N, want.C, r, pr[0], pr[1], pr[2]);
            SCOPED_TRACE("sigma " + std::to_string(pr[0]) + " threshold " + std::to_string(pr[1]) + " opacity " +
                         std::to_string(pr[2]));
            expectSameRun(got, want.C, r, 1e-5f);
        }
        ++seed;
    }
}

TEST(BilateralTest, UniformUnchangedAndStepStaysSharp) {
    Buffers u(24, 20, 12);
    u.P.fill(0.4f);
    bilateralFilter(u.view(), Region{0, 24, 0, 20}, BilateralParams{80, 30, 100}, *std::make_unique<NullProgress>());
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 24; ++x) EXPECT_NEAR(u.C.at(x, y, 0), 0.4f, 1e-6f);

    Buffers s(24, 20, 13);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 24; ++x)
            for (int c = 0; c < 3; ++c) s.P.at(x, y, c) = x < 12 ? 0.0f : 1.0f;
    bilateralFilter(s.view(), Region{0, 24, 0, 20}, BilateralParams{40, 10, 100}, *std::make_unique<NullProgress>());
    EXPECT_LT(s.C.at(11, 10, 0), 1e-6f);
    EXPECT_GT(s.C.at(12, 10, 0), 1.0f - 1e-6f);
}

// The gauge: every filter sets its maximum and ends with position = its own share of it.
TEST(FilterProgressTest, EachFilterAdvancesByItsPassesAndRows) {
    Buffers b(50, 40, 14);
    const Region r{3, 30, 5, 17};
    AtomicProgress p;
    gaussianBlur(b.view(), r, GaussianBlurParams{}, p);
    EXPECT_EQ(p.maximum(), 2 * 17);
    EXPECT_EQ(p.position(), 2 * 17);
    sharpen(b.view(), r, SharpenParams{}, p);
    EXPECT_EQ(p.maximum(), 3 * 17);
    EXPECT_EQ(p.position(), 2 * 17);
    medianFilter(b.view(), r, MedianParams{}, p);
    EXPECT_EQ(p.maximum(), 3 * 17);
    EXPECT_EQ(p.position(), 2 * 17);
    bilateralFilter(b.view(), r, BilateralParams{}, p);
    EXPECT_EQ(p.maximum(), 3 * 17);
    EXPECT_EQ(p.position(), 3 * 17);
}

}  // namespace
}  // namespace sv
