#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace sv {

// The 32-bit picture shown on screen: one word per pixel, blue in bits 0-7, green in 8-15,
// red in 16-23, and 0 in bits 24-31. Rows top to bottom.
class DisplayBitmap {
public:
    DisplayBitmap() = default;
    // All pixels 0 (black). Throws std::bad_alloc when the block cannot be obtained.
    DisplayBitmap(int width, int height);
    DisplayBitmap(DisplayBitmap&&) noexcept = default;
    DisplayBitmap& operator=(DisplayBitmap&&) noexcept = default;
    DisplayBitmap(const DisplayBitmap& other) : DisplayBitmap(other.clone()) {}
    DisplayBitmap& operator=(const DisplayBitmap& other) {
        if (this != &other) *this = other.clone();
        return *this;
    }

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return width_ == 0 || height_ == 0; }
    std::uint32_t* row(int y) { return pixels_.get() + static_cast<std::size_t>(y) * width_; }
    const std::uint32_t* row(int y) const {
        return pixels_.get() + static_cast<std::size_t>(y) * width_;
    }
    std::uint32_t& at(int x, int y) { return row(y)[x]; }
    std::uint32_t at(int x, int y) const { return row(y)[x]; }
    std::uint32_t* data() { return pixels_.get(); }
    const std::uint32_t* data() const { return pixels_.get(); }
    DisplayBitmap clone() const;

private:
    struct FreeDeleter {
        std::size_t bytes;  // value-initialised to 0 by unique_ptr
        void operator()(std::uint32_t* p) const;
    };
    int width_ = 0;
    int height_ = 0;
    std::unique_ptr<std::uint32_t[], FreeDeleter> pixels_;
};

inline constexpr std::uint32_t packRgb(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return (r << 16) | (g << 8) | b;
}
inline constexpr int redOf(std::uint32_t p) { return static_cast<int>((p >> 16) & 0xFF); }
inline constexpr int greenOf(std::uint32_t p) { return static_cast<int>((p >> 8) & 0xFF); }
inline constexpr int blueOf(std::uint32_t p) { return static_cast<int>(p & 0xFF); }

}  // namespace sv
