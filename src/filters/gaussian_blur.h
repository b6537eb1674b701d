#pragma once

#include "filters/filter_framework.h"
#include "filters/filter_kernel.h"

namespace sv {

// Control positions of the "Gaussian blur" group.
struct GaussianBlurParams {
    int sigmaPosition = 10;     // sigma = position x 0.1 (1..80)
    int opacityPosition = 100;  // op = position x 0.01 (1..100)
};

// Separable Gaussian blur of the region: copies the region of P into N, blurs along rows and
// then along columns (taps outside the region are left out and the rest renormalised), clamps
// to 0..1 and mixes C = op x blurred + (1 - op) x P. Gauge: 2 x region height, one step per
// row of each pass.
void gaussianBlur(const FilterBuffers& buffers, const Region& region, const GaussianBlurParams& params,
                  ProgressSink& progress);
void gaussianBlur(const FilterBuffers& buffers, const Region& region, const LineKernel& kernel, float opacity,
                  ProgressSink& progress);

}  // namespace sv
