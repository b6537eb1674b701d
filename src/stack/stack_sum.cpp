#include "stack/stack_sum.h"

#include <algorithm>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "stack/exposure_stack.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define SV_AVX2_KERNEL 1
#endif

namespace sv::detail {

namespace {

// weight x multiplier of a pixel whose brightest channel is `lightest`: the one expression every
// path forms (the table holds its values for k / 256).
inline float factorOf(float lightest, float multiplier) {
    return static_cast<float>(1.0 / (0.7 * lightest + 1.0)) * multiplier;
}

}  // namespace

WeightTable makeWeightTable(float multiplier) {
    WeightTable table;
    table.multiplier = multiplier;
    for (int k = 0; k < 256; ++k) table.factor[k] = factorOf(static_cast<float>(k) / 256.0f, multiplier);
    return table;
}

// Flat loops over a tile that the compiler vectorises for the baseline target; the tiles keep the
// factors in cache.
float accumulateSpanPortable(float* dst, const float* src, std::size_t pixels, const WeightTable& table,
                             bool subtract, float best) {
    constexpr std::size_t kTile = 512;
    float factor[3 * kTile];
    float lightest[kTile];
    float weight[kTile];
    const float multiplier = table.multiplier;
    for (std::size_t start = 0; start < pixels; start += kTile) {
        const std::size_t n = std::min(kTile, pixels - start);
        const float* s = src + 3 * start;
        float* d = dst + 3 * start;
        for (std::size_t p = 0; p < n; ++p) lightest[p] = maxOfThree(s[3 * p], s[3 * p + 1], s[3 * p + 2]);
        for (std::size_t p = 0; p < n; ++p) weight[p] = factorOf(lightest[p], multiplier);
        for (std::size_t p = 0; p < n; ++p) {
            factor[3 * p] = weight[p];
            factor[3 * p + 1] = weight[p];
            factor[3 * p + 2] = weight[p];
        }
        if (subtract) {
            for (std::size_t i = 0; i < 3 * n; ++i) {
                const float value = d[i] - factor[i] * s[i];
                d[i] = value;
                best = value > best ? value : best;
            }
        } else {
            for (std::size_t i = 0; i < 3 * n; ++i) {
                const float value = d[i] + factor[i] * s[i];
                d[i] = value;
                best = value > best ? value : best;
            }
        }
    }
    return best;
}

#ifdef SV_AVX2_KERNEL

bool avx2Usable() { return __builtin_cpu_supports("avx2"); }

namespace {

// Eight pixels (24 interleaved samples in three vectors) at a time. The three blends gather each
// channel so that lane i of red, green and blue belong to the same pixel after the rotations;
// the pixel order in the lanes is 0, 3, 6, 1, 4, 7, 2, 5, and the factor is spread back to the
// samples by three permutations. Where all eight brightest channels are some k / 256 (every
// 8-bit picture), the factor comes from the table; otherwise it is formed in double exactly as
// the portable path forms it. Every operation is a single IEEE step (no fused multiply-add), so
// both paths give the same bits.
template <bool Subtract>
__attribute__((target("avx2"))) float spanAvx2(float* dst, const float* src, std::size_t pixels,
                                               const WeightTable& table, float best) {
    const __m256i toGreen = _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 0);
    const __m256i toBlue = _mm256_setr_epi32(2, 3, 4, 5, 6, 7, 0, 1);
    const __m256i spread0 = _mm256_setr_epi32(0, 0, 0, 3, 3, 3, 6, 6);
    const __m256i spread1 = _mm256_setr_epi32(6, 1, 1, 1, 4, 4, 4, 7);
    const __m256i spread2 = _mm256_setr_epi32(7, 7, 2, 2, 2, 5, 5, 5);
    const __m256 levels = _mm256_set1_ps(256.0f);
    const __m256d slope = _mm256_set1_pd(0.7);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256 multiplier = _mm256_set1_ps(table.multiplier);
    __m256 top = _mm256_set1_ps(best);
    std::size_t p = 0;
    for (; p + 8 <= pixels; p += 8) {
        const float* s = src + 3 * p;
        float* d = dst + 3 * p;
        const __m256 s0 = _mm256_loadu_ps(s);
        const __m256 s1 = _mm256_loadu_ps(s + 8);
        const __m256 s2 = _mm256_loadu_ps(s + 16);
        const __m256 red = _mm256_blend_ps(_mm256_blend_ps(s0, s1, 0x92), s2, 0x24);
        __m256 green = _mm256_blend_ps(_mm256_blend_ps(s0, s1, 0x24), s2, 0x49);
        __m256 blue = _mm256_blend_ps(_mm256_blend_ps(s0, s1, 0x49), s2, 0x92);
        green = _mm256_permutevar8x32_ps(green, toGreen);
        blue = _mm256_permutevar8x32_ps(blue, toBlue);
        // max(a, b) is a > b ? a : b, the comparisons of maxOfThree (NaN and -0 count as 0).
        __m256 lightest = _mm256_max_ps(red, _mm256_setzero_ps());
        lightest = _mm256_max_ps(green, lightest);
        lightest = _mm256_max_ps(blue, lightest);

        const __m256 scaled = _mm256_mul_ps(lightest, levels);  // exact: a power of two
        const __m256i level = _mm256_cvttps_epi32(scaled);
        const __m256 onTable = _mm256_and_ps(_mm256_cmp_ps(scaled, levels, _CMP_LT_OQ),
                                             _mm256_cmp_ps(_mm256_cvtepi32_ps(level), scaled, _CMP_EQ_OQ));
        __m256 factor;
        if (_mm256_movemask_ps(onTable) == 0xFF) {
            factor = _mm256_i32gather_ps(table.factor, level, 4);
        } else {
            __m256d low = _mm256_cvtps_pd(_mm256_castps256_ps128(lightest));
            __m256d high = _mm256_cvtps_pd(_mm256_extractf128_ps(lightest, 1));
            low = _mm256_div_pd(one, _mm256_add_pd(_mm256_mul_pd(slope, low), one));
            high = _mm256_div_pd(one, _mm256_add_pd(_mm256_mul_pd(slope, high), one));
            factor = _mm256_set_m128(_mm256_cvtpd_ps(high), _mm256_cvtpd_ps(low));
            factor = _mm256_mul_ps(factor, multiplier);
        }
        const __m256 f0 = _mm256_permutevar8x32_ps(factor, spread0);
        const __m256 f1 = _mm256_permutevar8x32_ps(factor, spread1);
        const __m256 f2 = _mm256_permutevar8x32_ps(factor, spread2);
        __m256 d0 = _mm256_loadu_ps(d);
        __m256 d1 = _mm256_loadu_ps(d + 8);
        __m256 d2 = _mm256_loadu_ps(d + 16);
        if constexpr (Subtract) {
            d0 = _mm256_sub_ps(d0, _mm256_mul_ps(f0, s0));
            d1 = _mm256_sub_ps(d1, _mm256_mul_ps(f1, s1));
            d2 = _mm256_sub_ps(d2, _mm256_mul_ps(f2, s2));
        } else {
            d0 = _mm256_add_ps(d0, _mm256_mul_ps(f0, s0));
            d1 = _mm256_add_ps(d1, _mm256_mul_ps(f1, s1));
            d2 = _mm256_add_ps(d2, _mm256_mul_ps(f2, s2));
        }
        _mm256_storeu_ps(d, d0);
        _mm256_storeu_ps(d + 8, d1);
        _mm256_storeu_ps(d + 16, d2);
        top = _mm256_max_ps(d0, top);
        top = _mm256_max_ps(d1, top);
        top = _mm256_max_ps(d2, top);
    }
    float lanes[8];
    _mm256_storeu_ps(lanes, top);
    for (float lane : lanes) best = lane > best ? lane : best;
    if (p < pixels) best = accumulateSpanPortable(dst + 3 * p, src + 3 * p, pixels - p, table, Subtract, best);
    return best;
}

}  // namespace

float accumulateSpanAvx2(float* dst, const float* src, std::size_t pixels, const WeightTable& table, bool subtract,
                         float best) {
    return subtract ? spanAvx2<true>(dst, src, pixels, table, best) : spanAvx2<false>(dst, src, pixels, table, best);
}

#else

bool avx2Usable() { return false; }

float accumulateSpanAvx2(float* dst, const float* src, std::size_t pixels, const WeightTable& table, bool subtract,
                         float best) {
    return accumulateSpanPortable(dst, src, pixels, table, subtract, best);
}

#endif

}  // namespace sv::detail

namespace sv {

float accumulateExposure(FloatImage& stack, const FloatImage& source, const ExposureRecord& record, bool subtract,
                         ProgressSink& progress) {
    const int width = stack.width();
    const int height = stack.height();
    // Columns whose source column lies inside the picture.
    const int x0 = std::clamp(record.shiftX, 0, width);
    const int x1 = std::clamp(width + record.shiftX, 0, width);
    const std::size_t pixels = static_cast<std::size_t>(x1 > x0 ? x1 - x0 : 0);
    const detail::WeightTable table = detail::makeWeightTable(record.multiplier);
    const auto span = detail::avx2Usable() ? detail::accumulateSpanAvx2 : detail::accumulateSpanPortable;
    return tbb::parallel_reduce(
        tbb::blocked_range<int>(0, height), 0.0f,
        [&](const tbb::blocked_range<int>& rows, float best) {
            for (int y = rows.begin(); y != rows.end(); ++y) {
                const int sy = y - record.shiftY;
                if (sy < 0 || sy >= height || pixels == 0) continue;
                float* dst = stack.row(y) + 3 * static_cast<std::size_t>(x0);
                const float* src = source.row(sy) + 3 * static_cast<std::ptrdiff_t>(x0 - record.shiftX);
                best = span(dst, src, pixels, table, subtract, best);
            }
            progress.advance(rows.end() - rows.begin());
            return best;
        },
        [](float a, float b) { return std::max(a, b); });
}

}  // namespace sv
