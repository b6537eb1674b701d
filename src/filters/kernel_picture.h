#pragma once

#include "filters/filter_kernel.h"
#include "image/display_bitmap.h"

namespace sv {

// The small parameter picture of a filter group: K.width x K.height grey pixels, each
// trunc(trunc(weight / maxWeight x 255 + offset) x intensity x 0.01), capped at 255.
// offset is 128 for the sharpen picture (its kernel shown around mid-grey), else 0.
DisplayBitmap drawKernelPicture(const FilterKernel& kernel, int intensity, int offset);

// The bilateral range curve: n x n pixels (n = trunc(49 x displayScale)) black, with the
// Gaussian of sigma = position x 0.01 x n drawn as a white polyline, peak at the top.
DisplayBitmap drawRangeCurve(int thresholdPosition, double displayScale);

}  // namespace sv
