#include "image/display_bitmap.h"

namespace sv {

DisplayBitmap::DisplayBitmap(int width, int height)
    : width_(width > 0 ? width : 0),
      height_(height > 0 ? height : 0),
      pixels_(static_cast<std::size_t>(width_) * height_, 0u) {}

}  // namespace sv
