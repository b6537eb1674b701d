#include "image/display_bitmap.h"

#include "image/zeroed_block.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace sv {

void DisplayBitmap::FreeDeleter::operator()(std::uint32_t* p) const { freeZeroed(p, bytes); }

DisplayBitmap::DisplayBitmap(int width, int height) {
    if (width <= 0 || height <= 0) return;
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    auto* p = static_cast<std::uint32_t*>(allocateZeroed(count * sizeof(std::uint32_t)));
    if (!p) throw std::bad_alloc();
    pixels_ = std::unique_ptr<std::uint32_t[], FreeDeleter>(p, FreeDeleter{count * sizeof(std::uint32_t)});
    width_ = width;
    height_ = height;
}

DisplayBitmap DisplayBitmap::clone() const {
    DisplayBitmap copy(width_, height_);
    if (!empty()) std::memcpy(copy.data(), data(), static_cast<std::size_t>(width_) * height_ * sizeof(std::uint32_t));
    return copy;
}

}  // namespace sv
