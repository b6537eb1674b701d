#include "filters/kernel_picture.h"

#include <cmath>
#include <cstdlib>
#include <vector>

namespace sv {

DisplayBitmap drawKernelPicture(const FilterKernel& kernel, int intensity, int offset) {
    DisplayBitmap bitmap(kernel.width, kernel.height);
    for (int i = 0; i < kernel.width; ++i) {
        for (int j = 0; j < kernel.height; ++j) {
            const float scaled = kernel.weights[i][j] / kernel.maxWeight * 255.0f + static_cast<float>(offset);
            long v = static_cast<long>(scaled);
            v = static_cast<long>(static_cast<double>(v) * intensity * 0.01);
            if (v > 255) v = 255;
            // A negative weight far from the centre cannot make a colour of its own.
            if (v < 0) v = 0;
            const auto g = static_cast<std::uint32_t>(v);
            bitmap.at(i, j) = packRgb(g, g, g);
        }
    }
    return bitmap;
}

namespace {

// A one-pixel line from (x0, y0) towards (x1, y1); like the toolkit's line-to, the end point
// itself is not drawn (the next segment starts there). Pixels outside the bitmap are skipped.
void lineTo(DisplayBitmap& bitmap, int x0, int y0, int x1, int y1, std::uint32_t colour) {
    const int dx = std::abs(x1 - x0);
    const int dy = -std::abs(y1 - y0);
    const int sx = x0 < x1 ? 1 : -1;
    const int sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    int x = x0, y = y0;
    while (!(x == x1 && y == y1)) {
        if (x >= 0 && y >= 0 && x < bitmap.width() && y < bitmap.height()) bitmap.at(x, y) = colour;
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
}

}  // namespace

DisplayBitmap drawRangeCurve(int thresholdPosition, double displayScale) {
    // The track bar starts at 1; a zero sigma would have no curve at all.
    if (thresholdPosition < 1) thresholdPosition = 1;
    const int n = static_cast<int>(49.0 * displayScale);
    const int half = static_cast<int>(49.0 * displayScale * 0.5);
    const double sigma = thresholdPosition * 0.01 * 49.0 * displayScale;
    DisplayBitmap bitmap(n, n);
    if (n <= 0) return bitmap;
    std::vector<double> c(static_cast<std::size_t>(n));
    double cmax = 0.0;
    for (int i = 0; i < n; ++i) {
        const double d = static_cast<double>(i - half);
        c[i] = std::exp(-(d * d) / (2.0 * sigma * sigma));
        if (c[i] > cmax) cmax = c[i];
    }
    if (cmax == 0.0) cmax = 1.0;
    const std::uint32_t white = packRgb(255, 255, 255);
    int px = 0, py = 0;
    for (int i = 0; i < n; ++i) {
        const double y = n - c[i] / cmax * n;
        const int yi = static_cast<int>(y);
        if (i > 0) lineTo(bitmap, px, py, i, yi, white);
        px = i;
        py = yi;
    }
    return bitmap;
}

}  // namespace sv
