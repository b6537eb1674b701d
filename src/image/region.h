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

// The part of a region that lies inside a picture of width x height (empty when none does).
inline Region clippedRegion(const Region& region, int width, int height) {
    Region r = region;
    if (r.x < 0) {
        r.width += r.x;
        r.x = 0;
    }
    if (r.y < 0) {
        r.height += r.y;
        r.y = 0;
    }
    r.width = r.width < width - r.x ? r.width : width - r.x;
    r.height = r.height < height - r.y ? r.height : height - r.y;
    return r;
}

}  // namespace sv
