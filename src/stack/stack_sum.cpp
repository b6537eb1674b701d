#include "stack/stack_sum.h"

#include <algorithm>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "stack/exposure_stack.h"

namespace sv {

namespace {

// One row's span of samples: stack += (or -=) weight x multiplier x source, returning the largest
// stack sample reached. The weights are formed exactly as in w * multiplier * v, in flat loops the
// compiler can vectorise; tiles keep the factors in cache. Built for AVX2 as well as the baseline.
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
float accumulateSpan(float* dst, const float* src, std::size_t span, float multiplier, bool subtract, float best) {
    constexpr std::size_t kTile = 3 * 512;
    float factor[kTile];
    float lightest[kTile / 3];
    float weight[kTile / 3];
    for (std::size_t start = 0; start < span; start += kTile) {
        const std::size_t n = std::min(kTile, span - start);
        const std::size_t pixels = n / 3;
        const float* s = src + start;
        float* d = dst + start;
        for (std::size_t p = 0; p < pixels; ++p) lightest[p] = maxOfThree(s[3 * p], s[3 * p + 1], s[3 * p + 2]);
        for (std::size_t p = 0; p < pixels; ++p) {
            weight[p] = static_cast<float>(1.0 / (0.7 * lightest[p] + 1.0)) * multiplier;
        }
        for (std::size_t p = 0; p < pixels; ++p) {
            factor[3 * p] = weight[p];
            factor[3 * p + 1] = weight[p];
            factor[3 * p + 2] = weight[p];
        }
        if (subtract) {
            for (std::size_t i = 0; i < n; ++i) {
                const float value = d[i] - factor[i] * s[i];
                d[i] = value;
                best = value > best ? value : best;
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                const float value = d[i] + factor[i] * s[i];
                d[i] = value;
                best = value > best ? value : best;
            }
        }
    }
    return best;
}

}  // namespace

float accumulateExposure(FloatImage& stack, const FloatImage& source, const ExposureRecord& record, bool subtract,
                         ProgressSink& progress) {
    const int width = stack.width();
    const int height = stack.height();
    // Columns whose source column lies inside the picture.
    const int x0 = std::clamp(record.shiftX, 0, width);
    const int x1 = std::clamp(width + record.shiftX, 0, width);
    const std::size_t span = static_cast<std::size_t>(x1 > x0 ? x1 - x0 : 0) * 3;
    return tbb::parallel_reduce(
        tbb::blocked_range<int>(0, height), 0.0f,
        [&](const tbb::blocked_range<int>& rows, float best) {
            for (int y = rows.begin(); y != rows.end(); ++y) {
                const int sy = y - record.shiftY;
                if (sy < 0 || sy >= height || span == 0) continue;
                float* dst = stack.row(y) + 3 * static_cast<std::size_t>(x0);
                const float* src = source.row(sy) + 3 * static_cast<std::ptrdiff_t>(x0 - record.shiftX);
                best = accumulateSpan(dst, src, span, record.multiplier, subtract, best);
            }
            progress.advance(rows.end() - rows.begin());
            return best;
        },
        [](float a, float b) { return std::max(a, b); });
}

}  // namespace sv
