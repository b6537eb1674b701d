#include "filters/bilateral_filter.h"

#include <algorithm>
#include <cstring>
#include <numbers>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "filters/bilateral_passes.h"
#include "filters/vector_float.h"
#include "filters/weighted_sums.h"

namespace sv {

using vec::vfloat;

namespace {

// Both passes work on rows as they are stored (R, G, B interleaved): a tap pairs a sample only
// with the same channel of another pixel, so every step is element-wise and needs no
// deinterleaving. A neighbour o pixels along a row lies 3 x o samples away.

constexpr int kSegment = 768;  // samples of a row whose range weights are kept at once
constexpr int kPad = 3 * 16 + 16;  // zero samples before and after a padded row

__attribute__((always_inline)) inline vfloat loadSome(const float* p, int n) {
    if (n >= 8) return vec::load(p);
    float t[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < n; ++i) t[i] = p[i];
    return vec::load(t);
}

__attribute__((always_inline)) inline void storeSome(float* p, const vfloat& v, int n) {
    if (n >= 8) {
        vec::store(p, v);
        return;
    }
    float t[8];
    vec::store(t, v);
    for (int i = 0; i < n; ++i) p[i] = t[i];
}

// The row pass over one padded row v[0 .. n) (n = 3 x pixels; readable and zero from -kPad to
// n + kPad). out gets n values plus garbage up to a whole vector. Each pair of pixels d apart
// shares one range weight, E[(d - 1) * span + ...], kept for one segment at a time.
SV_VECTOR_CLONES
void rowPass(const float* v, int n, int R, const float* sw, float rangeScale, float* E, float* out) {
    const int span = kSegment + 3 * R + 8;
    for (int a = 0; a < n; a += kSegment) {
        const int b = std::min(n, a + kSegment);
        const int bEnd = a + roundUp8(b - a);
        const int first = a - 3 * R;
        for (int d = 1; d <= R; ++d) {
            float* Ed = E + (d - 1) * span - first;
            for (int k = first; k < bEnd; k += 8) {
                const vfloat diff = vec::load(v + k + 3 * d) - vec::load(v + k);
                vec::store(Ed + k, vec::exp2Eighths((diff * diff) * vec::splat(rangeScale)));
            }
            // Pairs that leave the row carry no weight.
            for (int k = first; k < 0; ++k) Ed[k] = 0.0f;
            for (int k = std::max(first, n - 3 * d); k < bEnd; ++k) Ed[k] = 0.0f;
        }
        for (int k = a; k < bEnd; k += 8) {
            vfloat total = vec::splat(0.0f), sum = total;
            for (int o = R; o >= 1; --o) {
                const vfloat w = vec::splat(sw[R - o]) * vec::load(E + (o - 1) * span - first + k);
                total += w;
                sum += w * vec::load(v + k + 3 * o);
            }
            {
                const vfloat w = vec::splat(sw[R]);
                total += w;
                sum += w * vec::load(v + k);
            }
            for (int o = -1; o >= -R; --o) {
                const vfloat w = vec::splat(sw[R - o]) * vec::load(E + (-o - 1) * span - first + k + 3 * o);
                total += w;
                sum += w * vec::load(v + k + 3 * o);
            }
            vec::store(out + k, sum / total);
        }
    }
}

// Range weights between row y and rows y + d (d = 1..R) of a strip: E[(d - 1) * width + s];
// 0 where row y + d lies beyond the region. rows(k) gives the strip's samples of row k.
template <typename Rows>
__attribute__((always_inline)) inline void columnWeights(Rows rows, int h, int y, int R, int width, float rangeScale,
                                                         float* E) {
    const float* vy = rows(y);
    for (int d = 1; d <= R; ++d) {
        float* Ed = E + (d - 1) * width;
        if (y + d >= h) {
            std::fill(Ed, Ed + width, 0.0f);
            continue;
        }
        const float* vd = rows(y + d);
        for (int s = 0; s < width; s += 8) {
            const vfloat diff = loadSome(vd + s, width - s) - loadSome(vy + s, width - s);
            storeSome(Ed + s, vec::exp2Eighths((diff * diff) * vec::splat(rangeScale)), width - s);
        }
    }
}

struct StripJob {
    const FloatImage* P;
    FloatImage* C;
    int regionX, regionY;  // region origin
    int h;
    int R;
    const float* sw;
    float rangeScale;
    float op, rest;
};

// The column pass down one strip of samples [s0, s0 + width) of the region's rows, in place in
// C: the row pass's values of rows already finished are kept in a ring of R + 1 rows. Then the
// opacity mix with P. Whole is true when width is a multiple of 8.
template <bool Whole>
__attribute__((always_inline)) inline void columnStripBody(const StripJob& job, int s0, int width, float* weightRing,
                                                           float* rowRing, ProportionalProgress& gauge) {
    const int R = job.R, h = job.h;
    const std::size_t x0s = static_cast<std::size_t>(job.regionX) * 3 + s0;
    auto cRow = [&](int k) { return job.C->row(job.regionY + k) + x0s; };
    auto load = [](const float* p, int n) { return Whole ? vec::load(p) : loadSome(p, n); };
    const std::size_t slot = static_cast<std::size_t>(std::max(R, 1)) * width;
    const float* rows[2 * 16 + 1];
    const float* weights[2 * 16 + 1];
    float spatial[2 * 16 + 1];
    const vfloat vop = vec::splat(job.op);
    const vfloat vrest = vec::splat(job.rest);
    for (int y = 0; y < h; ++y) {
        // Rows lie far apart in memory: ask for the strip of the rows needed two steps ahead.
        if (y + R + 2 < h) {
            const float* ahead = cRow(y + R + 2);
            for (int s = 0; s < width; s += 16) __builtin_prefetch(ahead + s);
        }
        if (y + 2 < h) {
            const float* ahead = job.P->row(job.regionY + y + 2) + x0s;
            for (int s = 0; s < width; s += 16) __builtin_prefetch(ahead + s);
        }
        float* here = cRow(y);
        float* keep = rowRing + static_cast<std::size_t>(y % (R + 1)) * width;
        std::memcpy(keep, here, static_cast<std::size_t>(width) * sizeof(float));
        columnWeights(cRow, h, y, R, width, job.rangeScale, weightRing + (y % (R + 1)) * slot);
        const float* below = weightRing + (y % (R + 1)) * slot;
        // The taps in order (o = R .. 1, then the centre, then -1 .. -R), without those beyond
        // the region.
        int taps = 0;
        for (int o = R; o >= 1; --o) {
            if (y + o >= h) continue;
            rows[taps] = cRow(y + o);
            weights[taps] = below + (o - 1) * width;
            spatial[taps++] = job.sw[R - o];
        }
        const int centre = taps;
        rows[taps] = keep;
        weights[taps] = nullptr;
        spatial[taps++] = job.sw[R];
        for (int o = -1; o >= -R; --o) {
            if (y + o < 0) break;
            const int k = (y + o) % (R + 1);
            rows[taps] = rowRing + static_cast<std::size_t>(k) * width;
            weights[taps] = weightRing + k * slot + (-o - 1) * width;
            spatial[taps++] = job.sw[R - o];
        }
        const float* p = job.P->row(job.regionY + y) + x0s;
        for (int s = 0; s < width; s += 8) {
            const int n = width - s;
            vfloat total = vec::splat(0.0f), sum = total;
            for (int t = 0; t < taps; ++t) {
                const vfloat w = t == centre ? vec::splat(spatial[t])
                                             : vec::splat(spatial[t]) * load(weights[t] + s, n);
                total += w;
                sum += w * load(rows[t] + s, n);
            }
            const vfloat f = sum / total;
            const vfloat out = vop * f + vrest * load(p + s, n);
            if (Whole) {
                vec::store(here + s, out);
            } else {
                storeSome(here + s, out, n);
            }
        }
        if ((y & 63) == 63 || y == h - 1) gauge.done((y & 63) + 1);
    }
}

SV_VECTOR_CLONES
void columnStrip(const StripJob& job, int s0, int width, float* weightRing, float* rowRing,
                 ProportionalProgress& gauge) {
    if (width % 8 == 0) {
        columnStripBody<true>(job, s0, width, weightRing, rowRing, gauge);
    } else {
        columnStripBody<false>(job, s0, width, weightRing, rowRing, gauge);
    }
}

}  // namespace

BilateralParams bilateralParams(const ParameterValues& values) {
    const ParameterList d = kBilateralParameters;
    return BilateralParams{positionOf(d, values, "sigma"), positionOf(d, values, "threshold"),
                           positionOf(d, values, "opacity")};
}

namespace detail {

void bilateralTwoPass(const BilateralPlan& plan, ProgressSink& progress) {
    const FloatImage& P = *plan.P;
    FloatImage& N = *plan.N;
    FloatImage& C = *plan.C;
    const Region& r = plan.region;
    const int R = plan.radius;
    const float rangeScale = plan.rangeScale;
    const int w = r.width;
    const int h = r.height;
    const int n = 3 * w;
    const std::size_t x0s = static_cast<std::size_t>(r.x) * 3;

    // Pass 1 and 2: copy the region of P into N, and filter each row from it into C.
    struct RowScratch {
        std::vector<float> line, weights, out;
    };
    tbb::enumerable_thread_specific<RowScratch> rowScratch([&] {
        RowScratch s;
        s.line.assign(static_cast<std::size_t>(n + 2 * kPad + 8), 0.0f);
        s.weights.assign(static_cast<std::size_t>(std::max(R, 1)) * (kSegment + 3 * R + 8), 0.0f);
        s.out.assign(static_cast<std::size_t>(roundUp8(n) + 8), 0.0f);
        return s;
    });
    tbb::parallel_for(tbb::blocked_range<int>(0, h), [&](const tbb::blocked_range<int>& range) {
        RowScratch& s = rowScratch.local();
        for (int ry = range.begin(); ry != range.end(); ++ry) {
            const int y = r.y + ry;
            const float* src = P.row(y) + x0s;
            std::memcpy(N.row(y) + x0s, src, static_cast<std::size_t>(n) * sizeof(float));
            std::memcpy(s.line.data() + kPad, src, static_cast<std::size_t>(n) * sizeof(float));
            rowPass(s.line.data() + kPad, n, R, plan.swRow, rangeScale, s.weights.data(), s.out.data());
            std::memcpy(C.row(y) + x0s, s.out.data(), static_cast<std::size_t>(n) * sizeof(float));
        }
        progress.advance(2 * static_cast<std::int64_t>(range.end() - range.begin()));
    });

    // Pass 3: columns, down strips of samples so that the rows in reach stay in cache.
    constexpr int kStrip = 384;  // samples: 128 pixels
    const int strips = (n + kStrip - 1) / kStrip;
    ProportionalProgress gauge(progress, static_cast<std::int64_t>(h) * strips, h);
    const StripJob job{&P, &C, r.x, r.y, h, R, plan.swColumn, rangeScale, plan.op, plan.rest};
    struct ColumnScratch {
        std::vector<float> weightRing, rowRing;
    };
    tbb::enumerable_thread_specific<ColumnScratch> columnScratch([&] {
        ColumnScratch s;
        s.weightRing.assign(static_cast<std::size_t>(R + 1) * std::max(R, 1) * kStrip, 0.0f);
        s.rowRing.assign(static_cast<std::size_t>(R + 1) * kStrip, 0.0f);
        return s;
    });
    tbb::parallel_for(tbb::blocked_range<int>(0, strips, 1), [&](const tbb::blocked_range<int>& range) {
        ColumnScratch& s = columnScratch.local();
        for (int strip = range.begin(); strip != range.end(); ++strip) {
            const int s0 = strip * kStrip;
            columnStrip(job, s0, std::min(kStrip, n - s0), s.weightRing.data(), s.rowRing.data(), gauge);
        }
    });
}

}  // namespace detail

void bilateralFilter(const FilterBuffers& buffers, const Region& regionIn, const BilateralParams& params,
                     ProgressSink& progress) {
    Region r;
    if (!beginFilter(buffers, regionIn, 3, progress, r)) return;

    const float sigmaR = fractionFromPosition(params.thresholdPosition);
    const float e = 2.0f * sigmaR * sigmaR;
    const FilterKernel kernel = makeBilateralKernel(sigmaFromPosition(params.sigmaPosition));
    const int m = bilateralWindowStart(kernel);
    std::vector<float> swRow, swColumn;
    for (int t = m; t <= 32 - m; ++t) {
        swRow.push_back(kernel.weights[t][kKernelCentre]);
        swColumn.push_back(kernel.weights[kKernelCentre][t]);
    }
    detail::BilateralPlan plan;
    plan.P = &buffers.processed;
    plan.N = &buffers.working;
    plan.C = &buffers.output;
    plan.region = r;
    plan.radius = kKernelCentre - m;
    plan.swRow = swRow.data();
    plan.swColumn = swColumn.data();
    // exp(-diff^2 / e) is taken as 2^(diff^2 x (-8 / (e ln 2)) / 8): one multiplication, and a
    // power of two that needs no range reduction.
    plan.rangeScale = static_cast<float>(-8.0 / (static_cast<double>(e) * std::numbers::ln2));
    plan.op = fractionFromPosition(params.opacityPosition);
    plan.rest = 1.0f - plan.op;
    if (detail::bilateralSweepUsable()) {
        detail::bilateralSweep(plan, progress);
    } else {
        detail::bilateralTwoPass(plan, progress);
    }
}

}  // namespace sv
