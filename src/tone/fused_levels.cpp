#include "tone/fused_levels.h"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <stdexcept>

namespace sv {

void fusedLevels(const FloatImage& fused, int fusedX, int fusedY, const Region& region, int whitePosition,
                 int blackPosition, FloatImage& processedBuffer, RenderHistogram& result, ProgressSink& progress) {
    result.histogram.fill(0);
    result.histogramPeak = 0;
    const Region r = clippedRegion(region, processedBuffer.width(), processedBuffer.height());
    if (r.empty()) return;
    if (r.x < fusedX || r.y < fusedY || r.right() - fusedX > fused.width() || r.bottom() - fusedY > fused.height()) {
        throw std::invalid_argument("fusedLevels: the fused samples do not cover the region");
    }
    RenderParams points;
    points.whitePosition = whitePosition;
    points.blackPosition = blackPosition;
    const RenderConstants c = renderConstants(points);
    tbb::enumerable_thread_specific<HistogramBins> perThread([] {
        HistogramBins bins{};
        return bins;
    });
    tbb::parallel_for(tbb::blocked_range<int>(r.y, r.bottom()), [&](const tbb::blocked_range<int>& rows) {
        HistogramBins& bins = perThread.local();
        for (int y = rows.begin(); y != rows.end(); ++y) {
            const float* in = fused.row(y - fusedY) + static_cast<std::size_t>(r.x - fusedX) * 3;
            float* out = processedBuffer.row(y) + static_cast<std::size_t>(r.x) * 3;
            for (int x = 0; x < r.width; ++x) {
                const float t[3] = {in[3 * x], in[3 * x + 1], in[3 * x + 2]};
                ++bins[static_cast<std::size_t>(histogramBin(t[0], t[1], t[2]))];
                for (int ch = 0; ch < 3; ++ch) out[3 * x + ch] = stretchedLevel(t[ch], c);
            }
        }
        progress.advance(rows.end() - rows.begin());
    });
    for (const HistogramBins& bins : perThread) {
        for (int i = 0; i < kHistogramBins; ++i) result.histogram[static_cast<std::size_t>(i)] += bins[static_cast<std::size_t>(i)];
    }
    result.histogramPeak = histogramPeak(result.histogram, whitePosition, blackPosition);
}

}  // namespace sv
