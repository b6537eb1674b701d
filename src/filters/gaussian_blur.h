#pragma once

#include "filters/filter_framework.h"
#include "filters/filter_kernel.h"
#include "image/parameters.h"

namespace sv {

// Control positions of the "Gaussian blur" group.
struct GaussianBlurParams {
    int sigmaPosition = 10;     // sigma = position x 0.1 (1..80)
    int opacityPosition = 100;  // op = position x 0.01 (1..100)
};

inline constexpr ParameterDescriptor kGaussianBlurParameters[] = {
    {.key = "sigma", .control = "TrackBar5", .valueLabel = "Label9", .minimum = 1, .maximum = 80, .defaultPosition = 10, .scale = 0.1,
     .label = LabelFormat::OneDecimal},
    {.key = "opacity", .control = "TrackBar4", .valueLabel = "Label8", .minimum = 1, .maximum = 100, .defaultPosition = 100, .scale = 0.01,
     .label = LabelFormat::Percent},
};
GaussianBlurParams gaussianBlurParams(const ParameterValues& values);

// Separable Gaussian blur of the region: copies the region of P into N, blurs along rows and
// then along columns (taps outside the region are left out and the rest renormalised), clamps
// to 0..1 and mixes C = op x blurred + (1 - op) x P. Gauge: 2 x region height, one step per
// row of each pass.
void gaussianBlur(const FilterBuffers& buffers, const Region& region, const GaussianBlurParams& params,
                  ProgressSink& progress);
void gaussianBlur(const FilterBuffers& buffers, const Region& region, const LineKernel& kernel, float opacity,
                  ProgressSink& progress);

}  // namespace sv
