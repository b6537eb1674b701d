#pragma once
// Shared pieces of the benchmarks: 24-megapixel pictures and the memory pass every result is
// compared with in the same run.
#include <benchmark/benchmark.h>

#include <random>

#include "image/float_image.h"
#include "image/parallel_rows.h"

namespace sv::bench {

inline constexpr int kWidth = 6000;
inline constexpr int kHeight = 4000;

// Smooth content with noise, samples in [low, high): closer to a photograph than white noise.
inline FloatImage photoLikeImage(int width, int height, unsigned seed, float low = 0.0f, float high = 1.0f) {
    FloatImage image(width, height);
    parallelRows(0, height, [&](int y) {
        std::minstd_rand rng(seed * 7919u + static_cast<unsigned>(y));
        std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
        float* row = image.row(y);
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                float t = 0.5f + 0.45f * static_cast<float>((x * (c + 1) + y * 2) % 1000) / 1000.0f + noise(rng);
                t = t < 0 ? 0 : (t > 1 ? 1 : t);
                row[3 * x + c] = low + (high - low) * t * 0.999f;
            }
        }
    });
    return image;
}

// The plain memory pass: read every float of `source`, write every float of `target`, on all cores.
inline void memoryPass(const FloatImage& source, FloatImage& target) {
    const std::size_t n = source.rowSamples();
    parallelRows(0, source.height(), [&](int y) {
        const float* s = source.row(y);
        float* d = target.row(y);
        for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
    });
    benchmark::ClobberMemory();
}

// The pass of adding one picture to another: read both, write the sum. The issues' time budgets
// are stated against this pass ("so many milliseconds on a machine whose pass takes 18.8 ms").
inline void memoryPassReadAddWrite(const FloatImage& source, FloatImage& target) {
    const std::size_t n = source.rowSamples();
    parallelRows(0, source.height(), [&](int y) {
        const float* s = source.row(y);
        float* d = target.row(y);
        for (std::size_t i = 0; i < n; ++i) d[i] += s[i];
    });
    benchmark::ClobberMemory();
}

}  // namespace sv::bench
