#include "tone/local_contrast.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "image/parallel_rows.h"
#include "tone/render.h"

namespace sv {

namespace {

// Brightness ratios are held within [2^-17, 256] before the log: darker is black to the render
// (a quarter of its first level), brighter only occurs where a pixel exceeds stackMax.
constexpr float kFloor = 0x1p-17f;
constexpr float kCeiling = 256.0f;
constexpr float kLogLow = -12.0f;  // below ln(2^-17)
constexpr float kLogHigh = 5.6f;   // above ln(256 + 2^-17)
constexpr float kLargestDetailGain = 4.0f;
constexpr double kClippedShare = 0.01;
constexpr double kSampleTarget = 65536.0;
constexpr int kSpan = 64;
// The grid's levels: kLogLow .. kLogHigh in steps of the range sigma, and one more for the slice.
constexpr int kMaxLevels = static_cast<int>((kLogHigh - kLogLow) / kLocalRangeSigma + 0.5f) + 2;
// Cells of at least this many pixels are blended row-wise per span (at most this many columns).
constexpr int kBlendedCell = 8;
constexpr int kBlendedColumns = kSpan / kBlendedCell + 2;

// Natural log for x in [2^-17, 512] (normal, positive), and exp held within [e^-80, e^80]: a
// handful of IEEE operations each, so that whole vectors run them with the same results per sample.
inline __attribute__((always_inline)) float fastLog(float x) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    int exponent = static_cast<int>((bits >> 23) & 0xffu) - 127;
    float m = std::bit_cast<float>((bits & 0x7fffffu) | 0x3f800000u);  // in [1, 2)
    const bool high = m > 1.41421356f;
    m = high ? m * 0.5f : m;
    exponent = high ? exponent + 1 : exponent;
    // ln m = 2 atanh(t), t = (m - 1) / (m + 1), |t| < 0.172.
    const float t = (m - 1.0f) / (m + 1.0f);
    // The series 1 + t^2 / 3 + ... + t^8 / 9 in two independent halves (a short dependency chain).
    const float t2 = t * t, t4 = t2 * t2;
    const float p = (t2 * (1.0f / 3.0f) + 1.0f) + t4 * ((t2 * (1.0f / 7.0f) + (1.0f / 5.0f)) + t4 * (1.0f / 9.0f));
    const float e = static_cast<float>(exponent);
    // ln 2 split so that e x the high part is exact.
    return e * 0.693145751953125f + (e * 1.428606765330187e-06f + 2.0f * (t * p));
}

inline __attribute__((always_inline)) float fastExp(float x) {
    x = x > -80.0f ? x : -80.0f;  // not a number goes to the low end
    x = x < 80.0f ? x : 80.0f;
    // k = x log2(e) rounded to the nearest integer by the float adder itself (|k| <= 116).
    const float shifted = x * 1.44269504f + 12582912.0f;
    const float fk = shifted - 12582912.0f;
    const std::int32_t k = std::bit_cast<std::int32_t>(shifted) - 0x4B400000;
    const float r = (x - fk * 0.693145751953125f) - fk * 1.428606765330187e-06f;  // |r| < 0.35
    // The Taylor series to r^7 in independent pairs (a short dependency chain).
    const float r2 = r * r, r4 = r2 * r2;
    const float low = (r + 1.0f) + r2 * (r * (1.0f / 6.0f) + 0.5f);
    const float high = (r * (1.0f / 120.0f) + (1.0f / 24.0f)) + r2 * (r * (1.0f / 5040.0f) + (1.0f / 720.0f));
    const float p = low + r4 * high;
    return p * std::bit_cast<float>(static_cast<std::uint32_t>(k + 127) << 23);
}

// The log of the brightness ratio of a pixel, the quantity the filter works on.
inline float pixelLog(const float* pixel, float stackMax) {
    float m = pixel[0] > 0.0f ? pixel[0] : 0.0f;
    m = pixel[1] > m ? pixel[1] : m;
    m = pixel[2] > m ? pixel[2] : m;
    float ratio = m / stackMax;
    ratio = ratio < kCeiling ? ratio : kCeiling;  // also infinity and not-a-number
    return fastLog(ratio + kFloor);
}

// Every step-th pixel (in both directions) is splatted: cells of 8 pixels or more take one in
// step x step pixels, up to one in 16, which leaves every cell at least 64.
inline int splatStep(float cellSize) { return std::clamp(static_cast<int>(cellSize / 8.0f), 1, 4); }

// Grid geometry shared by the splat and the slice.
struct Geometry {
    float inverseCell;
    float inverseSigma = 1.0f / kLocalRangeSigma;
    int width, height, levels;
    float levelLimit() const { return static_cast<float>(levels - 2); }
    float level(float l) const {
        float z = (l - kLogLow) * inverseSigma;
        z = z > 0.0f ? z : 0.0f;
        return z < levelLimit() ? z : levelLimit();
    }
};

// Slicing: the trilinear interpolation of (weighted sum, weight) at grid position (gx, gy, gz),
// divided; first between the two grid rows, then between the two levels, then the two columns.

// The two levels (z, z + 1) of one grid column, blended between grid rows iy and iy + 1: four
// floats (sum and weight at z, sum and weight at z + 1), neighbours in the grid.
inline void blendRows(const float* upper, const float* lower, float fy, float* out) {
    for (int k = 0; k < 4; ++k) out[k] = upper[k] + fy * (lower[k] - upper[k]);
}

// The rest, from the blended levels of columns ix and ix + 1.
// A pixel that no splatted pixel comes near, in place and level, is its own base.
inline float sliceBlended(const float* left, const float* right, float fx, float fz, float l) {
    const float s0 = left[0] + fz * (left[2] - left[0]), w0 = left[1] + fz * (left[3] - left[1]);
    const float s1 = right[0] + fz * (right[2] - right[0]), w1 = right[1] + fz * (right[3] - right[1]);
    const float weight = w0 + fx * (w1 - w0);
    return weight > 0.0f ? (s0 + fx * (s1 - s0)) / weight : l;
}

inline float slice(const float* grid, const Geometry& g, float gx, float gy, float l) {
    const float gz = g.level(l);
    const int ix = static_cast<int>(gx), iy = static_cast<int>(gy), iz = static_cast<int>(gz);
    const float fx = gx - static_cast<float>(ix), fy = gy - static_cast<float>(iy), fz = gz - static_cast<float>(iz);
    const std::size_t column = static_cast<std::size_t>(g.levels) * 2;
    const float* upper = grid + (static_cast<std::size_t>(iy) * g.width + ix) * column + static_cast<std::size_t>(iz) * 2;
    const float* lower = upper + static_cast<std::size_t>(g.width) * column;
    float left[4], right[4];
    blendRows(upper, lower, fy, left);
    blendRows(upper + column, lower + column, fy, right);
    return sliceBlended(left, right, fx, fz, l);
}

// The grid blurred by 1 4 6 4 1 (/16) along one axis, outside the grid counting as empty.
// `lines` lines of `length` cells, cell i of line j at first(j) + i * stride (two floats each).
template <typename First>
void blurAxis(std::vector<float>& grid, int lines, int length, std::size_t stride, First first) {
    tbb::parallel_for(tbb::blocked_range<int>(0, lines, 64), [&](const tbb::blocked_range<int>& r) {
        std::vector<float> line(static_cast<std::size_t>(length + 4) * 2, 0.0f);
        for (int j = r.begin(); j != r.end(); ++j) {
            float* cells = grid.data() + first(j);
            for (int i = 0; i < length; ++i) {
                line[static_cast<std::size_t>(i + 2) * 2] = cells[i * stride];
                line[static_cast<std::size_t>(i + 2) * 2 + 1] = cells[i * stride + 1];
            }
            for (int i = 0; i < length; ++i) {
                for (int c = 0; c < 2; ++c) {
                    const float* p = line.data() + static_cast<std::size_t>(i) * 2 + c;
                    cells[i * stride + c] = (p[0] + 4.0f * p[2] + 6.0f * p[4] + 4.0f * p[6] + p[8]) * (1.0f / 16.0f);
                }
            }
        }
    });
}

// The detail's gain from undoing the render's flattening, held within [1, 4].
inline float heldGain(float gain) {
    gain = gain > 1.0f ? gain : 1.0f;
    return gain < kLargestDetailGain ? gain : kLargestDetailGain;
}

// The detail layer's share in the result. Only its texture-sized part, d / (1 + |d| / sigma), is
// scaled by `gain`; the rest, which only the rims of strong edges and large features carry, is
// compressed like the base (by `keep`). Those rim pixels lie between the two sides' levels, and
// were they kept or boosted whole they would come out beyond both sides: a thin halo.
inline float scaledDetail(float d, float gain, float keep) {
    const float size = d < 0.0f ? -d : d;
    const float texture = d / (1.0f + size * (1.0f / kLocalRangeSigma));
    return keep * (d - texture) + gain * texture;
}

// The operator's elementwise steps over a span, written as plain loops: the compiler runs them
// over whole vectors, and each sample sees the same IEEE operations whatever the vector width.
struct SpanWork {
    alignas(32) float l[kSpan];
    alignas(32) float base[kSpan];
    alignas(32) float ratio[kSpan];
};

inline __attribute__((always_inline)) void logsOfSpan(const float* in, int count, float stackMax, SpanWork& w) {
    for (int i = 0; i < count; ++i) w.l[i] = pixelLog(in + 3 * i, stackMax);
}

inline __attribute__((always_inline)) void finishSpan(const float* in, int count, float anchor, float keep,
                                                      float detail, float inverseGamma, float saturation,
                                                      float lowering, float* out, SpanWork& w) {
    if (saturation != 0.0f) {
        for (int i = 0; i < count; ++i) {
            const float after = anchor + keep * (w.base[i] - anchor);
            w.ratio[i] = detail * heldGain(inverseGamma * (fastExp(after) * saturation + 1.0f));
        }
    } else {
        const float gain = detail * heldGain(inverseGamma);
        for (int i = 0; i < count; ++i) w.ratio[i] = gain;
    }
    for (int i = 0; i < count; ++i) {
        const float b = w.base[i];
        const float after = anchor + keep * (b - anchor);
        const float mapped = after + scaledDetail(w.l[i] - b, w.ratio[i], keep) - lowering;
        w.ratio[i] = fastExp(mapped - w.l[i]);
    }
    for (int i = 0; i < count; ++i) {
        out[3 * i] = in[3 * i] * w.ratio[i];
        out[3 * i + 1] = in[3 * i + 1] * w.ratio[i];
        out[3 * i + 2] = in[3 * i + 2] * w.ratio[i];
    }
}

// The bases of a span from grid columns blended between two grid rows (columns from `first` on).
// Pixels `from` to `count` of the span.
inline __attribute__((always_inline)) void sliceSpan(const float* blended, int first, int x, int from, int count,
                                                     const Geometry& g, SpanWork& w) {
    const int column = g.levels * 2;
    for (int i = from; i < count; ++i) {
        const float gx = static_cast<float>(x + i) * g.inverseCell, gz = g.level(w.l[i]);
        const int ix = static_cast<int>(gx), iz = static_cast<int>(gz);
        const int at = (ix - first) * column + iz * 2;
        const float fx = gx - static_cast<float>(ix), fz = gz - static_cast<float>(iz);
        const float s0 = blended[at] + fz * (blended[at + 2] - blended[at]);
        const float w0 = blended[at + 1] + fz * (blended[at + 3] - blended[at + 1]);
        const float s1 = blended[at + column] + fz * (blended[at + column + 2] - blended[at + column]);
        const float w1 = blended[at + column + 1] + fz * (blended[at + column + 3] - blended[at + column + 1]);
        const float weight = w0 + fx * (w1 - w0);
        w.base[i] = weight > 0.0f ? (s0 + fx * (s1 - s0)) / weight : w.l[i];
    }
}

void sliceSpanPlain(const float* blended, int first, int x, int count, const Geometry& g, SpanWork& w) {
    sliceSpan(blended, first, x, 0, count, g, w);
}
// The same eight pixels at a time, the eight cell values each needs gathered; the arithmetic is
// that of sliceSpan operation by operation.
__attribute__((target("avx2"))) void sliceSpanAvx2(const float* blended, int first, int x, int count,
                                                   const Geometry& g, SpanWork& w) {
    const int column = g.levels * 2;
    const __m256 inverseCell = _mm256_set1_ps(g.inverseCell), inverseSigma = _mm256_set1_ps(g.inverseSigma);
    const __m256 low = _mm256_set1_ps(kLogLow), limit = _mm256_set1_ps(g.levelLimit()), zero = _mm256_setzero_ps();
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), columnStep = _mm256_set1_epi32(column);
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 gx = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(x + i), lanes)), inverseCell);
        __m256 gz = _mm256_mul_ps(_mm256_sub_ps(_mm256_load_ps(w.l + i), low), inverseSigma);
        gz = _mm256_min_ps(_mm256_max_ps(gz, zero), limit);
        const __m256i ix = _mm256_cvttps_epi32(gx), iz = _mm256_cvttps_epi32(gz);
        const __m256 fx = _mm256_sub_ps(gx, _mm256_cvtepi32_ps(ix)), fz = _mm256_sub_ps(gz, _mm256_cvtepi32_ps(iz));
        const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(ix, _mm256_set1_epi32(first)), columnStep),
                                            _mm256_add_epi32(iz, iz));
        // Each pixel reads two runs of four floats (its column and the next); eight runs are
        // turned into four vectors of eight.
        alignas(32) int index[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(index), at);
        auto quads = [blended, &index](int shift, __m256& v0, __m256& v1, __m256& v2, __m256& v3)
                         __attribute__((target("avx2"))) {
            __m256 r[4];
            for (int k = 0; k < 4; ++k) {
                r[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(blended + index[k] + shift)),
                                            _mm_loadu_ps(blended + index[k + 4] + shift), 1);
            }
            const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
            const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
            v0 = _mm256_shuffle_ps(t0, t2, 0x44);
            v1 = _mm256_shuffle_ps(t0, t2, 0xEE);
            v2 = _mm256_shuffle_ps(t1, t3, 0x44);
            v3 = _mm256_shuffle_ps(t1, t3, 0xEE);
        };
        __m256 a0, a1, a2, a3, b0, b1, b2, b3;
        quads(0, a0, a1, a2, a3);
        quads(column, b0, b1, b2, b3);
        const __m256 s0 = _mm256_add_ps(a0, _mm256_mul_ps(fz, _mm256_sub_ps(a2, a0)));
        const __m256 w0 = _mm256_add_ps(a1, _mm256_mul_ps(fz, _mm256_sub_ps(a3, a1)));
        const __m256 s1 = _mm256_add_ps(b0, _mm256_mul_ps(fz, _mm256_sub_ps(b2, b0)));
        const __m256 w1 = _mm256_add_ps(b1, _mm256_mul_ps(fz, _mm256_sub_ps(b3, b1)));
        const __m256 weight = _mm256_add_ps(w0, _mm256_mul_ps(fx, _mm256_sub_ps(w1, w0)));
        const __m256 base = _mm256_div_ps(_mm256_add_ps(s0, _mm256_mul_ps(fx, _mm256_sub_ps(s1, s0))), weight);
        _mm256_store_ps(w.base + i, _mm256_blendv_ps(_mm256_load_ps(w.l + i), base, _mm256_cmp_ps(weight, zero, _CMP_GT_OQ)));
    }
    sliceSpan(blended, first, x, i, count, g, w);  // the last pixels one by one
}

void logsOfSpanPlain(const float* in, int count, float stackMax, SpanWork& w) { logsOfSpan(in, count, stackMax, w); }
__attribute__((target("avx2"))) void logsOfSpanAvx2(const float* in, int count, float stackMax, SpanWork& w) {
    logsOfSpan(in, count, stackMax, w);
}
void finishSpanPlain(const float* in, int count, float anchor, float keep, float detail, float inverseGamma,
                     float saturation, float lowering, float* out, SpanWork& w) {
    finishSpan(in, count, anchor, keep, detail, inverseGamma, saturation, lowering, out, w);
}
__attribute__((target("avx2"))) void finishSpanAvx2(const float* in, int count, float anchor, float keep,
                                                    float detail, float inverseGamma, float saturation,
                                                    float lowering, float* out, SpanWork& w) {
    finishSpan(in, count, anchor, keep, detail, inverseGamma, saturation, lowering, out, w);
}

bool useAvx2() {
    __builtin_cpu_init();
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 && detail::toneSimdLevel() >= 2;
}

Geometry geometryOf(const LocalContrastModel& model, float inverseCell) {
    return Geometry{inverseCell, 1.0f / kLocalRangeSigma, model.gridWidth(), model.gridHeight(), model.gridLevels()};
}

}  // namespace


namespace detail {
float localLog(float x) { return fastLog(x); }
float localExp(float x) { return fastExp(x); }
}  // namespace detail

LocalContrastParams localContrastParams(const ParameterValues& values) {
    const ParameterList d = kLocalContrastParameters;
    LocalContrastParams params;
    params.enabled = true;
    params.compressionPosition = positionOf(d, values, "compression");
    params.detailPosition = positionOf(d, values, "detail");
    params.radiusPosition = positionOf(d, values, "radius");
    return params;
}

ParameterValues localContrastValues(const LocalContrastParams& params) {
    return {{"compression", params.compressionPosition},
            {"detail", params.detailPosition},
            {"radius", params.radiusPosition}};
}

LocalContrastParams clampedLocalContrast(const LocalContrastParams& params) {
    LocalContrastParams p = params;
    p.compressionPosition = std::clamp(p.compressionPosition, kLocalCompressionRange.minimum, kLocalCompressionRange.maximum);
    p.detailPosition = std::clamp(p.detailPosition, kLocalDetailRange.minimum, kLocalDetailRange.maximum);
    p.radiusPosition = std::clamp(p.radiusPosition, kLocalRadiusRange.minimum, kLocalRadiusRange.maximum);
    return p;
}

bool LocalContrastModel::builtFor(const FloatImage& stack, float stackMax, int radiusPosition) const {
    return stack.width() == imageWidth_ && stack.height() == imageHeight_ && stackMax == stackMax_ &&
           std::clamp(radiusPosition, kLocalRadiusRange.minimum, kLocalRadiusRange.maximum) == radiusPosition_;
}

float LocalContrastModel::logBrightness(const float* pixel) const { return pixelLog(pixel, stackMax_); }

float LocalContrastModel::base(int x, int y, float l) const {
    const Geometry g = geometryOf(*this, inverseCell_);
    return slice(grid_.data(), g, static_cast<float>(x) * inverseCell_, static_cast<float>(y) * inverseCell_, l);
}

std::shared_ptr<const LocalContrastModel> buildLocalContrastModel(const FloatImage& stack, float stackMax,
                                                                  int radiusPosition, ProgressSink& progress) {
    if (stack.empty()) throw std::invalid_argument("buildLocalContrastModel: no stack");
    auto model = std::make_shared<LocalContrastModel>();
    LocalContrastModel& m = *model;
    m.imageWidth_ = stack.width();
    m.imageHeight_ = stack.height();
    m.stackMax_ = stackMax;
    m.radiusPosition_ = std::clamp(radiusPosition, kLocalRadiusRange.minimum, kLocalRadiusRange.maximum);
    const double diagonal = std::hypot(static_cast<double>(m.imageWidth_), static_cast<double>(m.imageHeight_));
    m.cellSize_ = static_cast<float>(std::max(1.0, diagonal * m.radiusPosition_ / 1000.0));
    m.inverseCell_ = 1.0f / m.cellSize_;
    // Splat cells reach round((size - 1) / cell), the slice's corners floor(...) + 1.
    m.gridWidth_ = static_cast<int>(static_cast<float>(m.imageWidth_ - 1) * m.inverseCell_) + 2;
    m.gridHeight_ = static_cast<int>(static_cast<float>(m.imageHeight_ - 1) * m.inverseCell_) + 2;
    m.gridLevels_ = kMaxLevels;
    const Geometry g = geometryOf(m, m.inverseCell_);
    const std::size_t levelStride = 2, columnStride = static_cast<std::size_t>(g.levels) * 2;
    const std::size_t rowStride = static_cast<std::size_t>(g.width) * columnStride;
    m.grid_.assign(rowStride * static_cast<std::size_t>(g.height), 0.0f);

    // Splat: each pixel of a lattice adds (l, 1) to its nearest cell. Large cells take every
    // step-th pixel in both directions (at least 64 to a cell); a pixel off the lattice whose level
    // none of its neighbours shares is its own base (see slice). Every grid row gathers its own
    // pixel rows in order, so the sums do not depend on how the rows are shared among threads.
    const int step = splatStep(m.cellSize_), offset = step / 2;
    std::vector<int> firstRow(static_cast<std::size_t>(g.height) + 1, m.imageHeight_);
    for (int y = m.imageHeight_ - 1; y >= 0; --y) {
        firstRow[static_cast<std::size_t>(static_cast<int>(static_cast<float>(y) * m.inverseCell_ + 0.5f))] = y;
    }
    for (int j = g.height - 1; j >= 0; --j) {
        firstRow[static_cast<std::size_t>(j)] = std::min(firstRow[static_cast<std::size_t>(j)], firstRow[static_cast<std::size_t>(j) + 1]);
    }
    std::vector<std::uint8_t> occupied(m.grid_.size() / 2, 0);
    const bool avx2 = useAvx2();
    tbb::parallel_for(tbb::blocked_range<int>(0, g.height, 1), [&](const tbb::blocked_range<int>& r) {
        std::vector<double> sums(rowStride, 0.0);
        SpanWork w;
        alignas(32) float picked[kSpan * 3];
        for (int j = r.begin(); j != r.end(); ++j) {
            std::fill(sums.begin(), sums.end(), 0.0);
            const int y0 = firstRow[static_cast<std::size_t>(j)], y1 = firstRow[static_cast<std::size_t>(j) + 1];
            for (int y = y0; y < y1; ++y) {
                if ((y - offset) % step != 0) continue;
                const float* row = stack.row(y);
                for (int x0 = offset; x0 < m.imageWidth_; x0 += kSpan * step) {
                    const int count = std::min(kSpan, (m.imageWidth_ - x0 + step - 1) / step);
                    const float* pixels = row + static_cast<std::size_t>(x0) * 3;
                    if (step > 1) {
                        for (int i = 0; i < count; ++i) std::copy_n(pixels + static_cast<std::size_t>(i) * step * 3, 3, picked + 3 * i);
                        pixels = picked;
                    }
                    (avx2 ? logsOfSpanAvx2 : logsOfSpanPlain)(pixels, count, stackMax, w);
                    for (int i = 0; i < count; ++i) {
                        const int ix = static_cast<int>(static_cast<float>(x0 + i * step) * g.inverseCell + 0.5f);
                        const int iz = static_cast<int>(g.level(w.l[i]) + 0.5f);
                        double* cell = sums.data() + static_cast<std::size_t>(ix) * columnStride + static_cast<std::size_t>(iz) * levelStride;
                        cell[0] += w.l[i];
                        cell[1] += 1.0;
                    }
                }
            }
            float* out = m.grid_.data() + static_cast<std::size_t>(j) * rowStride;
            std::uint8_t* used = occupied.data() + static_cast<std::size_t>(j) * rowStride / 2;
            for (std::size_t i = 0; i < rowStride; ++i) out[i] = static_cast<float>(sums[i]);
            for (std::size_t i = 0; i < rowStride / 2; ++i) used[i] = sums[2 * i + 1] > 0.0 ? 1 : 0;
            progress.advance(y1 - y0);
        }
    });

    // Blur: 1 4 6 4 1 along levels, columns and rows (a Gaussian of one cell).
    blurAxis(m.grid_, g.width * g.height, g.levels, levelStride, [&](int j) { return static_cast<std::size_t>(j) * columnStride; });
    blurAxis(m.grid_, g.height * g.levels, g.width, columnStride, [&](int j) {
        return static_cast<std::size_t>(j / g.levels) * rowStride + static_cast<std::size_t>(j % g.levels) * levelStride;
    });
    blurAxis(m.grid_, g.width * g.levels, g.height, rowStride, [&](int j) { return static_cast<std::size_t>(j) * levelStride; });

    // The base's brightest level: the largest blurred mean among the cells pixels fell into.
    float brightest = kLogLow;
    for (std::size_t i = 0; i < occupied.size(); ++i) {
        if (occupied[i]) brightest = std::max(brightest, m.grid_[2 * i] / m.grid_[2 * i + 1]);
    }
    m.brightestBase_ = brightest;

    // A fixed lattice of about 65536 pixels, their base and detail.
    const int gap = std::max(1, static_cast<int>(std::sqrt(static_cast<double>(m.imageWidth_) * m.imageHeight_ / kSampleTarget)));
    const int start = gap / 2;
    const int across = (m.imageWidth_ - start + gap - 1) / gap, down = (m.imageHeight_ - start + gap - 1) / gap;
    m.samples_.assign(static_cast<std::size_t>(across) * down * 2, 0.0f);
    parallelRows(0, down, [&](int j) {
        const int y = start + j * gap;
        for (int i = 0; i < across; ++i) {
            const int x = start + i * gap;
            const float l = m.logBrightness(stack.row(y) + static_cast<std::size_t>(x) * 3);
            const float b = m.base(x, y, l);
            m.samples_[(static_cast<std::size_t>(j) * across + i) * 2] = b;
            m.samples_[(static_cast<std::size_t>(j) * across + i) * 2 + 1] = l - b;
        }
    });
    return model;
}

LocalContrastMapping::LocalContrastMapping(std::shared_ptr<const LocalContrastModel> model,
                                           const LocalContrastParams& params, int gammaPosition,
                                           int saturationPosition)
    : model_(std::move(model)) {
    if (!model_) throw std::invalid_argument("LocalContrastMapping: no model");
    const LocalContrastParams p = clampedLocalContrast(params);
    anchor_ = model_->brightestBase();
    compression_ = static_cast<float>(p.compressionPosition * 0.009);
    keep_ = 1.0f - compression_;
    detail_ = static_cast<float>(p.detailPosition * 0.01);
    inverseGamma_ = static_cast<float>(gammaPosition * 0.01);
    saturation_ = static_cast<float>(saturationPosition * 0.01);

    // How far the operator lifts its brightest pixels beyond where they were: the level that 1 % of
    // the sampled pixels exceed, after and before, no lower than white. Only that excess is taken
    // off (the picture lowered), so white stays where the render has it unless boosted texture would
    // pile up there; a few specks, or the rims of strong edges, may still clip.
    const std::vector<float>& s = model_->samples_;
    const std::size_t n = s.size() / 2;
    if (n > 0) {
        std::vector<float> before(n), after(n);
        for (std::size_t i = 0; i < n; ++i) {
            const float b = s[2 * i];
            const float base = anchor_ + keep_ * (b - anchor_);
            before[i] = b + s[2 * i + 1];
            after[i] = base + scaledDetail(s[2 * i + 1], detailGain(base), keep_);
        }
        const std::size_t rank = n - 1 - static_cast<std::size_t>(static_cast<double>(n) * kClippedShare);
        std::nth_element(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(rank), before.end());
        std::nth_element(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(rank), after.end());
        lowering_ = std::max(0.0f, after[rank] - std::max(0.0f, before[rank]));
    }
}

float LocalContrastMapping::detailGain(float baseAfter) const {
    if (saturation_ == 0.0f) return detail_ * heldGain(inverseGamma_);
    return detail_ * heldGain(inverseGamma_ * (fastExp(baseAfter) * saturation_ + 1.0f));
}

void LocalContrastMapping::mapPixels(const float* in, int x, int y, int count, float* out) const {
    const LocalContrastModel& m = *model_;
    const Geometry g = geometryOf(m, m.inverseCell_);
    const float gy = static_cast<float>(y) * g.inverseCell;
    const int iy = static_cast<int>(gy);
    const float fy = gy - static_cast<float>(iy);
    const std::size_t column = static_cast<std::size_t>(g.levels) * 2;
    const float* upperRow = m.grid_.data() + static_cast<std::size_t>(iy) * g.width * column;
    const float* lowerRow = upperRow + static_cast<std::size_t>(g.width) * column;
    // With cells of many pixels, the few grid columns a span touches are blended between the two
    // grid rows once for all their levels; the pixels then read the blend. Same numbers as slice().
    const bool blendColumns = m.cellSize_ >= static_cast<float>(kBlendedCell);
    const bool avx2 = useAvx2();
    SpanWork w;
    alignas(32) float blended[kBlendedColumns * kMaxLevels * 2];
    for (int done = 0; done < count; done += kSpan) {
        const int span = std::min(kSpan, count - done);
        const float* pixels = in + static_cast<std::size_t>(done) * 3;
        (avx2 ? logsOfSpanAvx2 : logsOfSpanPlain)(pixels, span, m.stackMax_, w);
        if (blendColumns) {
            const int first = static_cast<int>(static_cast<float>(x + done) * g.inverseCell);
            const int last = static_cast<int>(static_cast<float>(x + done + span - 1) * g.inverseCell) + 1;
            const std::size_t offset = static_cast<std::size_t>(first) * column;
            const std::size_t samples = static_cast<std::size_t>(last - first + 1) * column;
            for (std::size_t k = 0; k < samples; ++k) {
                blended[k] = upperRow[offset + k] + fy * (lowerRow[offset + k] - upperRow[offset + k]);
            }
            (avx2 ? sliceSpanAvx2 : sliceSpanPlain)(blended, first, x + done, span, g, w);
        } else {
            for (int i = 0; i < span; ++i) {
                w.base[i] = slice(m.grid_.data(), g, static_cast<float>(x + done + i) * g.inverseCell, gy, w.l[i]);
            }
        }
        (avx2 ? finishSpanAvx2 : finishSpanPlain)(pixels, span, anchor_, keep_, detail_, inverseGamma_, saturation_,
                                                  lowering_, out + static_cast<std::size_t>(done) * 3, w);
    }
}

void localContrastRegion(const FloatImage& stack, const LocalContrastMapping& mapping, const Region& region,
                         FloatImage& out, ProgressSink& progress) {
    if (!stack.sameSize(out)) throw std::invalid_argument("localContrastRegion: stack and output differ in size");
    if (stack.width() != mapping.model().imageWidth() || stack.height() != mapping.model().imageHeight()) {
        throw std::invalid_argument("localContrastRegion: the model was built for another picture size");
    }
    const int x0 = std::max(region.x, 0), y0 = std::max(region.y, 0);
    const int x1 = std::min(region.right(), stack.width()), y1 = std::min(region.bottom(), stack.height());
    if (x1 <= x0 || y1 <= y0) return;
    parallelRows(y0, y1, [&](int y) {
        mapping.mapPixels(stack.row(y) + static_cast<std::size_t>(x0) * 3, x0, y, x1 - x0,
                          out.row(y) + static_cast<std::size_t>(x0) * 3);
    }, &progress);
}

}  // namespace sv
