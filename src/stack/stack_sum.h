#pragma once

#include "image/float_image.h"
#include "image/progress.h"
#include "stack/project.h"

namespace sv {

// Adds (or subtracts) source pixel (x - shiftX, y - shiftY) x weight x multiplier into every stack
// pixel the shifted source covers, weight = exposureWeight of the source pixel, formed as
// (float)(1 / (0.7 L + 1)) x multiplier; returns the largest stack sample among those touched
// (0 when none). Adding, removing and ghost-free merging all sum through here, so their
// arithmetic is one and the same. Progress advances once per stack row.
float accumulateExposure(FloatImage& stack, const FloatImage& source, const ExposureRecord& record, bool subtract,
                         ProgressSink& progress);

}  // namespace sv
