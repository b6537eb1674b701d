#pragma once

#include "filters/filter_framework.h"
#include "filters/filter_kernel.h"
#include "image/parameters.h"

namespace sv {

// Control positions of the "Sharpen" group.
struct SharpenParams {
    int amountPosition = 100;  // a = position x 0.01 (10..200)
    int sigmaPosition = 10;    // sigma = position x 0.1 (1..50)
};

inline constexpr ParameterDescriptor kSharpenParameters[] = {
    {.key = "amount", .control = "TrackBar2", .valueLabel = "Label3", .minimum = 10, .maximum = 200, .defaultPosition = 100, .scale = 0.01,
     .label = LabelFormat::Percent},
    {.key = "sigma", .control = "TrackBar3", .valueLabel = "Label5", .minimum = 1, .maximum = 50, .defaultPosition = 10, .scale = 0.1,
     .label = LabelFormat::OneDecimal},
};
SharpenParams sharpenParams(const ParameterValues& values);

// Unsharp mask: C = P + a x (N convolved with the sharpen kernel cut to its window), clamped to
// 0..1; neighbours outside the region are left out without renormalising. The kernel is the
// identity minus a Gaussian that is a product of a row and a column factor, so the sums are
// taken separably (2 x (33 - 2m) taps instead of (33 - 2m)^2); they agree with the direct 2-D
// sums to within float rounding. Gauge: 3 x region height, of which this fills two thirds
// (the copy into N and the filter), the display conversion the rest.
void sharpen(const FilterBuffers& buffers, const Region& region, const SharpenParams& params,
             ProgressSink& progress);

}  // namespace sv
