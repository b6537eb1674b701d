#pragma once

#include <array>

namespace sv {

// Grid size of a kernel record and the size the program actually uses.
inline constexpr int kKernelGrid = 42;
inline constexpr int kKernelSize = 33;
inline constexpr int kKernelCentre = 16;

// A 2-D filter kernel. weights[i][j] is the weight of the neighbour at horizontal offset
// i - width/2 and vertical offset j - height/2.
struct FilterKernel {
    int width = 0;
    int height = 0;
    std::array<std::array<float, kKernelGrid>, kKernelGrid> weights{};
    float maxWeight = 0.0f;
    float weightSum = 0.0f;
};

// The one-dimensional kernel of the Gaussian blur (the first `length` weights are used).
struct LineKernel {
    std::array<float, 256> weights{};
    float maxWeight = 0.0f;
    float weightSum = 0.0f;
    int length = 0;
};

// Control positions scaled the way the window scales them, rounded once to float:
// sigmas are position x 0.1, opacities and amounts position x 0.01.
float sigmaFromPosition(int position);
float fractionFromPosition(int position);

// The blur keeps two kernels: the 33 x 33 one only feeds its picture, the 33-tap one filters.
struct GaussianKernels {
    FilterKernel picture;
    LineKernel line;
};

// Kernel arithmetic: every expression is evaluated in double and rounded to float where the
// value is kept as a float; the sums are float sums in loop order.
GaussianKernels makeGaussianKernels(float sigma);
// Identity minus a normalised Gaussian (sums to 0); maxWeight is the centre weight.
FilterKernel makeSharpenKernel(float sigma);
// The bilateral spatial kernel is the blur's picture kernel at the spatial sigma.
FilterKernel makeBilateralKernel(float sigma);

enum class MedianShape { HorizontalBar = 0, VerticalBar = 1, Plus = 2, Box = 3 };
// (2p + 1) x (2p + 1) mask of 1.0 / 0 cells, p = the size position (1..3).
FilterKernel makeMedianMask(MedianShape shape, int sizePosition);

// First index m of the tap window t = m .. 32 - m (radius 16 - m).
// Blur: the first i whose running sum of g[0..i] exceeds 0.02.
int blurWindowStart(const LineKernel& kernel);
// Sharpen: the first i whose running sum of the centre row falls below -0.0012.
int sharpenWindowStart(const FilterKernel& kernel);
// Bilateral: the first i whose running sum of the centre row exceeds 0.0009.
int bilateralWindowStart(const FilterKernel& kernel);

}  // namespace sv
