#include "filters/gaussian_blur.h"

#include <cstring>
#include <memory>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "filters/weighted_sums.h"
#include "image/parallel_rows.h"

namespace sv {


void gaussianBlur(const FilterBuffers& buffers, const Region& regionIn, const GaussianBlurParams& params,
                  ProgressSink& progress) {
    const GaussianKernels kernels = makeGaussianKernels(sigmaFromPosition(params.sigmaPosition));
    gaussianBlur(buffers, regionIn, kernels.line, fractionFromPosition(params.opacityPosition), progress);
}

void gaussianBlur(const FilterBuffers& buffers, const Region& regionIn, const LineKernel& kernel, float op,
                  ProgressSink& progress) {
    if (!buffersUsable(buffers)) return;
    const FloatImage& P = buffers.processed;
    FloatImage& N = buffers.working;
    FloatImage& C = buffers.output;
    const Region r = clipRegion(regionIn, P.width(), P.height());
    beginProgress(progress, 2 * static_cast<std::int64_t>(r.height));
    if (r.empty()) return;

    const int m = blurWindowStart(kernel);
    const int radius = kKernelCentre - m;
    const int w = r.width;
    const int h = r.height;
    const int rowCount = 3 * w;           // samples of one region row
    const int rowStride = roundUp8(rowCount) + 32;  // readable past the end by whole vectors

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

    // T holds op x (row-blurred value): the vertical pass adds op x T x g, and the product
    // op x T is the same float whether it is formed here or in the sum.
    const std::size_t tStride = static_cast<std::size_t>(rowStride);
    std::unique_ptr<float[]> T(new float[tStride * h]);

    // Horizontal offsets of the taps into a row padded with `radius` zero pixels each side:
    // tap t reads pixel x + 16 - t.
    std::vector<int> offsets(taps);
    for (int q = 0; q < taps; ++q) offsets[q] = (radius + kKernelCentre - (m + q)) * 3;

    const int paddedCount = (w + 2 * radius) * 3 + roundUp8(rowCount) - rowCount + 40;
    tbb::enumerable_thread_specific<std::vector<float>> padBuffers(std::vector<float>(paddedCount, 0.0f));
    tbb::enumerable_thread_specific<std::vector<float>> accBuffers(std::vector<float>(rowStride, 0.0f));

    const std::size_t x0s = static_cast<std::size_t>(r.x) * 3;
    parallelRows(
        0, h,
        [&](int ry) {
            const int y = r.y + ry;
            const float* src = P.row(y) + x0s;
            std::memcpy(N.row(y) + x0s, src, rowCount * sizeof(float));
            std::vector<float>& pad = padBuffers.local();
            std::vector<float>& acc = accBuffers.local();
            float* a = pad.data() + radius * 3;
            for (int s = 0; s < rowCount; ++s) a[s] = op * src[s];
            weightedSums(pad.data(), offsets.data(), g.data(), taps, acc.data(), rowCount);
            float* out = T.get() + tStride * ry;
            for (int s = 0; s < rowCount; ++s) out[s] = op * (acc[s] / sampleTotal[s]);
            for (int s = rowCount; s < rowStride; ++s) out[s] = 0.0f;
        },
        &progress);

    const float rest = 1.0f - op;
    parallelRows(
        0, h,
        [&](int ry) {
            const float* rows[64];
            float weights[64];
            int n = 0;
            for (int q = 0; q < taps; ++q) {
                const int src = ry + kKernelCentre - (m + q);
                if (src >= 0 && src < h) {
                    rows[n] = T.get() + tStride * src;
                    weights[n] = g[q];
                    ++n;
                }
            }
            std::vector<float>& acc = accBuffers.local();
            weightedRowSums(rows, weights, n, acc.data(), rowCount);
            const int y = r.y + ry;
            const float* p = P.row(y) + x0s;
            float* c = C.row(y) + x0s;
            const float total = rowTotal[ry];
            for (int s = 0; s < rowCount; ++s) {
                float v = acc[s] / total;
                if (v >= 1.0f) v = 1.0f;
                if (v < 0.0f) v = 0.0f;
                c[s] = op * v + rest * p[s];
            }
        },
        &progress);
}

}  // namespace sv
