#include "filters/sharpen.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "filters/weighted_sums.h"

namespace sv {

SharpenParams sharpenParams(const ParameterValues& values) {
    const ParameterList d = kSharpenParameters;
    return SharpenParams{positionOf(d, values, "amount"), positionOf(d, values, "sigma")};
}

void sharpen(const FilterBuffers& buffers, const Region& regionIn, const SharpenParams& params,
             ProgressSink& progress) {
    Region r;
    if (!beginFilter(buffers, regionIn, 3, progress, r)) return;
    const FloatImage& P = buffers.processed;
    FloatImage& N = buffers.working;
    FloatImage& C = buffers.output;

    const float sigma = sigmaFromPosition(params.sigmaPosition);
    const float a = fractionFromPosition(params.amountPosition);
    const FilterKernel kernel = makeSharpenKernel(sigma);
    const int m = sharpenWindowStart(kernel);
    const int radius = kKernelCentre - m;

    // The Gaussian part of weights[i][j] is (d^2 e_i / S) x e_j, with e_k = exp(-(k-16)^2/(2 sigma^2))
    // and S the float sum of the 33 x 33 Gaussian, taken exactly as the kernel takes it.
    const double s = static_cast<double>(sigma);
    const float d = static_cast<float>(1.0 / (std::sqrt(2.0 * std::numbers::pi) * s));
    const double dd = static_cast<double>(d) * static_cast<double>(d);
    auto e = [&](int k) {
        const double q = static_cast<double>(k - kKernelCentre);
        return std::exp(-(q * q) / (2.0 * s * s));
    };
    float S = 0.0f;
    for (int i = 0; i < kKernelSize; ++i) {
        const double outer = dd * e(i);
        for (int j = 0; j < kKernelSize; ++j) S += static_cast<float>(outer * e(j));
    }
    std::vector<float> fx, fy;
    for (int i = m; i <= 32 - m; ++i) {
        fx.push_back(static_cast<float>(dd * e(i) / static_cast<double>(S)));
        fy.push_back(static_cast<float>(e(i)));
    }
    const int taps = static_cast<int>(fx.size());
    // The centre keeps its own float weight (identity minus the Gaussian's centre); the
    // separable sums stand for the surround only. At the smallest sigmas the surround vanishes
    // and the centre weight is 0, so the picture comes back unchanged, as with the 2-D sums.
    const float centreWeight = kernel.weights[kKernelCentre][kKernelCentre];
    const float centreGauss = fx[radius] * fy[radius];

    const int w = r.width;
    const int h = r.height;
    const std::size_t x0s = static_cast<std::size_t>(r.x) * 3;
    std::vector<int> offsets(taps);
    for (int q = 0; q < taps; ++q) offsets[q] = (radius + kKernelCentre - (m + q)) * 3;
    // Strips of columns keep the rows in reach of the column sums in cache.
    constexpr int kStrip = 512;
    const int strips = (w + kStrip - 1) / kStrip;
    const int chunkRows = std::max(16, h / 16);
    const int chunks = (h + chunkRows - 1) / chunkRows;
    const int paddedCount = (kStrip + 2 * radius) * 3 + 48;
    ProportionalProgress gauge(progress, static_cast<std::int64_t>(h) * strips, 2 * static_cast<std::int64_t>(h));

    // Every pass reads P, which equals N over the region once N is copied, so the copy of a row
    // and the filtering of rows run in one sweep.
    tbb::enumerable_thread_specific<std::vector<float>> padBuffers(std::vector<float>(paddedCount, 0.0f));
    tbb::enumerable_thread_specific<std::vector<float>> accBuffers(std::vector<float>(kStrip * 3 + 8, 0.0f));
    tbb::parallel_for(tbb::blocked_range<int>(0, chunks * strips), [&](const tbb::blocked_range<int>& range) {
        std::vector<float>& pad = padBuffers.local();
        std::vector<float>& acc = accBuffers.local();
        for (int task = range.begin(); task != range.end(); ++task) {
            const int chunk = task / strips, strip = task % strips;
            const int ya = chunk * chunkRows, yb = std::min(h, ya + chunkRows);
            const int sx = strip * kStrip;
            const int width = std::min(kStrip, w - sx);
            const int count = width * 3;
            const int lo = std::max(sx - radius, 0), hi = std::min(sx + width + radius, w);
            std::fill(pad.begin(), pad.end(), 0.0f);
            float* padAt = pad.data() + (lo - (sx - radius)) * 3;
            for (int ry = ya; ry < yb; ++ry) {
                const int y = r.y + ry;
                const float* p = P.row(y) + x0s + static_cast<std::size_t>(sx) * 3;
                std::memcpy(N.row(y) + x0s + static_cast<std::size_t>(sx) * 3, p, count * sizeof(float));
                // Column sums first: tap j of row y reads row y - j + 16.
                const float* rows[64];
                float weights[64];
                int n = 0;
                for (int q = 0; q < taps; ++q) {
                    const int src = ry + kKernelCentre - (m + q);
                    if (src >= 0 && src < h) {
                        rows[n] = P.row(r.y + src) + x0s + static_cast<std::size_t>(lo) * 3;
                        weights[n] = fy[q];
                        ++n;
                    }
                }
                weightedRowSums(rows, weights, n, padAt, (hi - lo) * 3);
                // Then the row sums over the column sums; the zero padding stands for the
                // columns outside the region.
                weightedSums(pad.data(), offsets.data(), fx.data(), taps, acc.data(), count);
                float* c = C.row(y) + x0s + static_cast<std::size_t>(sx) * 3;
                sharpenFinish(c, acc.data(), p, a, centreWeight, centreGauss, count);
                gauge.done(1);
            }
        }
    });
}

}  // namespace sv
