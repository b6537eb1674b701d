#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "image/float_image.h"
#include "image/progress.h"
#include "image/region.h"

namespace sv {

using Rgb = std::array<float, 3>;

// The eyedropper's weights: N x N cells (N = 2r + 1), a Gaussian of sigma N x 1.8 / 7
// normalised to sum 1. weights[i * size + j] is the cell at horizontal offset i - r and
// vertical offset j - r.
struct SamplingKernel {
    int size = 1;
    std::vector<float> weights;
    float at(int i, int j) const { return weights[static_cast<std::size_t>(i) * size + j]; }
};
SamplingKernel makeSamplingKernel(int radius);

// The colour under the eyedropper at picture pixel (x, y) with radius r (0 = "Point" .. 4 =
// "Gauss 9x9"). Cells beyond the picture's edge read the nearest picture pixel.
Rgb takeSample(const FloatImage& picture, int x, int y, int radius);

// The panels' colours: the sample as 8-bit (trunc(channel x 255)), and the grey the neutral
// point turns it into (trunc(mean x 255)); the hint "R:r, G:g, B:b".
std::array<int, 3> sampleBytes(const Rgb& sample);
int neutralGreyByte(const Rgb& sample);
std::string sampleHint(const Rgb& sample);

// Neutral point over a region: the sampled colour becomes the grey of its own mean. Copies the
// region of P into N (the Undo copy) and into C, then writes C; a channel whose sample is 0 is
// left as it was; results are capped at 1. Gauge: 2 x region rows, one step per row here.
void neutralPoint(const FloatImage& processed, FloatImage& working, FloatImage& output, const Region& region,
                  const Rgb& sample, ProgressSink& progress);

// One row (Shadows, Midtones, Highlights) of the sample/target balance.
struct BalanceRange {
    bool ticked = false;
    Rgb sample{};                      // picked from the picture, 0..1
    std::array<int, 3> target{};       // the target panel's colour, 0..255
};
struct BalanceParams {
    std::array<BalanceRange, 3> ranges{};
};

// Whether a range takes part: ticked, and neither its sample nor its target is all 0.
bool balanceRangeInUse(const BalanceRange& range);

// Sample/target balance over a region: each range in use carries its sample towards its target
// in proportion to the pixel's brightness weight for that range, and the ranges are averaged.
// A sample channel of 0 leaves that channel of its term as the pixel was. Copies the region of
// P into N, writes C; capped at 1. Gauge: 2 x region rows, one step per row here.
void sampleTargetBalance(const FloatImage& processed, FloatImage& working, FloatImage& output,
                         const Region& region, const BalanceParams& params, ProgressSink& progress);

}  // namespace sv
