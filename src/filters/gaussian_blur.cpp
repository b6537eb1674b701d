#include "filters/gaussian_blur.h"

#include <cstring>
#include <memory>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "filters/weighted_sums.h"
#include "image/parallel_rows.h"

#include <algorithm>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace sv {


GaussianBlurParams gaussianBlurParams(const ParameterValues& values) {
    const ParameterList d = kGaussianBlurParameters;
    return GaussianBlurParams{positionOf(d, values, "sigma"), positionOf(d, values, "opacity")};
}

void gaussianBlur(const FilterBuffers& buffers, const Region& regionIn, const GaussianBlurParams& params,
                  ProgressSink& progress) {
    const GaussianKernels kernels = makeGaussianKernels(sigmaFromPosition(params.sigmaPosition));
    gaussianBlur(buffers, regionIn, kernels.line, fractionFromPosition(params.opacityPosition), progress);
}

void gaussianBlur(const FilterBuffers& buffers, const Region& regionIn, const LineKernel& kernel, float op,
                  ProgressSink& progress) {
    Region r;
    if (!beginFilter(buffers, regionIn, 2, progress, r)) return;
    const FloatImage& P = buffers.processed;
    FloatImage& N = buffers.working;
    FloatImage& C = buffers.output;

    const int m = blurWindowStart(kernel);
    const int radius = kKernelCentre - m;
    const int w = r.width;
    const int h = r.height;
    const int rowCount = 3 * w;           // samples of one region row

    // The weight totals depend only on where a pixel lies in the region: taps in tap order,
    // op x g[t] added for each tap that lands inside.
    std::vector<float> g, opg;
    for (int t = m; t <= 32 - m; ++t) {
        g.push_back(kernel.weights[t]);
        opg.push_back(op * kernel.weights[t]);
    }
    const int taps = static_cast<int>(g.size());
    auto totals = [&](int length) {
        std::vector<float> total(static_cast<std::size_t>(length));
        for (int k = 0; k < length; ++k) {
            float acc = 0.0f;
            for (int q = 0; q < taps; ++q) {
                const int src = k + kKernelCentre - (m + q);
                if (src >= 0 && src < length) acc += opg[q];
            }
            total[k] = acc;
        }
        return total;
    };
    const std::vector<float> columnTotal = totals(w);
    const std::vector<float> rowTotal = totals(h);
    std::vector<float> sampleTotal(static_cast<std::size_t>(rowCount));
    for (int s = 0; s < rowCount; ++s) sampleTotal[s] = columnTotal[s / 3];

    // Rows are blurred within strips of columns and kept in a ring of 2 x radius + 1 rows, from
    // which the column sums are taken as soon as their rows are there; no scratch picture goes
    // through memory. A ring row holds op x (row-blurred value): the vertical pass adds
    // op x T x g, and the product op x T is the same float whether it is formed here or there.
    constexpr int kStrip = 512;
    const int strips = (w + kStrip - 1) / kStrip;
    const int chunkRows = std::max(64, h / 8);
    const int chunks = (h + chunkRows - 1) / chunkRows;
    const int ringRows = 2 * radius + 1;
    const int stripSamples = kStrip * 3;
    const int ringStride = roundUp8(stripSamples) + 32;

    // Tap t reads pixel x + 16 - t of a strip row padded with `radius` pixels each side.
    std::vector<int> offsets(taps);
    for (int q = 0; q < taps; ++q) offsets[q] = (radius + kKernelCentre - (m + q)) * 3;

    struct Scratch {
        std::vector<float> pad, acc, ring;
    };
    tbb::enumerable_thread_specific<Scratch> scratch([&] {
        Scratch sc;
        sc.pad.assign(static_cast<std::size_t>((kStrip + 2 * radius) * 3 + 48), 0.0f);
        sc.acc.assign(static_cast<std::size_t>(ringStride), 0.0f);
        sc.ring.assign(static_cast<std::size_t>(ringStride) * ringRows, 0.0f);
        return sc;
    });
    ProportionalProgress gauge(progress, static_cast<std::int64_t>(h) * strips, 2 * static_cast<std::int64_t>(h));
    const float rest = 1.0f - op;
    const std::size_t x0s = static_cast<std::size_t>(r.x) * 3;

    tbb::parallel_for(tbb::blocked_range<int>(0, chunks * strips), [&](const tbb::blocked_range<int>& range) {
        Scratch& sc = scratch.local();
        for (int task = range.begin(); task != range.end(); ++task) {
            const int chunk = task / strips, strip = task % strips;
            const int a = chunk * chunkRows, b = std::min(h, a + chunkRows);
            const int sx = strip * kStrip;
            const int width = std::min(kStrip, w - sx);
            const int count = width * 3;
            const int lo = std::max(sx - radius, 0), hi = std::min(sx + width + radius, w);
            float* pad = sc.pad.data();
            std::fill(sc.pad.begin(), sc.pad.end(), 0.0f);
            int next = a;
            for (int yy = std::max(0, a - radius); yy < std::min(h, b + radius); ++yy) {
                const float* src = P.row(r.y + yy) + x0s;
                if (yy >= a && yy < b) {
                    std::memcpy(N.row(r.y + yy) + x0s + static_cast<std::size_t>(sx) * 3, src + sx * 3,
                                static_cast<std::size_t>(count) * sizeof(float));
                }
                float* pa = pad + (lo - (sx - radius)) * 3;
                scaleInto(pa, src + lo * 3, op, (hi - lo) * 3);
                weightedSums(pad, offsets.data(), g.data(), taps, sc.acc.data(), count);
                float* out = sc.ring.data() + static_cast<std::size_t>(yy % ringRows) * ringStride;
                scaleQuotient(out, sc.acc.data(), sampleTotal.data() + sx * 3, op, count);
                // Every row whose column taps are all blurred now can be finished.
                while (next < b && std::min(next + radius, h - 1) <= yy) {
                    const int y = next++;
                    const float* rows[64];
                    float weights[64];
                    int n = 0;
                    for (int q = 0; q < taps; ++q) {
                        const int from = y + kKernelCentre - (m + q);
                        if (from >= 0 && from < h) {
                            rows[n] = sc.ring.data() + static_cast<std::size_t>(from % ringRows) * ringStride;
                            weights[n] = g[q];
                            ++n;
                        }
                    }
                    weightedRowSums(rows, weights, n, sc.acc.data(), count);
                    const float* p = P.row(r.y + y) + x0s + static_cast<std::size_t>(sx) * 3;
                    float* c = C.row(r.y + y) + x0s + static_cast<std::size_t>(sx) * 3;
                    blurFinish(c, sc.acc.data(), rowTotal[y], op, rest, p, count);
                    gauge.done(1);
                }
            }
        }
    });
}

}  // namespace sv
