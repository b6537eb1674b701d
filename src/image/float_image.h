#pragma once

#include <cstddef>
#include <memory>

#include "image/region.h"

namespace sv {

// Three 32-bit floats per pixel (R, G, B), rows top to bottom, no gaps.
// Sample c of pixel (x, y) is element (y * width + x) * 3 + c.
// Storage is obtained zero-filled and never resized in place: a new size is a new image.
class FloatImage {
public:
    FloatImage() = default;
    // Throws std::bad_alloc when the block cannot be obtained.
    FloatImage(int width, int height);

    FloatImage(FloatImage&&) noexcept = default;
    FloatImage& operator=(FloatImage&&) noexcept = default;
    FloatImage(const FloatImage&) = delete;
    FloatImage& operator=(const FloatImage&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return !data_; }
    std::size_t sampleCount() const { return static_cast<std::size_t>(width_) * height_ * 3; }
    std::size_t rowSamples() const { return static_cast<std::size_t>(width_) * 3; }

    float* data() { return data_.get(); }
    const float* data() const { return data_.get(); }
    float* row(int y) { return data_.get() + static_cast<std::size_t>(y) * rowSamples(); }
    const float* row(int y) const { return data_.get() + static_cast<std::size_t>(y) * rowSamples(); }
    float& at(int x, int y, int c) { return row(y)[static_cast<std::size_t>(x) * 3 + c]; }
    float at(int x, int y, int c) const { return row(y)[static_cast<std::size_t>(x) * 3 + c]; }

    Region bounds() const { return Region{0, width_, 0, height_}; }
    bool sameSize(const FloatImage& other) const {
        return width_ == other.width_ && height_ == other.height_;
    }

    void fill(float value);
    // Copies the samples of a region from another image of the same size.
    void copyRegionFrom(const FloatImage& source, const Region& region);
    FloatImage clone() const;
    void release() { *this = FloatImage(); }

private:
    struct FreeDeleter {
        std::size_t bytes;  // value-initialised to 0 by unique_ptr
        void operator()(float* p) const;
    };
    int width_ = 0;
    int height_ = 0;
    std::unique_ptr<float[], FreeDeleter> data_;
};

}  // namespace sv
