#pragma once

#include <cstddef>

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

namespace detail {

// The per-pixel factor weight x multiplier of the 256 brightest-channel values k / 256 an 8-bit
// picture can have, each formed by the very expression used for any other value.
struct WeightTable {
    float factor[256];
    float multiplier;
};
WeightTable makeWeightTable(float multiplier);

// One span of `pixels` pixels: dst += (or -=) factor x src per sample, where the factor comes
// from the pixel's brightest channel; returns the larger of `best` and every sample written.
// The portable form runs anywhere; the AVX2 form (only where avx2Usable()) gives the same bits.
float accumulateSpanPortable(float* dst, const float* src, std::size_t pixels, const WeightTable& table,
                             bool subtract, float best);
bool avx2Usable();
float accumulateSpanAvx2(float* dst, const float* src, std::size_t pixels, const WeightTable& table, bool subtract,
                         float best);

}  // namespace detail

}  // namespace sv
