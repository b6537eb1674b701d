#pragma once

#include <cstdint>

#include "image/display_bitmap.h"
#include "tone/render.h"

namespace sv {

inline constexpr int kHistogramPictureWidth = 215;
inline constexpr int kHistogramPictureHeight = 65;

// The histogram picture (215 x 65, white): one bar per bin scaled by histogramPeak, grey between
// the black and white points and light red at and beyond them, and the cumulative share of
// pixels as one blue pixel per column. pixelCount is the number of pixels of the rendered region.
DisplayBitmap drawHistogram(const HistogramBins& histogram, std::int64_t histogramPeak, std::int64_t pixelCount,
                            int whitePosition, int blackPosition);

// The white and black points never cross: moving one past the other drags the other along,
// one step beyond it (within 0..255). Equal positions are left as they are.
struct PointPositions {
    int white = 255;
    int black = 0;
    bool operator==(const PointPositions&) const = default;
};
PointPositions whitePointMoved(int newWhite, int black);
PointPositions blackPointMoved(int white, int newBlack);

// Left edge of a point's marker line, in window pixels from the histogram picture's left edge.
int histogramMarkerOffset(int position, float displayScale);

}  // namespace sv
