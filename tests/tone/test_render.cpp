// The render and the display conversion against direct versions that follow the description
// pixel by pixel (a pow per channel, no tables, one thread).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "support/test_support.h"
#include "tone/tone_reference.h"
#include "tone/render.h"
#include "tone/tone_curve.h"

namespace sv {
namespace {

using reference::ReferenceResult;
using reference::referenceDraw;
using reference::referenceRender;

// A bent curve: a random smooth curve through a few points, as the editor would make it.
std::vector<float> bentCurve(unsigned seed, CurveMode mode) {
    std::mt19937 rng(seed);
    ToneCurve curve;
    curve.setCurveMode(mode);
    std::vector<CurvePoint> points;
    const int n = 1 + static_cast<int>(rng() % 4);
    for (int j = 0; j < n; ++j) {
        points.push_back({static_cast<int>(10 + j * 180 / n + rng() % 20), static_cast<int>(rng() % 200)});
    }
    std::string reason;
    EXPECT_TRUE(curve.setMovablePoints(points, reason)) << reason;
    return curve.curveTable();
}

// A stack with a spread of values: black, tiny, ordinary, exactly stackMax and above it.
FloatImage testStack(int width, int height, unsigned seed, float stackMax) {
    FloatImage stack = test::randomImage(width, height, seed, 0.0f, stackMax * 1.1f);
    std::mt19937 rng(seed + 1);
    for (std::size_t i = 0; i < stack.sampleCount(); i += 7) {
        switch (rng() % 5) {
            case 0: stack.data()[i] = 0.0f; break;
            case 1: stack.data()[i] = stackMax; break;
            case 2: stack.data()[i] = stackMax * 1e-4f; break;
            default: break;
        }
    }
    return stack;
}

std::vector<RenderParams> parameterSets() {
    std::vector<RenderParams> sets;
    sets.push_back(RenderParams{});  // the window's defaults
    RenderParams p;
    p.gammaPosition = 1;  // steepest: e = 100
    p.saturationPosition = 300;
    p.whitePosition = 128;
    sets.push_back(p);
    p = RenderParams{};
    p.gammaPosition = 400;
    p.saturationPosition = -99;
    p.blackPosition = 40;
    p.whitePosition = 200;
    p.curveTable = bentCurve(5, CurveMode::Smooth);
    sets.push_back(p);
    p = RenderParams{};
    p.gammaPosition = 173;
    p.saturationPosition = 57;
    p.blackPosition = 12;
    p.whitePosition = 13;
    p.curveTable = bentCurve(9, CurveMode::Linear);
    sets.push_back(p);
    return sets;
}

std::vector<Region> testRegions(int width, int height, std::mt19937& rng) {
    std::vector<Region> regions = {
        {0, width, 0, height},                // whole picture
        {0, 1, 0, height},                    // left column
        {width - 1, 1, 0, height},            // right column
        {0, width, 0, 1},                     // top row
        {0, width, height - 1, 1},            // bottom row
        {width - 1, 1, height - 1, 1},        // one corner pixel
        {width / 2, 1, height / 3, 1},        // one inner pixel
    };
    for (int i = 0; i < 4; ++i) {
        const int x = static_cast<int>(rng() % width), y = static_cast<int>(rng() % height);
        const int w = 1 + static_cast<int>(rng() % (width - x)), h = 1 + static_cast<int>(rng() % (height - y));
        regions.push_back({x, w, y, h});
    }
    return regions;
}

bool sameBits(const FloatImage& a, const FloatImage& b) {
    return a.sampleCount() == b.sampleCount() && std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)) == 0;
}

class CountingProgress final : public AtomicProgress {};

// Runs the body at every SIMD level the render and the display rows can take, ending at the best.
// Each level also runs once with every region written by streaming stores (normally only large ones).
template <typename Body>
void atEverySimdLevel(Body body) {
    for (const int level : {0, 1, 2}) {
        for (const bool streaming : {false, true}) {
            SCOPED_TRACE(testing::Message() << "SIMD level " << level << (streaming ? ", streaming" : ""));
            detail::limitToneSimd(level);
            detail::setToneStreamingPixels(streaming ? 1 : 0);
            body();
        }
    }
    detail::limitToneSimd(2);
    detail::setToneStreamingPixels(0);
}

TEST(Render, MatchesDirectFormBitForBitOnRandomStacksAndRegions) {
    atEverySimdLevel([] {
    std::mt19937 rng(42);
    const int width = 37, height = 23;
    int paramIndex = 0;
    for (const RenderParams& params : parameterSets()) {
        for (const float stackMax : {1.0f, 3.7f}) {
            const FloatImage stack = testStack(width, height, 100 + paramIndex, stackMax);
            for (const Region& region : testRegions(width, height, rng)) {
                // Start both outputs from the same non-zero contents: outside the region nothing may change.
                FloatImage produced = test::randomImage(width, height, 7);
                FloatImage expected = produced.clone();
                RenderHistogram result;
                CountingProgress progress;
                renderRegion(stack, stackMax, region, params, produced, result, progress);
                const ReferenceResult reference = referenceRender(stack, stackMax, region, params, expected);
                SCOPED_TRACE(testing::Message() << "params " << paramIndex << " region " << region.x << ","
                                                << region.width << "," << region.y << "," << region.height);
                EXPECT_TRUE(sameBits(produced, expected));
                EXPECT_EQ(result.histogram, reference.histogram);
                EXPECT_EQ(result.histogramPeak, reference.peak);
                EXPECT_EQ(progress.position(), region.height);
            }
        }
        ++paramIndex;
    }
    });
}

TEST(Render, LargerPictureAcrossManyThreadsGivesTheSameCountsAsOneThread) {
    // Enough rows for the work to be split; the per-thread counts must add up to the direct ones.
    const int width = 300, height = 200;
    const FloatImage stack = testStack(width, height, 3, 2.0f);
    RenderParams params;
    params.saturationPosition = 120;
    params.curveTable = bentCurve(11, CurveMode::Smooth);
    FloatImage produced(width, height), expected(width, height);
    RenderHistogram result;
    NullProgress progress;
    renderRegion(stack, 2.0f, stack.bounds(), params, produced, result, progress);
    const ReferenceResult reference = referenceRender(stack, 2.0f, stack.bounds(), params, expected);
    EXPECT_TRUE(sameBits(produced, expected));
    EXPECT_EQ(result.histogram, reference.histogram);
    std::int64_t total = 0;
    for (const std::int64_t count : result.histogram) total += count;
    EXPECT_EQ(total, static_cast<std::int64_t>(width) * height);
}

TEST(Render, DefaultsMapStackMaxToTheLastLevelAndZeroToZero) {
    FloatImage stack(2, 1), out(2, 1);
    for (int c = 0; c < 3; ++c) {
        stack.at(0, 0, c) = 5.0f;  // = stackMax
        stack.at(1, 0, c) = 0.0f;
    }
    RenderHistogram result;
    NullProgress progress;
    renderRegion(stack, 5.0f, stack.bounds(), RenderParams{}, out, result, progress);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(out.at(0, 0, c), 32767.0f / 32768.0f);
        EXPECT_EQ(out.at(1, 0, c), 0.0f);
    }
    DisplayBitmap display(2, 1);
    drawRegion(out, out.bounds(), display, progress);
    EXPECT_EQ(display.at(0, 0), packRgb(254, 254, 254));
    EXPECT_EQ(display.at(1, 0), 0u);
    EXPECT_EQ(result.histogram[214], 1);
    EXPECT_EQ(result.histogram[0], 1);
    EXPECT_EQ(result.histogramPeak, 0);  // both pixels lie in the clipped end bins
}

TEST(Render, SaturationScalesDarkPixelsAndLeavesTheBrightestAlone) {
    // One bright pixel (largest channel = stackMax) and one very dark one.
    const float M = 1.0f;
    FloatImage stack(2, 1), plain(2, 1), low(2, 1), high(2, 1);
    stack.at(0, 0, 0) = M;
    stack.at(0, 0, 1) = 0.5f;
    stack.at(0, 0, 2) = 0.25f;
    for (int c = 0; c < 3; ++c) stack.at(1, 0, c) = 0.001f;
    RenderHistogram result;
    NullProgress progress;
    RenderParams params;
    renderRegion(stack, M, stack.bounds(), params, plain, result, progress);
    params.saturationPosition = -99;
    renderRegion(stack, M, stack.bounds(), params, low, result, progress);
    params.saturationPosition = 300;
    renderRegion(stack, M, stack.bounds(), params, high, result, progress);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(low.at(0, 0, c), plain.at(0, 0, c));
        EXPECT_EQ(high.at(0, 0, c), plain.at(0, 0, c));
        // 0.001 x 32767 = 32 levels; scaled by about 0.01 and about 4.
        EXPECT_NEAR(plain.at(1, 0, c), 32.0f / 32768.0f, 1e-9);
        EXPECT_EQ(low.at(1, 0, c), 0.0f);  // trunc(0.33) = level 0
        EXPECT_NEAR(high.at(1, 0, c), 130.0f / 32768.0f, 1e-9);  // s = 4 / 1.003
    }
}

TEST(Render, WhitePointClipsEverythingAboveIt) {
    const int width = 64, height = 8;
    const FloatImage stack = test::randomImage(width, height, 17);
    RenderParams params;
    params.whitePosition = 128;
    params.gammaPosition = 150;
    FloatImage out(width, height);
    RenderHistogram result;
    NullProgress progress;
    renderRegion(stack, 1.0f, stack.bounds(), params, out, result, progress);
    const float w = static_cast<float>(128 * (1.0 / 255.0));
    const float e = static_cast<float>(1.0 / (150 * 0.01));
    int clipped = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                const int index = static_cast<int>(stack.at(x, y, c) * 32767.0f);
                const float v = static_cast<float>(index) / 32768.0f;
                const float t = static_cast<float>(std::pow(static_cast<double>(v), static_cast<double>(e)));
                // Away from the point itself, where the float stretch may land a hair below 1.
                if (t >= w + 1e-6f) {
                    EXPECT_EQ(out.at(x, y, c), 1.0f);
                    ++clipped;
                } else if (t < w - 1e-6f) {
                    EXPECT_LT(out.at(x, y, c), 1.0f);
                }
            }
        }
    }
    EXPECT_GT(clipped, 0);
}

TEST(Render, PointsMoveThePeakButNotTheBins) {
    const FloatImage stack = test::randomImage(40, 30, 23);
    FloatImage out(40, 30);
    NullProgress progress;
    RenderParams params;
    RenderHistogram first, second;
    renderRegion(stack, 1.0f, stack.bounds(), params, out, first, progress);
    params.whitePosition = 150;
    params.blackPosition = 60;
    renderRegion(stack, 1.0f, stack.bounds(), params, out, second, progress);
    EXPECT_EQ(first.histogram, second.histogram);
    EXPECT_EQ(second.histogramPeak, histogramPeak(second.histogram, 150, 60));
    // Bins 51 .. 124 only.
    std::int64_t peak = 0;
    for (int q = 51; q <= 124; ++q) peak = std::max(peak, second.histogram[static_cast<std::size_t>(q)]);
    EXPECT_EQ(second.histogramPeak, peak);
}

TEST(HistogramPeak, UsesOnlyTheBinsStrictlyBetweenThePoints) {
    HistogramBins bins{};
    for (int q = 0; q < kHistogramBins; ++q) bins[static_cast<std::size_t>(q)] = q;  // rising: peak = hi
    bins[0] = 1000;
    bins[214] = 1000;
    EXPECT_EQ(histogramPeak(bins, 255, 0), 213);  // bins 1 .. 213
    EXPECT_EQ(histogramPeak(bins, 128, 0), 128 * 215 / 255 - 2);
    bins[1] = 5000;
    EXPECT_EQ(histogramPeak(bins, 255, 0), 5000);
    EXPECT_EQ(histogramPeak(bins, 255, 1), 5000);  // 1 x 215 div 255 = 0: bin 1 still counts
    EXPECT_EQ(histogramPeak(bins, 255, 2), 213);   // 2 x 215 div 255 = 1: from bin 2
    bins[1] = 1;
    EXPECT_EQ(histogramPeak(bins, 150, 149), 0);  // lo 126 > hi 124
    EXPECT_EQ(histogramPeak(bins, 0, 0), 0);
    EXPECT_EQ(histogramPeak(bins, 255, 255), 0);
}

TEST(Render, EqualWhiteAndBlackPointsGiveAFiniteStep) {
    const FloatImage stack = testStack(30, 20, 31, 1.0f);
    NullProgress progress;
    for (const int position : {0, 1, 128, 254, 255}) {
        RenderParams params;
        params.whitePosition = params.blackPosition = position;
        FloatImage out(30, 20), expected(30, 20);
        RenderHistogram result;
        renderRegion(stack, 1.0f, stack.bounds(), params, out, result, progress);
        referenceRender(stack, 1.0f, stack.bounds(), params, expected);
        EXPECT_TRUE(sameBits(out, expected));
        const float b = static_cast<float>(position * (1.0 / 255.0));
        for (std::size_t i = 0; i < out.sampleCount(); ++i) {
            const float o = out.data()[i];
            ASSERT_TRUE(o == 0.0f || o == 1.0f) << o;
            const int index = std::min(32767, static_cast<int>(stack.data()[i] * 32767.0f));
            EXPECT_EQ(o == 1.0f, static_cast<float>(index / 32768.0) > b) << i;
        }
    }
}

TEST(Render, DamagedSamplesGiveDefinedResults) {
    // Float TIFFs may carry infinities, NaN and negative samples; each lands on a table entry.
    const int width = 19, height = 5;
    FloatImage stack = test::randomImage(width, height, 61, 0.0f, 1.0f);
    const float odd[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                         std::nanf(""), -0.5f, -0.0f, 1e30f, 1e-42f};
    for (std::size_t i = 0; i < stack.sampleCount(); i += 2) stack.data()[i] = odd[(i / 2) % 7];
    atEverySimdLevel([&] {
        for (const int saturation : {-99, 0, 150}) {
            RenderParams params;
            params.saturationPosition = saturation;
            FloatImage out(width, height), expected(width, height);
            RenderHistogram result;
            NullProgress progress;
            renderRegion(stack, 1.0f, stack.bounds(), params, out, result, progress);
            const ReferenceResult reference = referenceRender(stack, 1.0f, stack.bounds(), params, expected);
            EXPECT_TRUE(sameBits(out, expected)) << saturation;
            EXPECT_EQ(result.histogram, reference.histogram);
            for (std::size_t i = 0; i < out.sampleCount(); ++i) {
                ASSERT_TRUE(out.data()[i] >= 0.0f && out.data()[i] <= 1.0f) << i;
            }
        }
    });
}

TEST(Render, RefusesACurveTableOfTheWrongSize) {
    FloatImage stack(2, 2), out(2, 2);
    RenderParams params;
    params.curveTable.resize(100);
    RenderHistogram result;
    NullProgress progress;
    EXPECT_THROW(renderRegion(stack, 1.0f, stack.bounds(), params, out, result, progress), std::invalid_argument);
}

TEST(DrawRegion, MatchesDirectFormOnRandomPicturesAndRegions) {
    atEverySimdLevel([] {
    std::mt19937 rng(8);
    const int width = 41, height = 29;
    for (unsigned seed = 0; seed < 3; ++seed) {
        FloatImage picture = test::randomImage(width, height, 200 + seed);
        picture.at(0, 0, 0) = 1.0f;
        picture.at(1, 0, 1) = 32767.0f / 32768.0f;
        picture.at(2, 0, 2) = 0.0f;
        for (const Region& region : testRegions(width, height, rng)) {
            DisplayBitmap produced(width, height), expected(width, height);
            for (int i = 0; i < width * height; ++i) produced.data()[i] = expected.data()[i] = 0xABCDEFu;
            AtomicProgress progress;
            drawRegion(picture, region, produced, progress);
            referenceDraw(picture, region, expected);
            EXPECT_EQ(0, std::memcmp(produced.data(), expected.data(), sizeof(std::uint32_t) * width * height));
            EXPECT_EQ(progress.position(), region.height);
        }
    }
    });
}

TEST(DrawRegion, FullWhiteIs255AndTopByteStaysZero) {
    atEverySimdLevel([] {
        // Nine pixels: whole vectors and a scalar rest both see the extremes.
        FloatImage picture(9, 1);
        for (int x = 0; x < 9; x += 4) {
            picture.at(x, 0, 0) = 1.0f;
            picture.at(x, 0, 1) = 32767.0f / 32768.0f;
            picture.at(x, 0, 2) = 0.5f;
        }
        for (int x = 1; x < 9; x += 4) {
            picture.at(x, 0, 0) = 1.5f;  // out of range: held at the ends
            picture.at(x, 0, 1) = -0.25f;
            picture.at(x, 0, 2) = std::nanf("");
        }
        for (int x = 2; x < 9; x += 4) {
            picture.at(x, 0, 0) = 1e30f;
            picture.at(x, 0, 1) = -std::numeric_limits<float>::infinity();
            picture.at(x, 0, 2) = 1.0f / 255.0f;
        }
        NullProgress progress;
        const DisplayBitmap display = drawPicture(picture, progress);
        for (int x = 0; x < 9; ++x) {
            const std::uint32_t expected[] = {packRgb(255, 254, 127), packRgb(255, 0, 0), packRgb(255, 0, 1), 0u};
            EXPECT_EQ(display.at(x, 0), expected[x % 4]) << x;
        }
    });
}

TEST(Render, PreviewRectangleRendersOnlyItsPixels) {
    // The 320 x 240 preview of a larger picture: the histogram counts exactly its pixels.
    const int width = 400, height = 300;
    const FloatImage stack = test::randomImage(width, height, 77);
    FloatImage out(width, height);
    out.fill(0.5f);
    const Region preview{40, 320, 30, 240};
    RenderHistogram result;
    AtomicProgress progress;
    renderRegion(stack, 1.0f, preview, RenderParams{}, out, result, progress);
    std::int64_t total = 0;
    for (const std::int64_t count : result.histogram) total += count;
    EXPECT_EQ(total, 320 * 240);
    EXPECT_EQ(progress.position(), 240);
    EXPECT_EQ(out.at(39, 100, 0), 0.5f);
    EXPECT_EQ(out.at(360, 100, 2), 0.5f);
    EXPECT_EQ(out.at(100, 29, 1), 0.5f);
    EXPECT_EQ(out.at(100, 270, 1), 0.5f);
    EXPECT_NE(out.at(40, 30, 0), 0.5f);
}

}  // namespace
}  // namespace sv
