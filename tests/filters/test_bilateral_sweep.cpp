// The bilateral's one-sweep form (column strips, AVX2) against its two-pass form: the same bits
// in C and N for every radius, over regions narrower and wider than a strip and touching every
// edge, and nothing written outside the region. And its range weights' power of two against
// the exact one.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "filter_reference.h"
#include "filters/bilateral_passes.h"
#include "filters/filter_kernel.h"
#include "filters/vector_float.h"

namespace sv {
namespace {

constexpr float kSentinel = 7.5f;

bool sameBits(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

struct Outputs {
    FloatImage N, C;
    Outputs(int w, int h) : N(w, h), C(w, h) {
        N.fill(kSentinel);
        C.fill(kSentinel);
    }
};

// Runs both forms of one plan on P and expects identical N and C everywhere.
void expectSameBits(const FloatImage& P, const Region& region, int radius, const std::vector<float>& swRow,
                    const std::vector<float>& swColumn, float rangeScale, float op) {
    Outputs twoPass(P.width(), P.height()), sweep(P.width(), P.height());
    detail::BilateralPlan plan;
    plan.P = &P;
    plan.region = region;
    plan.radius = radius;
    plan.swRow = swRow.data();
    plan.swColumn = swColumn.data();
    plan.rangeScale = rangeScale;
    plan.op = op;
    plan.rest = 1.0f - op;
    NullProgress none;
    plan.N = &twoPass.N;
    plan.C = &twoPass.C;
    detail::bilateralTwoPass(plan, none);
    plan.N = &sweep.N;
    plan.C = &sweep.C;
    detail::bilateralSweep(plan, none);
    for (std::size_t i = 0; i < P.sampleCount(); ++i) {
        ASSERT_TRUE(sameBits(sweep.C.data()[i], twoPass.C.data()[i]))
            << "C sample " << i << ": " << sweep.C.data()[i] << " vs " << twoPass.C.data()[i];
        ASSERT_TRUE(sameBits(sweep.N.data()[i], twoPass.N.data()[i])) << "N sample " << i;
    }
    // Outside the region the sentinel stays (the two forms were already found equal there).
    for (int y = 0; y < P.height(); ++y) {
        for (int x = 0; x < P.width(); ++x) {
            if (reference::inside(region, x, y)) continue;
            ASSERT_EQ(sweep.C.at(x, y, 1), kSentinel) << x << "," << y;
            ASSERT_EQ(sweep.N.at(x, y, 2), kSentinel) << x << "," << y;
        }
    }
}

std::string describe(const Region& r) {
    return "region " + std::to_string(r.x) + "+" + std::to_string(r.width) + ", " + std::to_string(r.y) + "+" +
           std::to_string(r.height);
}

TEST(BilateralSweep, GivesTheTwoPassBitsForEveryRadiusOfTheSigmaControl) {
    if (!detail::bilateralSweepUsable()) GTEST_SKIP() << "no AVX2 here";
    // 300 pixels: two whole strips and a partial one.
    const int w = 300, h = 23;
    const FloatImage P = reference::testPicture(w, h, 71);
    std::mt19937 rng(5);
    int lastRadius = 0;
    for (int sigmaPos = 1; sigmaPos <= 80; ++sigmaPos) {
        const FilterKernel kernel = makeBilateralKernel(sigmaFromPosition(sigmaPos));
        const int m = bilateralWindowStart(kernel);
        if ((kKernelCentre - m) == lastRadius) continue;  // one sigma per radius
        lastRadius = (kKernelCentre - m);
        std::vector<float> swRow, swColumn;
        for (int t = m; t <= 32 - m; ++t) {
            swRow.push_back(kernel.weights[t][kKernelCentre]);
            swColumn.push_back(kernel.weights[kKernelCentre][t]);
        }
        const float sigmaR = fractionFromPosition(static_cast<int>(1 + rng() % 30));
        const float rangeScale = -8.0f / (2.0f * sigmaR * sigmaR * 0.6931472f);
        const float op = fractionFromPosition(sigmaPos % 3 == 0 ? 55 : 100);
        const Region regions[] = {
            {0, w, 0, h}, {1, 128, 2, 20}, {7, 129, 0, 1}, {w - 5, 5, 3, 17}, {100, 200, h - 2, 2}};
        for (const Region& r : regions) {
            SCOPED_TRACE("radius " + std::to_string(lastRadius) + ", " + describe(r));
            expectSameBits(P, r, lastRadius, swRow, swColumn, rangeScale, op);
        }
    }
    EXPECT_EQ(lastRadius, 14);
}

TEST(BilateralSweep, GivesTheTwoPassBitsOnRandomRegionsAndWildSamples) {
    if (!detail::bilateralSweepUsable()) GTEST_SKIP() << "no AVX2 here";
    const int w = 170, h = 40;
    FloatImage P = reference::testPicture(w, h, 72);
    // Samples outside 0..1 and a few that are not numbers at all: both forms must still agree.
    std::mt19937 rng(9);
    for (int i = 0; i < 60; ++i) P.data()[rng() % P.sampleCount()] = static_cast<float>(rng() % 2000) / 100.0f - 10.0f;
    P.at(40, 20, 1) = std::numeric_limits<float>::quiet_NaN();
    P.at(150, 3, 0) = std::numeric_limits<float>::infinity();
    // Radii the controls never give (15 and 16) with made-up spatial weights, and a few usual ones.
    for (int radius : {1, 2, 3, 6, 15, 16}) {
        std::vector<float> sw(2 * radius + 1);
        for (int t = 0; t <= 2 * radius; ++t) sw[t] = 1.0f / (1.0f + std::abs(t - radius));
        for (const Region& r : reference::testRegions(w, h, 100 + radius, 3)) {
            SCOPED_TRACE("radius " + std::to_string(radius) + ", " + describe(r));
            expectSameBits(P, r, radius, sw, sw, -577.0f, radius == 2 ? 0.3f : 1.0f);
        }
    }
}

TEST(BilateralSweep, AdvancesTheGaugeByTheSameThreeStepsPerRow) {
    const FloatImage P = reference::testPicture(300, 31, 73);
    Outputs run(300, 31);
    std::vector<float> sw(7, 0.2f);
    detail::BilateralPlan plan{&P, &run.N, &run.C, Region{5, 290, 2, 29}, 3, sw.data(), sw.data(), -577.0f, 1.0f, 0.0f};
    AtomicProgress progress;
    detail::bilateralSweep(plan, progress);
    EXPECT_EQ(progress.position(), 3 * 29);
}

// The range weights' power of two against the library's, over the whole range the bilateral
// uses (t = -diff^2 x 8 / (e ln 2) <= 0), at every 1/64 and at random points.
TEST(Exp2Eighths, StaysWithin2e7OfTheExactPowerAndEndsAtTheSmallestNormal) {
    std::mt19937 rng(3);
    std::vector<float> points;
    for (int i = 0; i <= 64 * 1000; ++i) points.push_back(-static_cast<float>(i) / 64.0f);
    for (int i = 0; i < 20000; ++i) points.push_back(-std::uniform_real_distribution<float>(0.0f, 1000.0f)(rng));
    double worst = 0.0;
    for (std::size_t i = 0; i + 8 <= points.size(); i += 8) {
        vec::vfloat t = vec::load(&points[i]);
        const vec::vfloat got = vec::exp2Eighths(t);
        for (int lane = 0; lane < 8; ++lane) {
            const double exact = std::exp2(static_cast<double>(points[i + lane]) / 8.0);
            worst = std::max(worst, std::abs(got[lane] - exact) / exact);
        }
    }
    EXPECT_LT(worst, 2e-7);
    const vec::vfloat edge = {0.0f, -0.0f, -8.0f, -1000.0f, -5000.0f, std::numeric_limits<float>::quiet_NaN(),
                              -std::numeric_limits<float>::infinity(), -0.5f};
    const vec::vfloat got = vec::exp2Eighths(edge);
    EXPECT_EQ(got[0], 1.0f);
    EXPECT_EQ(got[1], 1.0f);
    EXPECT_EQ(got[2], 0.5f);
    EXPECT_EQ(got[3], std::ldexp(1.0f, -125));
    EXPECT_EQ(got[4], got[3]) << "far below the range: the smallest value, not garbage";
    EXPECT_EQ(got[5], got[3]) << "NaN counts as far below";
    EXPECT_EQ(got[6], got[3]);
    EXPECT_NEAR(got[7], std::exp2(-0.0625), 2e-7);
}

}  // namespace
}  // namespace sv
