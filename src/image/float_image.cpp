#include "image/float_image.h"

#include "image/zeroed_block.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace sv {

void FloatImage::FreeDeleter::operator()(float* p) const { freeZeroed(p, bytes); }

FloatImage::FloatImage(int width, int height) {
    if (width <= 0 || height <= 0) throw std::bad_alloc();
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
    auto* p = static_cast<float*>(allocateZeroed(count * sizeof(float)));
    if (!p) throw std::bad_alloc();
    data_ = std::unique_ptr<float[], FreeDeleter>(p, FreeDeleter{count * sizeof(float)});
    width_ = width;
    height_ = height;
}

void FloatImage::fill(float value) {
    if (value == 0.0f) {
        std::memset(data_.get(), 0, sampleCount() * sizeof(float));
    } else {
        std::fill(data_.get(), data_.get() + sampleCount(), value);
    }
}

void FloatImage::copyRegionFrom(const FloatImage& source, const Region& region) {
    for (int y = region.y; y < region.bottom(); ++y) {
        const std::size_t start = static_cast<std::size_t>(region.x) * 3;
        std::memcpy(row(y) + start, source.row(y) + start,
                    static_cast<std::size_t>(region.width) * 3 * sizeof(float));
    }
}

FloatImage FloatImage::clone() const {
    if (empty()) return FloatImage();
    FloatImage copy(width_, height_);
    std::memcpy(copy.data(), data(), sampleCount() * sizeof(float));
    return copy;
}

}  // namespace sv
