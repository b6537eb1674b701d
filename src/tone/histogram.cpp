#include "tone/histogram.h"

#include <algorithm>

namespace sv {

namespace {
constexpr std::uint32_t kWhite = packRgb(255, 255, 255);
constexpr std::uint32_t kBarGrey = packRgb(200, 200, 200);
constexpr std::uint32_t kClippedRed = packRgb(235, 200, 200);
constexpr std::uint32_t kCumulativeBlue = packRgb(0, 0, 255);
}  // namespace

DisplayBitmap drawHistogram(const HistogramBins& histogram, std::int64_t histogramPeak, std::int64_t pixelCount,
                            int whitePosition, int blackPosition) {
    constexpr int W = kHistogramPictureWidth;
    constexpr int H = kHistogramPictureHeight;
    DisplayBitmap picture(W, H);
    std::fill(picture.data(), picture.data() + static_cast<std::size_t>(W) * H, kWhite);

    std::array<float, kHistogramBins> cumulative{};
    cumulative[0] = static_cast<float>(histogram[0]);
    for (int p = 1; p < kHistogramBins; ++p) {
        cumulative[static_cast<std::size_t>(p)] =
            cumulative[static_cast<std::size_t>(p - 1)] + static_cast<float>(histogram[static_cast<std::size_t>(p)]);
    }
    // A region always has a pixel; an empty one would only leave the curve out.
    const float count = static_cast<float>(pixelCount > 0 ? pixelCount : 1);
    for (float& c : cumulative) c /= count;

    const int blackColumn = blackPosition * kHistogramBins / 255;
    for (int p = 0; p < kHistogramBins; ++p) {
        if (histogramPeak > 0) {
            const double bar = static_cast<double>(histogram[static_cast<std::size_t>(p)]) /
                               static_cast<double>(histogramPeak) * H;
            // A bin above the peak (outside the points) gives a negative top and fills the column.
            const double topValue = H - bar;
            const int top = topValue <= 0.0 ? 0 : static_cast<int>(topValue);
            // Columns strictly between the points are grey: p < W x 215 / 255 as a real quotient.
            const bool between = blackColumn < p && p * 255 < whitePosition * kHistogramBins;
            const std::uint32_t colour = between ? kBarGrey : kClippedRed;
            for (int y = top; y < H; ++y) picture.at(p, y) = colour;
        }
        const float rowValue = static_cast<float>(H) - cumulative[static_cast<std::size_t>(p)] * static_cast<float>(H);
        // Row 65 (nothing yet) lies below the picture; rounding may carry the full share a hair past row 0.
        const int row = rowValue <= 0.0f ? 0 : static_cast<int>(rowValue);
        if (row < H) picture.at(p, row) = kCumulativeBlue;
    }
    return picture;
}

PointPositions whitePointMoved(int newWhite, int black) {
    PointPositions r{newWhite, black};
    if (r.black > r.white) r.black = std::max(r.white - 1, 0);
    return r;
}

PointPositions blackPointMoved(int white, int newBlack) {
    PointPositions r{white, newBlack};
    if (r.black > r.white) r.white = std::min(r.black + 1, 255);
    return r;
}

int histogramMarkerOffset(int position, float displayScale) {
    return static_cast<int>(position * 215.0 * displayScale / 256.0);
}

}  // namespace sv
