#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sv {

// The 32-bit picture shown on screen: one word per pixel, blue in bits 0-7, green in 8-15,
// red in 16-23, and 0 in bits 24-31. Rows top to bottom.
class DisplayBitmap {
public:
    DisplayBitmap() = default;
    DisplayBitmap(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return width_ == 0 || height_ == 0; }
    std::uint32_t* row(int y) { return pixels_.data() + static_cast<std::size_t>(y) * width_; }
    const std::uint32_t* row(int y) const {
        return pixels_.data() + static_cast<std::size_t>(y) * width_;
    }
    std::uint32_t& at(int x, int y) { return row(y)[x]; }
    std::uint32_t at(int x, int y) const { return row(y)[x]; }
    std::uint32_t* data() { return pixels_.data(); }
    const std::uint32_t* data() const { return pixels_.data(); }

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint32_t> pixels_;
};

inline constexpr std::uint32_t packRgb(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return (r << 16) | (g << 8) | b;
}
inline constexpr int redOf(std::uint32_t p) { return static_cast<int>((p >> 16) & 0xFF); }
inline constexpr int greenOf(std::uint32_t p) { return static_cast<int>((p >> 8) & 0xFF); }
inline constexpr int blueOf(std::uint32_t p) { return static_cast<int>(p & 0xFF); }

}  // namespace sv
