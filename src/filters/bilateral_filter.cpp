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
void bilateralLine(const float* v, int n, int R, const float* sw, float negInvE, float* E, float* out) {
    const int span = kSegment + R + 8;  // entries per distance array
    for (int a = 0; a < n; a += kSegment) {
        const int b = std::min(n, a + kSegment);
        const int bEnd = a + roundUp8(b - a);
        // E[(d - 1) * span + (k - (a - R))] = range weight between pixels k and k + d.
        for (int d = 1; d <= R; ++d) {
            float* Ed = E + (d - 1) * span;
            for (int k = a - R; k < bEnd; k += 8) {
                const vfloat diff = vec::load(v + k + d) - vec::load(v + k);
                vec::store(Ed + (k - (a - R)), vec::exp((diff * diff) * vec::splat(negInvE)));
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

// Range weights between row y and rows y + d (d = 1..R) of one strip of one channel plane:
// E[(d - 1) * width + s]; 0 where row y + d lies beyond the region.
SV_VECTOR_CLONES
void rowRangeWeights(const float* plane, std::size_t stride, int h, int y, int R, int width, float negInvE, float* E) {
    const float* vy = plane + static_cast<std::size_t>(y) * stride;
    for (int d = 1; d <= R; ++d) {
        float* Ed = E + (d - 1) * width;
        if (y + d >= h) {
            for (int s = 0; s < width; ++s) Ed[s] = 0.0f;
            continue;
        }
        const float* vd = plane + static_cast<std::size_t>(y + d) * stride;
        for (int s = 0; s < width; s += 8) {
            const vfloat diff = vec::load(vd + s) - vec::load(vy + s);
            vec::store(Ed + s, vec::exp((diff * diff) * vec::splat(negInvE)));
        }
    }
}

// The column pass for row y of one strip of one channel plane; ring holds the range weights of
// rows y - R .. y, row k in slot k % (R + 1).
SV_VECTOR_CLONES
void columnPassRow(const float* plane, std::size_t stride, int h, int y, int R, int width, const float* sw,
                   const float* ring, float* out) {
    const std::size_t slotSize = static_cast<std::size_t>(R) * width;
    const float* below = ring + static_cast<std::size_t>(y % (R + 1)) * slotSize;
    const float* rowY = plane + static_cast<std::size_t>(y) * stride;
    for (int s = 0; s < width; s += 8) {
        vfloat total = vec::splat(0.0f), sum = total;
        for (int o = R; o >= 1; --o) {
            if (y + o >= h) continue;
            const vfloat w = vec::splat(sw[R - o]) * vec::load(below + (o - 1) * width + s);
            total += w;
            sum += w * vec::load(rowY + static_cast<std::size_t>(o) * stride + s);
        }
        {
            const vfloat w = vec::splat(sw[R]);
            total += w;
            sum += w * vec::load(rowY + s);
        }
        for (int o = -1; o >= -R; --o) {
            if (y + o < 0) break;
            const float* above = ring + static_cast<std::size_t>((y + o) % (R + 1)) * slotSize;
            const vfloat w = vec::splat(sw[R - o]) * vec::load(above + (-o - 1) * width + s);
            total += w;
            sum += w * vec::load(rowY - static_cast<std::ptrdiff_t>(-o) * static_cast<std::ptrdiff_t>(stride) + s);
        }
        vec::store(out + s, sum / total);
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
    // -diff^2 / e is taken as diff^2 x (-1 / e): one multiplication instead of a division.
    const float negInvE = -1.0f / e;
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
    FloatImage scratchPicture(static_cast<int>(stride), h);
    float* const Qdata = scratchPicture.data();

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
                bilateralLine(line, w, R, swRow.data(), negInvE, s.weights.data(), s.out.data());
                float* q = Qdata + planeSize * c + stride * ry;
                std::memcpy(q, s.out.data(), static_cast<std::size_t>(w) * sizeof(float));
                std::fill(q + w, q + stride, 0.0f);
            }
        }
        progress.advance(2 * static_cast<std::int64_t>(range.end() - range.begin()));
    });

    // Pass 3: columns, row by row within strips of columns so that the rows in reach and their
    // range weights stay in cache; then the opacity mix into C.
    constexpr int kStrip = 128;
    const int strips = static_cast<int>((stride + kStrip - 1) / kStrip);
    const int chunkRows = std::max(32, h / 16);
    const int chunks = (h + chunkRows - 1) / chunkRows;
    ProportionalProgress columnProgress(progress, static_cast<std::int64_t>(h) * strips, h);
    const float rest = 1.0f - op;
    const int Rw = std::max(R, 1);
    tbb::enumerable_thread_specific<std::vector<float>> rings(
        [&] { return std::vector<float>(static_cast<std::size_t>(R + 1) * Rw * kStrip * 3); });
    tbb::enumerable_thread_specific<std::vector<float>> outRows(
        [&] { return std::vector<float>(static_cast<std::size_t>(kStrip) * 3); });
    tbb::parallel_for(tbb::blocked_range<int>(0, chunks * strips), [&](const tbb::blocked_range<int>& range) {
        std::vector<float>& ring = rings.local();
        std::vector<float>& outRow = outRows.local();
        for (int task = range.begin(); task != range.end(); ++task) {
            const int chunk = task / strips, strip = task % strips;
            const int a = chunk * chunkRows, b = std::min(h, a + chunkRows);
            const int sx = strip * kStrip;
            const int width = std::min<int>(kStrip, static_cast<int>(stride) - sx);
            const int lanes = std::min(width, w - sx);
            const std::size_t ringSize = static_cast<std::size_t>(R + 1) * Rw * kStrip;
            for (int yy = std::max(0, a - R); yy < b; ++yy) {
                for (int c = 0; c < 3; ++c) {
                    const float* plane = Qdata + planeSize * c + sx;
                    float* ringC = ring.data() + ringSize * c;
                    rowRangeWeights(plane, stride, h, yy, R, width, negInvE,
                                    ringC + static_cast<std::size_t>(yy % (R + 1)) * R * width);
                    if (yy >= a) columnPassRow(plane, stride, h, yy, R, width, swColumn.data(), ringC,
                                               outRow.data() + static_cast<std::size_t>(kStrip) * c);
                }
                if (yy < a) continue;
                const std::size_t at = x0s + static_cast<std::size_t>(sx) * 3;
                const float* p = P.row(r.y + yy) + at;
                float* out = C.row(r.y + yy) + at;
                for (int lane = 0; lane < lanes; ++lane) {
                    for (int c = 0; c < 3; ++c) {
                        out[lane * 3 + c] = op * outRow[static_cast<std::size_t>(kStrip) * c + lane] + rest * p[lane * 3 + c];
                    }
                }
            }
            columnProgress.done(b - a);
        }
    });
}

}  // namespace sv
