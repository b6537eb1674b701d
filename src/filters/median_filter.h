#pragma once

#include "filters/filter_framework.h"
#include "filters/filter_kernel.h"
#include "image/parameters.h"

namespace sv {

// Control positions of the "Median filter" group.
struct MedianParams {
    MedianShape shape = MedianShape::Plus;
    int sizePosition = 2;        // mask 2p + 1 wide and high (1..3)
    int thresholdPosition = 80;  // thr = 1 - position x 0.01 (0..100)
    int opacityPosition = 100;   // op = position x 0.01 (1..100)
};

// The shapes in the order of MedianShape and of the window's combo box items.
inline constexpr std::string_view kMedianShapeNames[] = {"hbar", "vbar", "plus", "box"};
inline constexpr ParameterDescriptor kMedianParameters[] = {
    {.key = "shape", .control = "ComboBox1", .minimum = 0, .maximum = 3, .defaultPosition = 2,
     .label = LabelFormat::Choice, .choices = kMedianShapeNames},
    {.key = "size", .control = "TrackBar6", .valueLabel = "Label12", .minimum = 1, .maximum = 3, .defaultPosition = 2,
     .label = LabelFormat::MaskSize},
    {.key = "threshold", .control = "TrackBar15", .valueLabel = "Label35", .minimum = 0, .maximum = 100, .defaultPosition = 80, .scale = 0.01,
     .label = LabelFormat::TwoDecimals},
    {.key = "opacity", .control = "TrackBar14", .valueLabel = "Label30", .minimum = 1, .maximum = 100, .defaultPosition = 100, .scale = 0.01,
     .label = LabelFormat::Percent},
};
MedianParams medianParams(const ParameterValues& values);

// Selective median: a pixel whose brightness differs from the mean brightness of its other
// in-region mask neighbours by more than thr takes, per channel, the median of its in-region
// mask cells (the element at index n / 2 in ascending order), mixed as op x median +
// (1 - op) x P; every other pixel is copied from P exactly. A pixel with no neighbour in the
// region (n = 1) is copied. Gauge: 3 x region height (copy, filter; the display fills the rest).
void medianFilter(const FilterBuffers& buffers, const Region& region, const MedianParams& params,
                  ProgressSink& progress);

}  // namespace sv
