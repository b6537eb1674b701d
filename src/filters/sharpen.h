#pragma once

#include "filters/filter_framework.h"
#include "filters/filter_kernel.h"

namespace sv {

// Control positions of the "Sharpen" group.
struct SharpenParams {
    int amountPosition = 100;  // a = position x 0.01 (10..200)
    int sigmaPosition = 10;    // sigma = position x 0.1 (1..50)
};

// Unsharp mask: C = P + a x (N convolved with the sharpen kernel cut to its window), clamped to
// 0..1; neighbours outside the region are left out without renormalising. The kernel is the
// identity minus a Gaussian that is a product of a row and a column factor, so the sums are
// taken separably (2 x (33 - 2m) taps instead of (33 - 2m)^2); they agree with the direct 2-D
// sums to within float rounding. Gauge: 3 x region height, of which this fills two thirds
// (the copy into N and the filter), the display conversion the rest.
void sharpen(const FilterBuffers& buffers, const Region& region, const SharpenParams& params,
             ProgressSink& progress);

}  // namespace sv
