#pragma once

namespace sv {

// A rectangle of picture pixels, in the order the program has always used: x, width, y, height.
struct Region {
    int x = 0;
    int width = 0;
    int y = 0;
    int height = 0;

    bool empty() const { return width <= 0 || height <= 0; }
    int right() const { return x + width; }    // one past the last column
    int bottom() const { return y + height; }  // one past the last row
    bool operator==(const Region&) const = default;
};

// The rectangle two regions share; Region{} (empty) when they share nothing. The far edges are
// worked out in 64 bits, so no x + width overflows.
inline Region intersection(const Region& a, const Region& b) {
    const long long x0 = a.x > b.x ? a.x : b.x;
    const long long y0 = a.y > b.y ? a.y : b.y;
    const long long ax1 = static_cast<long long>(a.x) + a.width, bx1 = static_cast<long long>(b.x) + b.width;
    const long long ay1 = static_cast<long long>(a.y) + a.height, by1 = static_cast<long long>(b.y) + b.height;
    const long long x1 = ax1 < bx1 ? ax1 : bx1;
    const long long y1 = ay1 < by1 ? ay1 : by1;
    if (x1 <= x0 || y1 <= y0) return Region{};
    return Region{static_cast<int>(x0), static_cast<int>(x1 - x0), static_cast<int>(y0), static_cast<int>(y1 - y0)};
}

// The part of a region that lies inside a picture of width x height.
inline Region clippedRegion(const Region& region, int width, int height) {
    return intersection(region, Region{0, width, 0, height});
}

}  // namespace sv
