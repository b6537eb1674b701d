#include "filters/bilateral_filter.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "filters/vector_float.h"
#include "filters/weighted_sums.h"

namespace sv {

using vec::vfloat;

namespace {

constexpr int kSegment = 256;  // pixels of a line whose range weights are kept at once

struct LineScratch {
    std::vector<float> line;     // one channel of a row with zero padding
    std::vector<float> weights;  // range weights of the current segment, one array per distance
    std::vector<float> out;
};

// One channel of one row. v[-pad .. n + pad) is readable, zero outside [0, n). out gets n values
// (plus garbage up to a whole vector). sw holds the 2R + 1 spatial weights in tap order.
SV_VECTOR_CLONES
void bilateralLine(const float* v, int n, int R, const float* sw, float e, float* E, float* out) {
    const int span = kSegment + R + 8;  // entries per distance array
    for (int a = 0; a < n; a += kSegment) {
        const int b = std::min(n, a + kSegment);
        const int bEnd = a + roundUp8(b - a);
        // E[(d - 1) * span + (k - (a - R))] = range weight between pixels k and k + d.
        for (int d = 1; d <= R; ++d) {
            float* Ed = E + (d - 1) * span;
            for (int k = a - R; k < bEnd; k += 8) {
                const vfloat diff = vec::load(v + k + d) - vec::load(v + k);
                vec::store(Ed + (k - (a - R)), vec::exp(-(diff * diff) / vec::splat(e)));
            }
            // Pairs that leave the line carry no weight.
            for (int k = a - R; k < 0; ++k) Ed[k - (a - R)] = 0.0f;
            for (int k = std::max(a - R, n - d); k < bEnd; ++k) Ed[k - (a - R)] = 0.0f;
        }
        for (int k = a; k < bEnd; k += 8) {
            vfloat total = vec::splat(0.0f), sum = total;
            const int base = k - (a - R);
            for (int o = R; o >= 1; --o) {
                const vfloat w = vec::splat(sw[R - o]) * vec::load(E + (o - 1) * span + base);
                total += w;
                sum += w * vec::load(v + k + o);
            }
            {
                const vfloat w = vec::splat(sw[R]);
                total += w;
                sum += w * vec::load(v + k);
            }
            for (int o = -1; o >= -R; --o) {
                const vfloat w = vec::splat(sw[R - o]) * vec::load(E + (-o - 1) * span + base + o);
                total += w;
                sum += w * vec::load(v + k + o);
            }
            vec::store(out + k, sum / total);
        }
    }
}

// The column pass for eight neighbouring columns of one channel plane: rows 0..h-1 at
// plane + row * stride + x. Range weights of the last R + 1 rows are kept in a ring.
// Results go to C with the opacity mix.
SV_VECTOR_CLONES
void bilateralColumns(const float* plane, std::size_t stride, int h, int R, const float* sw, float e,
                      float* ring, float* column) {
    for (int k = 0; k < h; ++k) {
        const vfloat vk = vec::load(plane + k * stride);
        float* slot = ring + (k % (R + 1)) * R * 8;
        for (int d = 1; d <= R; ++d) {
            if (k + d < h) {
                const vfloat diff = vec::load(plane + (k + d) * stride) - vk;
                vec::store(slot + (d - 1) * 8, vec::exp(-(diff * diff) / vec::splat(e)));
            }
        }
        vfloat total = vec::splat(0.0f), sum = total;
        for (int o = R; o >= 1; --o) {
            if (k + o >= h) continue;
            const vfloat w = vec::splat(sw[R - o]) * vec::load(slot + (o - 1) * 8);
            total += w;
            sum += w * vec::load(plane + (k + o) * stride);
        }
        {
            const vfloat w = vec::splat(sw[R]);
            total += w;
            sum += w * vk;
        }
        for (int o = -1; o >= -R; --o) {
            if (k + o < 0) break;
            const vfloat w = vec::splat(sw[R - o]) * vec::load(ring + (((k + o) % (R + 1)) * R + (-o - 1)) * 8);
            total += w;
            sum += w * vec::load(plane + (k + o) * stride);
        }
        vec::store(column + static_cast<std::size_t>(k) * 8, sum / total);
    }
}

}  // namespace

void bilateralFilter(const FilterBuffers& buffers, const Region& regionIn, const BilateralParams& params,
                     ProgressSink& progress) {
    if (!buffersUsable(buffers)) return;
    const FloatImage& P = buffers.processed;
    FloatImage& N = buffers.working;
    FloatImage& C = buffers.output;
    const Region r = clipRegion(regionIn, P.width(), P.height());
    beginProgress(progress, 3 * static_cast<std::int64_t>(r.height));
    if (r.empty()) return;

    const float op = fractionFromPosition(params.opacityPosition);
    const float sigmaR = fractionFromPosition(params.thresholdPosition);
    const float e = 2.0f * sigmaR * sigmaR;
    const FilterKernel kernel = makeBilateralKernel(sigmaFromPosition(params.sigmaPosition));
    const int m = bilateralWindowStart(kernel);
    const int R = kKernelCentre - m;
    std::vector<float> swRow, swColumn;
    for (int t = m; t <= 32 - m; ++t) {
        swRow.push_back(kernel.weights[t][kKernelCentre]);
        swColumn.push_back(kernel.weights[kKernelCentre][t]);
    }

    const int w = r.width;
    const int h = r.height;
    const std::size_t x0s = static_cast<std::size_t>(r.x) * 3;
    // The scratch picture: the row pass's result as three planes, rows padded to whole vectors.
    const std::size_t stride = static_cast<std::size_t>(roundUp8(w));
    const std::size_t planeSize = stride * h;
    std::unique_ptr<float[]> Q(new float[planeSize * 3]);

    const int pad = R + 16;
    tbb::enumerable_thread_specific<LineScratch> scratch([&] {
        LineScratch s;
        s.line.assign(static_cast<std::size_t>(w + 2 * pad + 8), 0.0f);
        s.weights.assign(static_cast<std::size_t>(std::max(R, 1)) * (kSegment + R + 8), 0.0f);
        s.out.assign(static_cast<std::size_t>(roundUp8(w) + 8), 0.0f);
        return s;
    });

    // Pass 1 and 2: copy the region of P into N, and filter each row from it.
    tbb::parallel_for(tbb::blocked_range<int>(0, h), [&](const tbb::blocked_range<int>& range) {
        LineScratch& s = scratch.local();
        for (int ry = range.begin(); ry != range.end(); ++ry) {
            const int y = r.y + ry;
            const float* src = N.row(y) + x0s;
            std::memcpy(N.row(y) + x0s, P.row(y) + x0s, static_cast<std::size_t>(w) * 3 * sizeof(float));
            float* line = s.line.data() + pad;
            for (int c = 0; c < 3; ++c) {
                for (int x = 0; x < w; ++x) line[x] = src[x * 3 + c];
                bilateralLine(line, w, R, swRow.data(), e, s.weights.data(), s.out.data());
                float* q = Q.get() + planeSize * c + stride * ry;
                std::memcpy(q, s.out.data(), static_cast<std::size_t>(w) * sizeof(float));
                std::fill(q + w, q + stride, 0.0f);
            }
        }
        progress.advance(2 * static_cast<std::int64_t>(range.end() - range.begin()));
    });

    // Pass 3: columns, eight at a time, then the opacity mix into C.
    const int groups = static_cast<int>(stride / 8);
    ProportionalProgress columnProgress(progress, groups, h);
    const float rest = 1.0f - op;
    tbb::enumerable_thread_specific<std::vector<float>> columnBuffers(
        [&] { return std::vector<float>(static_cast<std::size_t>(h) * 8 * 3); });
    tbb::enumerable_thread_specific<std::vector<float>> rings(
        [&] { return std::vector<float>(static_cast<std::size_t>(R + 1) * std::max(R, 1) * 8); });
    tbb::parallel_for(tbb::blocked_range<int>(0, groups), [&](const tbb::blocked_range<int>& range) {
        std::vector<float>& column = columnBuffers.local();
        std::vector<float>& ring = rings.local();
        for (int gi = range.begin(); gi != range.end(); ++gi) {
            const int x = gi * 8;
            for (int c = 0; c < 3; ++c) {
                bilateralColumns(Q.get() + planeSize * c + x, stride, h, R, swColumn.data(), e, ring.data(),
                                 column.data() + static_cast<std::size_t>(h) * 8 * c);
            }
            const int lanes = std::min(8, w - x);
            for (int ry = 0; ry < h; ++ry) {
                const std::size_t at = x0s + static_cast<std::size_t>(x) * 3;
                const float* p = P.row(r.y + ry) + at;
                float* out = C.row(r.y + ry) + at;
                for (int lane = 0; lane < lanes; ++lane) {
                    for (int c = 0; c < 3; ++c) {
                        const float f = column[static_cast<std::size_t>(h) * 8 * c + ry * 8 + lane];
                        out[lane * 3 + c] = op * f + rest * p[lane * 3 + c];
                    }
                }
            }
        }
        columnProgress.done(range.end() - range.begin());
    });
}

}  // namespace sv
