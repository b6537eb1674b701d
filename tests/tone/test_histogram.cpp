// The histogram picture, the point crossing rule and the marker places.
#include <gtest/gtest.h>

#include <random>

#include "tone/histogram.h"

namespace sv {
namespace {

constexpr std::uint32_t kWhite = packRgb(255, 255, 255);
constexpr std::uint32_t kGrey = packRgb(200, 200, 200);
constexpr std::uint32_t kRed = packRgb(235, 200, 200);
constexpr std::uint32_t kBlue = packRgb(0, 0, 255);

// drawHistogram as described, pixel by pixel.
DisplayBitmap referenceHistogram(const HistogramBins& bins, std::int64_t peak, std::int64_t pixelCount, int W, int B) {
    DisplayBitmap picture(215, 65);
    for (int y = 0; y < 65; ++y) {
        for (int x = 0; x < 215; ++x) picture.at(x, y) = kWhite;
    }
    float C[215];
    C[0] = static_cast<float>(bins[0]);
    for (int p = 1; p < 215; ++p) C[p] = C[p - 1] + static_cast<float>(bins[static_cast<std::size_t>(p)]);
    for (float& c : C) c /= static_cast<float>(pixelCount);
    for (int p = 0; p < 215; ++p) {
        if (peak > 0) {
            const int top = static_cast<int>(65 - static_cast<double>(bins[static_cast<std::size_t>(p)]) / peak * 65);
            const bool grey = (B * 215) / 255 < p && p < W * 215 / 255.0;
            for (int y = std::max(top, 0); y <= 64; ++y) picture.at(p, y) = grey ? kGrey : kRed;
        }
        const int row = static_cast<int>(65.0f - C[p] * 65.0f);
        if (row >= 0 && row < 65) picture.at(p, row) = kBlue;
    }
    return picture;
}

bool samePictures(const DisplayBitmap& a, const DisplayBitmap& b) {
    if (a.width() != b.width() || a.height() != b.height()) return false;
    for (int i = 0; i < a.width() * a.height(); ++i) {
        if (a.data()[i] != b.data()[i]) return false;
    }
    return true;
}

TEST(HistogramPicture, MatchesDirectDrawingForRandomCountsAndPoints) {
    std::mt19937 rng(99);
    for (int trial = 0; trial < 40; ++trial) {
        HistogramBins bins{};
        std::int64_t total = 0;
        const int spread = 1 + static_cast<int>(rng() % 5000);
        for (auto& b : bins) {
            b = rng() % 3 == 0 ? 0 : static_cast<std::int64_t>(rng() % spread);
            total += b;
        }
        if (total == 0) {
            bins[100] = 1;
            total = 1;
        }
        int W = static_cast<int>(rng() % 256), B = static_cast<int>(rng() % 256);
        if (B > W) std::swap(B, W);
        const std::int64_t peak = histogramPeak(bins, W, B);
        SCOPED_TRACE(testing::Message() << "W " << W << " B " << B << " peak " << peak);
        EXPECT_TRUE(samePictures(drawHistogram(bins, peak, total, W, B), referenceHistogram(bins, peak, total, W, B)));
    }
}

TEST(HistogramPicture, DefaultPointsColourOnlyColumnZeroRed) {
    HistogramBins bins{};
    bins.fill(10);
    const std::int64_t peak = histogramPeak(bins, 255, 0);
    ASSERT_EQ(peak, 10);
    const DisplayBitmap picture = drawHistogram(bins, peak, 2150, 255, 0);
    ASSERT_EQ(picture.width(), 215);
    ASSERT_EQ(picture.height(), 65);
    EXPECT_EQ(picture.at(0, 64), kBlue);  // 10 of 2150 pixels: the curve starts in the bottom row
    EXPECT_EQ(picture.at(0, 63), kRed);
    EXPECT_EQ(picture.at(0, 1), kRed);  // a full bar, below the cumulative point of column 0
    for (int p = 1; p < 215; ++p) {
        // Below the cumulative point of the column, which is painted over the bar.
        const int curveRow = static_cast<int>(65.0f - (static_cast<float>(10 * (p + 1)) / 2150.0f) * 65.0f);
        EXPECT_EQ(picture.at(p, curveRow == 64 ? 63 : 64), kGrey) << p;
    }
    // Every column is full (bin = peak); the cumulative share rises to row 0 at the last column.
    EXPECT_EQ(picture.at(214, 0), kBlue);
    EXPECT_EQ(picture.at(107, static_cast<int>(65.0f - (108.0f * 10 / 2150) * 65.0f)), kBlue);
}

TEST(HistogramPicture, ClosePointsDrawOnlyTheCumulativeCurve) {
    HistogramBins bins{};
    for (int p = 0; p < 215; ++p) bins[static_cast<std::size_t>(p)] = p % 7;
    std::int64_t total = 0;
    for (const auto b : bins) total += b;
    const std::int64_t peak = histogramPeak(bins, 150, 149);
    ASSERT_EQ(peak, 0);
    const DisplayBitmap picture = drawHistogram(bins, peak, total, 150, 149);
    int blue = 0, other = 0;
    for (int i = 0; i < 215 * 65; ++i) {
        blue += picture.data()[i] == kBlue;
        other += picture.data()[i] != kBlue && picture.data()[i] != kWhite;
    }
    EXPECT_EQ(other, 0);
    EXPECT_GT(blue, 100);
    EXPECT_EQ(picture.at(214, 0), kBlue);
}

TEST(HistogramPicture, OneBrightnessFillsItsColumnAndTheCurveJumps) {
    HistogramBins bins{};
    bins[214] = 500;  // all pixels clipped white: outside the peak's range
    const std::int64_t peak = histogramPeak(bins, 255, 0);
    EXPECT_EQ(peak, 0);
    DisplayBitmap picture = drawHistogram(bins, peak, 500, 255, 0);
    for (int p = 0; p < 214; ++p) {
        for (int y = 0; y < 65; ++y) ASSERT_EQ(picture.at(p, y), kWhite);  // C = 0: row 65, not drawn
    }
    EXPECT_EQ(picture.at(214, 0), kBlue);

    // Inside the range, with another bin setting the peak lower: the big bin overflows its column.
    bins = HistogramBins{};
    bins[20] = 400;
    bins[100] = 1000;
    picture = drawHistogram(bins, histogramPeak(bins, 60, 0), 1400, 60, 0);
    EXPECT_EQ(histogramPeak(bins, 60, 0), 400);
    EXPECT_EQ(picture.at(100, 1), kRed);   // beyond the white point (60 x 215 / 255 = 50.6)
    EXPECT_EQ(picture.at(100, 0), kBlue);  // the curve reaches the top at the last filled bin
    EXPECT_EQ(picture.at(20, 1), kGrey);
    EXPECT_EQ(picture.at(50, 64), kWhite);  // empty bin: nothing
}

TEST(PointCrossing, ThePointsNeverCross) {
    EXPECT_EQ(whitePointMoved(80, 100), (PointPositions{80, 79}));
    EXPECT_EQ(blackPointMoved(100, 120), (PointPositions{121, 120}));
    EXPECT_EQ(whitePointMoved(0, 0), (PointPositions{0, 0}));
    EXPECT_EQ(whitePointMoved(0, 40), (PointPositions{0, 0}));
    EXPECT_EQ(blackPointMoved(200, 255), (PointPositions{255, 255}));
    // Equal positions are left alone; no crossing, no change.
    EXPECT_EQ(whitePointMoved(100, 100), (PointPositions{100, 100}));
    EXPECT_EQ(blackPointMoved(100, 100), (PointPositions{100, 100}));
    EXPECT_EQ(whitePointMoved(200, 10), (PointPositions{200, 10}));
}

TEST(PointCrossing, MarkersUse256AndTheDisplayScale) {
    EXPECT_EQ(histogramMarkerOffset(0, 1.0f), 0);
    EXPECT_EQ(histogramMarkerOffset(255, 1.0f), 214);
    EXPECT_EQ(histogramMarkerOffset(128, 1.0f), 107);
    EXPECT_EQ(histogramMarkerOffset(255, 1.23f), static_cast<int>(255 * 215 * 1.23 / 256));
    EXPECT_EQ(histogramMarkerOffset(255, 1.23f), 263);
}

}  // namespace
}  // namespace sv
