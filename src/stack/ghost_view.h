#pragma once

#include <vector>

#include "image/display_bitmap.h"
#include "image/float_image.h"

namespace sv {

// The "Ghosts" view: the stack as the views show it (trunc(v x 255 / stackMax), 255 at most),
// tinted red where ghosts were removed, by 0.6 x the mask. `mask` has one value 0..1 per pixel.
DisplayBitmap ghostView(const FloatImage& stack, float stackMax, const std::vector<float>& mask);

}  // namespace sv
