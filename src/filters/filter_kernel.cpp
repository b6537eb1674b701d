#include "filters/filter_kernel.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sv {

namespace {

// 1 / (sqrt(2 pi) x sigma), kept as a float.
float gaussianScale(float sigma) {
    return static_cast<float>(1.0 / (std::sqrt(2.0 * std::numbers::pi) * static_cast<double>(sigma)));
}

// exp(-(i - c)^2 / (2 sigma^2)) in double.
double gaussianTerm(int i, float sigma) {
    const double s = static_cast<double>(sigma);
    const double d = static_cast<double>(i - kKernelCentre);
    return std::exp(-(d * d) / (2.0 * s * s));
}

}  // namespace

float sigmaFromPosition(int position) { return static_cast<float>(position * 0.1); }
float fractionFromPosition(int position) { return static_cast<float>(position * 0.01); }

GaussianKernels makeGaussianKernels(float sigma) {
    GaussianKernels k;
    FilterKernel& pic = k.picture;
    LineKernel& line = k.line;
    pic.width = kKernelSize;
    pic.height = kKernelSize;
    line.length = kKernelSize;
    const float d = gaussianScale(sigma);
    const double dd = static_cast<double>(d) * static_cast<double>(d);
    float picSum = 0.0f;
    float lineSum = 0.0f;
    for (int i = 0; i < kKernelSize; ++i) {
        const double outer = dd * gaussianTerm(i, sigma);
        for (int j = 0; j < kKernelSize; ++j) {
            const float w = static_cast<float>(outer * gaussianTerm(j, sigma));
            pic.weights[i][j] = w;
            picSum += w;
        }
        const float g = static_cast<float>(static_cast<double>(d) * gaussianTerm(i, sigma));
        line.weights[i] = g;
        lineSum += g;
    }
    pic.weightSum = picSum;
    line.weightSum = lineSum;
    pic.maxWeight = 0.0f;
    for (int i = 0; i < kKernelSize; ++i) {
        for (int j = 0; j < kKernelSize; ++j) {
            pic.weights[i][j] = pic.weights[i][j] / picSum;
            pic.maxWeight = std::max(pic.maxWeight, pic.weights[i][j]);
        }
    }
    line.maxWeight = 0.0f;
    for (int i = 0; i < kKernelSize; ++i) {
        line.weights[i] = line.weights[i] / lineSum;
        line.maxWeight = std::max(line.maxWeight, line.weights[i]);
    }
    return k;
}

FilterKernel makeBilateralKernel(float sigma) { return makeGaussianKernels(sigma).picture; }

FilterKernel makeSharpenKernel(float sigma) {
    FilterKernel k;
    k.width = kKernelSize;
    k.height = kKernelSize;
    const float d = gaussianScale(sigma);
    const double dd = static_cast<double>(d) * static_cast<double>(d);
    float s = 0.0f;
    for (int i = 0; i < kKernelSize; ++i) {
        const double outer = dd * gaussianTerm(i, sigma);
        for (int j = 0; j < kKernelSize; ++j) {
            const float g = static_cast<float>(outer * gaussianTerm(j, sigma));
            k.weights[i][j] = g;
            s += g;
        }
    }
    for (int i = 0; i < kKernelSize; ++i) {
        for (int j = 0; j < kKernelSize; ++j) k.weights[i][j] = -(k.weights[i][j] / s);
    }
    k.weights[kKernelCentre][kKernelCentre] = k.weights[kKernelCentre][kKernelCentre] + 1.0f;
    k.maxWeight = k.weights[kKernelCentre][kKernelCentre];
    if (k.maxWeight == 0.0f) k.maxWeight = 1.0f;
    k.weightSum = 0.0f;
    return k;
}

FilterKernel makeMedianMask(MedianShape shape, int sizePosition) {
    const int p = std::clamp(sizePosition, 1, 3);
    FilterKernel k;
    k.width = 2 * p + 1;
    k.height = 2 * p + 1;
    int cells = 0;
    for (int i = 0; i < k.width; ++i) {
        for (int j = 0; j < k.height; ++j) {
            bool in = false;
            switch (shape) {
                case MedianShape::HorizontalBar: in = j == p; break;
                case MedianShape::VerticalBar: in = i == p; break;
                case MedianShape::Plus: in = i == p || j == p; break;
                case MedianShape::Box: in = true; break;
            }
            k.weights[i][j] = in ? 1.0f : 0.0f;
            cells += in ? 1 : 0;
        }
    }
    k.maxWeight = 1.0f;
    k.weightSum = static_cast<float>(cells);
    return k;
}

int blurWindowStart(const LineKernel& kernel) {
    float s = 0.0f;
    for (int i = 0; i <= 15; ++i) {
        s = s + kernel.weights[i];
        if (s > 0.02) return i;
    }
    return 15;
}

int sharpenWindowStart(const FilterKernel& kernel) {
    float s = 0.0f;
    for (int i = 0; i <= 14; ++i) {
        s = s + kernel.weights[i][kKernelCentre];
        if (s < -0.0012) return i;
    }
    return 15;
}

int bilateralWindowStart(const FilterKernel& kernel) {
    float s = 0.0f;
    for (int i = 0; i <= 15; ++i) {
        s = s + kernel.weights[i][kKernelCentre];
        if (s > 0.0009) return i;
    }
    return 15;
}

}  // namespace sv
