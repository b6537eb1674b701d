#pragma once

#include "filters/filter_framework.h"
#include "filters/filter_kernel.h"
#include "image/parameters.h"

namespace sv {

// Control positions of the "Bilateral filter" group.
struct BilateralParams {
    int sigmaPosition = 10;      // spatial sigma = position x 0.1 (1..80)
    int thresholdPosition = 10;  // range sigma = position x 0.01 (1..30)
    int opacityPosition = 100;   // op = position x 0.01 (1..100)
};

// The threshold's label shows ten times the range sigma the filter uses ("1,0" for 0.10).
inline constexpr ParameterDescriptor kBilateralParameters[] = {
    {.key = "sigma", .control = "TrackBar8", .valueLabel = "Label18", .minimum = 1, .maximum = 80, .defaultPosition = 10, .scale = 0.1,
     .label = LabelFormat::OneDecimal},
    {.key = "threshold", .control = "TrackBar9", .valueLabel = "Label20", .minimum = 1, .maximum = 30, .defaultPosition = 10, .scale = 0.01,
     .label = LabelFormat::OneDecimal},
    {.key = "opacity", .control = "TrackBar7", .valueLabel = "Label15", .minimum = 1, .maximum = 100, .defaultPosition = 100, .scale = 0.01,
     .label = LabelFormat::Percent},
};
BilateralParams bilateralParams(const ParameterValues& values);

// Two one-dimensional bilateral passes, rows then columns, each channel on its own: a tap's
// weight is its spatial weight times exp(-diff^2 / (2 sigma_r^2)); taps outside the region are
// left out and the rest renormalised. Then C = op x filtered + (1 - op) x P.
// Each pair of neighbours shares one range weight (the squared difference is the same seen
// from either side), taken eight at a time as a power of two (vec::exp2Eighths, relative error
// below 2e-7), so results agree with a scalar exp to well within 1e-5. With AVX2 both passes
// run in one sweep down column strips (the same bits). Gauge: 3 x region height.
void bilateralFilter(const FilterBuffers& buffers, const Region& region, const BilateralParams& params,
                     ProgressSink& progress);

}  // namespace sv
