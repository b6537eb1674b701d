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

}  // namespace sv
