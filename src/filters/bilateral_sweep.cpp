#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "filters/bilateral_passes.h"
#include "filters/filter_framework.h"
#include "filters/vector_float.h"
#include "filters/weighted_sums.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define SV_BILATERAL_SWEEP 1
#endif

namespace sv::detail {

#ifdef SV_BILATERAL_SWEEP

bool bilateralSweepUsable() { return __builtin_cpu_supports("avx2"); }

namespace {

#define SV_AVX2 __attribute__((target("avx2")))

// Samples are handled as stored (R, G, B interleaved): a neighbour o pixels along a row lies
// 3 x o samples away, and every step is element-wise. A strip is kStripPixels pixels of the
// region's rows; the row pass of a strip row also reads up to `radius` pixels either side.
constexpr int kStripPixels = 128;
constexpr int kMaxRadius = 16;
constexpr int kAhead = 4;  // rows read ahead of the row being filtered
constexpr int kPad = 64;   // zero samples around a strip row: more than 3 x kMaxRadius + 13

// vec::exp2Eighths step for step (the same IEEE operations, so the same bits) on K vectors at
// once, interleaved to keep the floating-point units busy. The nearest integer is taken by
// rounding (ties to even), which gives what adding and subtracting 1.5 x 2^23 gives.
template <int K>
SV_AVX2 inline void exp2Eighths(__m256* v) {
    using namespace vec::exp2eighths;
    const __m256 table = _mm256_loadu_ps(kTable);
    for (int i = 0; i < K; ++i) {
        const __m256 t = _mm256_max_ps(v[i], _mm256_set1_ps(kLowest));
        const __m256 kf = _mm256_round_ps(t, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        const __m256i k = _mm256_cvttps_epi32(kf);
        const __m256 f = _mm256_sub_ps(t, kf);
        __m256 p = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(kC3), f), _mm256_set1_ps(kC2));
        p = _mm256_add_ps(_mm256_mul_ps(p, f), _mm256_set1_ps(kC1));
        p = _mm256_add_ps(_mm256_mul_ps(p, f), _mm256_set1_ps(1.0f));
        const __m256 q = _mm256_mul_ps(_mm256_permutevar8x32_ps(table, k), p);
        v[i] = _mm256_castsi256_ps(
            _mm256_add_epi32(_mm256_castps_si256(q), _mm256_slli_epi32(_mm256_srai_epi32(k, 3), 23)));
    }
}

// Range weights 2^(diff^2 x rangeScale / 8) of `count` (a multiple of 8) pairs a[i], b[i],
// four vectors at a time.
SV_AVX2 inline void rangeWeights(const float* a, const float* b, int count, __m256 rangeScale, float* out) {
    int i = 0;
    for (; i + 32 <= count; i += 32) {
        __m256 v[4];
        for (int q = 0; q < 4; ++q) {
            const __m256 diff = _mm256_sub_ps(_mm256_loadu_ps(b + i + 8 * q), _mm256_loadu_ps(a + i + 8 * q));
            v[q] = _mm256_mul_ps(_mm256_mul_ps(diff, diff), rangeScale);
        }
        exp2Eighths<4>(v);
        for (int q = 0; q < 4; ++q) _mm256_storeu_ps(out + i + 8 * q, v[q]);
    }
    for (; i < count; i += 8) {
        const __m256 diff = _mm256_sub_ps(_mm256_loadu_ps(b + i), _mm256_loadu_ps(a + i));
        __m256 v[1] = {_mm256_mul_ps(_mm256_mul_ps(diff, diff), rangeScale)};
        exp2Eighths<1>(v);
        _mm256_storeu_ps(out + i, v[0]);
    }
}

struct Scratch {
    std::vector<float> line;         // one strip row with its halo, zeros around
    std::vector<float> pairs;        // row pass: range weights by distance
    std::vector<float> ring;         // row-pass results of the last 2R + 1 rows
    std::vector<float> columnPairs;  // column pass: range weights of the last R + 1 rows
};

// N and C are written once and not read again by the filter: stores that bypass the caches
// save reading each line before it is written, and keep the caches for the rows in reach.
inline bool isAligned32(const float* p) { return (reinterpret_cast<std::uintptr_t>(p) & 31) == 0; }

SV_AVX2 inline void copyPastCaches(float* to, const float* from, int n) {
    if (!isAligned32(to)) {
        std::memcpy(to, from, static_cast<std::size_t>(n) * sizeof(float));
        return;
    }
    int i = 0;
    for (; i + 8 <= n; i += 8) _mm256_stream_ps(to + i, _mm256_loadu_ps(from + i));
    for (; i < n; ++i) to[i] = from[i];
}

// The sums of the row pass for output sample k of a strip row: taps o = R .. 1, the centre,
// then -1 .. -R, each weighted by its spatial weight times the range weight of its pair,
// pairs[(|o| - 1) x span + (left sample of the pair) - first].
template <int R>
SV_AVX2 inline void rowSumsAt(const float* line, const float* pairs, int span, int first, int k, const __m256* sw,
                              __m256& total, __m256& sum) {
    const float* E = pairs + (k - first);
    total = _mm256_setzero_ps();
    sum = _mm256_setzero_ps();
#pragma GCC unroll 16
    for (int o = R; o >= 1; --o) {
        const __m256 w = _mm256_mul_ps(sw[R - o], _mm256_loadu_ps(E + (o - 1) * span));
        total = _mm256_add_ps(total, w);
        sum = _mm256_add_ps(sum, _mm256_mul_ps(w, _mm256_loadu_ps(line + k + 3 * o)));
    }
    total = _mm256_add_ps(total, sw[R]);
    sum = _mm256_add_ps(sum, _mm256_mul_ps(sw[R], _mm256_loadu_ps(line + k)));
#pragma GCC unroll 16
    for (int o = 1; o <= R; ++o) {
        const __m256 w = _mm256_mul_ps(sw[R + o], _mm256_loadu_ps(E + (o - 1) * span - 3 * o));
        total = _mm256_add_ps(total, w);
        sum = _mm256_add_ps(sum, _mm256_mul_ps(w, _mm256_loadu_ps(line + k - 3 * o)));
    }
}

// Outputs [a, a + nv) of a strip row into out[0, nv), two vectors at a time so that two chains
// of additions run side by side.
template <int R>
SV_AVX2 void rowSums(const float* line, const float* pairs, int span, int a, int nv, const __m256* sw, float* out) {
    const int first = a - 3 * R;
    int i = 0;
    for (; i + 16 <= nv; i += 16) {
        __m256 t0, s0, t1, s1;
        rowSumsAt<R>(line, pairs, span, first, a + i, sw, t0, s0);
        rowSumsAt<R>(line, pairs, span, first, a + i + 8, sw, t1, s1);
        _mm256_storeu_ps(out + i, _mm256_div_ps(s0, t0));
        _mm256_storeu_ps(out + i + 8, _mm256_div_ps(s1, t1));
    }
    for (; i < nv; i += 8) {
        __m256 t0, s0;
        rowSumsAt<R>(line, pairs, span, first, a + i, sw, t0, s0);
        _mm256_storeu_ps(out + i, _mm256_div_ps(s0, t0));
    }
}

// Where the output of the column pass goes: n samples of C, the opacity mix with P.
struct ColumnOut {
    const float* p;
    float* c;
    bool stream;  // c is 32-byte aligned: written past the caches, as nothing here reads it again
    int n, nv;
    __m256 op, rest;
    __m256i tailMask;  // the lanes of a last, partial vector
};

SV_AVX2 inline void storeMixed(const ColumnOut& out, int i, __m256 f) {
    if (i + 8 <= out.n) {
        const __m256 base = _mm256_loadu_ps(out.p + i);
        const __m256 mixed = _mm256_add_ps(_mm256_mul_ps(out.op, f), _mm256_mul_ps(out.rest, base));
        if (out.stream) {
            _mm256_stream_ps(out.c + i, mixed);
        } else {
            _mm256_storeu_ps(out.c + i, mixed);
        }
    } else {
        const __m256 base = _mm256_maskload_ps(out.p + i, out.tailMask);
        const __m256 mixed = _mm256_add_ps(_mm256_mul_ps(out.op, f), _mm256_mul_ps(out.rest, base));
        _mm256_maskstore_ps(out.c + i, out.tailMask, mixed);
    }
}

// The column pass of one output row with all 2R + 1 taps inside the region, in the order
// o = R .. 1, centre, -1 .. -R: rows[t] and weights[t] (none for the centre, rows[R]).
template <int R>
SV_AVX2 inline __m256 columnSumsAt(const float* const* rows, const float* const* weights, const __m256* sw, int i) {
    __m256 total = _mm256_setzero_ps();
    __m256 sum = _mm256_setzero_ps();
#pragma GCC unroll 33
    for (int t = 0; t < 2 * R + 1; ++t) {
        const __m256 w = t == R ? sw[t] : _mm256_mul_ps(sw[t], _mm256_loadu_ps(weights[t] + i));
        total = _mm256_add_ps(total, w);
        sum = _mm256_add_ps(sum, _mm256_mul_ps(w, _mm256_loadu_ps(rows[t] + i)));
    }
    return _mm256_div_ps(sum, total);
}

template <int R>
SV_AVX2 void columnSums(const float* const* rows, const float* const* weights, const __m256* sw,
                        const ColumnOut& out) {
    int i = 0;
    for (; i + 16 <= out.nv; i += 16) {
        const __m256 f0 = columnSumsAt<R>(rows, weights, sw, i);
        const __m256 f1 = columnSumsAt<R>(rows, weights, sw, i + 8);
        storeMixed(out, i, f0);
        storeMixed(out, i + 8, f1);
    }
    for (; i < out.nv; i += 8) storeMixed(out, i, columnSumsAt<R>(rows, weights, sw, i));
}

// The same for rows near the top or bottom of the region, where some taps are left out.
SV_AVX2 void columnSumsAnyTaps(const float* const* rows, const float* const* weights, const __m256* const* spatial,
                               int taps, int centre, const ColumnOut& out) {
    for (int i = 0; i < out.nv; i += 8) {
        __m256 total = _mm256_setzero_ps();
        __m256 sum = _mm256_setzero_ps();
        for (int t = 0; t < taps; ++t) {
            const __m256 w = t == centre ? *spatial[t] : _mm256_mul_ps(*spatial[t], _mm256_loadu_ps(weights[t] + i));
            total = _mm256_add_ps(total, w);
            sum = _mm256_add_ps(sum, _mm256_mul_ps(w, _mm256_loadu_ps(rows[t] + i)));
        }
        storeMixed(out, i, _mm256_div_ps(sum, total));
    }
}

// The sums with the tap loops unrolled for the radius in use.
struct SumsOfRadius {
    void (*row)(const float*, const float*, int, int, int, const __m256*, float*);
    void (*column)(const float* const*, const float* const*, const __m256*, const ColumnOut&);
};
template <int R>
SumsOfRadius sumsOf() {
    return SumsOfRadius{rowSums<R>, columnSums<R>};
}
template <int... Rs>
SumsOfRadius sumsOfRadius(int radius, std::integer_sequence<int, Rs...>) {
    SumsOfRadius found{nullptr, nullptr};
    ((radius == Rs + 1 ? (found = sumsOf<Rs + 1>(), 0) : 0), ...);
    return found;
}

// Pixels [p0, p1) of the region, top to bottom: row j is filtered along the row into the ring,
// then output row y = j - R is filtered down the column from the ring, mixed with P and stored.
SV_AVX2 void sweepStrip(const BilateralPlan& plan, int p0, int p1, Scratch& scratch, ProportionalProgress& gauge) {
    const Region& r = plan.region;
    const int R = plan.radius;
    const int h = r.height;
    const int lp = std::max(0, p0 - R);
    const int hp = std::min(r.width, p1 + R);
    const int nLine = 3 * (hp - lp);
    const int a = 3 * (p0 - lp);
    const int n = 3 * (p1 - p0);
    const int nv = roundUp8(n);
    const int span = roundUp8(nv + 3 * R);  // pair positions per distance in the row pass
    const int first = a - 3 * R;
    const int ringRows = 2 * R + 1;
    const std::size_t lineStart = 3 * (static_cast<std::size_t>(r.x) + lp);
    const std::size_t outStart = 3 * (static_cast<std::size_t>(r.x) + p0);

    std::fill(scratch.line.begin(), scratch.line.end(), 0.0f);
    float* line = scratch.line.data() + kPad;
    float* pairs = scratch.pairs.data();
    float* ring = scratch.ring.data();
    float* columnPairs = scratch.columnPairs.data();
    const std::size_t pairSlot = static_cast<std::size_t>(R) * nv;
    auto ringRow = [&](int y) { return ring + static_cast<std::size_t>(y % ringRows) * nv; };
    auto pairRow = [&](int y, int d) { return columnPairs + (y % (R + 1)) * pairSlot + (d - 1) * nv; };

    __m256 swRow[2 * kMaxRadius + 1], swColumn[2 * kMaxRadius + 1];
    for (int t = 0; t <= 2 * R; ++t) {
        swRow[t] = _mm256_set1_ps(plan.swRow[t]);
        swColumn[t] = _mm256_set1_ps(plan.swColumn[t]);
    }
    const __m256 rangeScale = _mm256_set1_ps(plan.rangeScale);
    ColumnOut out;
    out.n = n;
    out.nv = nv;
    out.op = _mm256_set1_ps(plan.op);
    out.rest = _mm256_set1_ps(plan.rest);
    out.tailMask = _mm256_cmpgt_epi32(_mm256_set1_epi32(n % 8), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const SumsOfRadius sums = sumsOfRadius(R, std::make_integer_sequence<int, kMaxRadius>());

    const float* rows[2 * kMaxRadius + 1];
    const float* weights[2 * kMaxRadius + 1];
    const __m256* spatial[2 * kMaxRadius + 1];
    for (int j = 0; j < h + R; ++j) {
        if (j < h) {
            const float* src = plan.P->row(r.y + j) + lineStart;
            if (j + kAhead < h) {
                // The strip row a few steps ahead, in cache before it is needed.
                const float* ahead = plan.P->row(r.y + j + kAhead) + lineStart;
                for (int i = 0; i < nLine; i += 16) __builtin_prefetch(ahead + i, 0, 3);
            }
            std::memcpy(line, src, static_cast<std::size_t>(nLine) * sizeof(float));
            copyPastCaches(plan.N->row(r.y + j) + outStart, src + a, n);
            for (int d = 1; d <= R; ++d) {
                float* Ed = pairs + (d - 1) * span;
                rangeWeights(line + first, line + first + 3 * d, span, rangeScale, Ed);
                // Pairs that leave the region carry no weight.
                for (int k = first; k < 0; ++k) Ed[k - first] = 0.0f;
                for (int k = std::max(first, nLine - 3 * d); k < first + span; ++k) Ed[k - first] = 0.0f;
            }
            sums.row(line, pairs, span, a, nv, swRow, ringRow(j));
        }
        const int y = j - R;
        if (y < 0) continue;

        const float* here = ringRow(y);
        for (int d = 1; d <= R && y + d < h; ++d) rangeWeights(here, ringRow(y + d), nv, rangeScale, pairRow(y, d));
        // The taps in order (o = R .. 1, the centre, -1 .. -R), without those beyond the region.
        int taps = 0;
        for (int o = R; o >= 1; --o) {
            if (y + o >= h) continue;
            rows[taps] = ringRow(y + o);
            weights[taps] = pairRow(y, o);
            spatial[taps++] = &swColumn[R - o];
        }
        const int centre = taps;
        rows[taps] = here;
        weights[taps] = nullptr;
        spatial[taps++] = &swColumn[R];
        for (int o = 1; o <= R && y - o >= 0; ++o) {
            rows[taps] = ringRow(y - o);
            weights[taps] = pairRow(y - o, o);
            spatial[taps++] = &swColumn[R + o];
        }
        out.p = plan.P->row(r.y + y) + outStart;
        out.c = plan.C->row(r.y + y) + outStart;
        out.stream = isAligned32(out.c);
        if (taps == 2 * R + 1) {
            sums.column(rows, weights, swColumn, out);
        } else {
            columnSumsAnyTaps(rows, weights, spatial, taps, centre, out);
        }
        if ((y & 63) == 63 || y == h - 1) gauge.done((y & 63) + 1);
    }
    _mm_sfence();  // the streamed stores are seen before anything that follows
}

}  // namespace

void bilateralSweep(const BilateralPlan& plan, ProgressSink& progress) {
    const Region& r = plan.region;
    const int R = plan.radius;
    if (R < 1 || R > kMaxRadius) {
        bilateralTwoPass(plan, progress);
        return;
    }
    const int strips = (r.width + kStripPixels - 1) / kStripPixels;
    ProportionalProgress gauge(progress, static_cast<std::int64_t>(r.height) * strips, 3ll * r.height);
    const std::size_t nvMax = static_cast<std::size_t>(roundUp8(3 * kStripPixels));
    tbb::enumerable_thread_specific<Scratch> scratch([&] {
        Scratch s;
        s.line.assign(2 * kPad + 3 * (kStripPixels + 2 * R) + 8, 0.0f);
        s.pairs.assign(static_cast<std::size_t>(R) * roundUp8(static_cast<int>(nvMax) + 3 * R), 0.0f);
        s.ring.assign(static_cast<std::size_t>(2 * R + 1) * nvMax, 0.0f);
        s.columnPairs.assign(static_cast<std::size_t>(R + 1) * R * nvMax, 0.0f);
        return s;
    });
    tbb::parallel_for(tbb::blocked_range<int>(0, strips, 1), [&](const tbb::blocked_range<int>& range) {
        Scratch& s = scratch.local();
        for (int strip = range.begin(); strip != range.end(); ++strip) {
            const int p0 = strip * kStripPixels;
            sweepStrip(plan, p0, std::min(r.width, p0 + kStripPixels), s, gauge);
        }
    });
}

#else

bool bilateralSweepUsable() { return false; }
void bilateralSweep(const BilateralPlan& plan, ProgressSink& progress) { bilateralTwoPass(plan, progress); }

#endif

}  // namespace sv::detail
