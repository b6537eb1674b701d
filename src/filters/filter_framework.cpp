#include "filters/filter_framework.h"

#include <algorithm>
#include <cstring>

#include "image/parallel_rows.h"

namespace sv {

bool buffersUsable(const FilterBuffers& b) {
    if (b.processed.empty() || b.working.empty() || b.output.empty()) return false;
    if (!b.processed.sameSize(b.working) || !b.processed.sameSize(b.output)) return false;
    return &b.processed != &b.working && &b.processed != &b.output && &b.working != &b.output;
}

bool beginFilter(const FilterBuffers& buffers, const Region& region, int passes, ProgressSink& progress,
                 Region& clipped) {
    if (!buffersUsable(buffers)) return false;
    clipped = clippedRegion(region, buffers.processed.width(), buffers.processed.height());
    beginProgress(progress, static_cast<std::int64_t>(passes) * clipped.height);
    return !clipped.empty();
}

void applyFilterOutput(FloatImage& processed, const FloatImage& output) {
    if (processed.empty() || !processed.sameSize(output) || &processed == &output) return;
    parallelRows(0, processed.height(), [&](int y) {
        std::memcpy(processed.row(y), output.row(y), processed.rowSamples() * sizeof(float));
    });
}

void undoFromWorkingCopy(FloatImage& processed, const FloatImage& working, FloatImage& output,
                         ProgressSink& progress) {
    if (processed.empty() || !processed.sameSize(working) || !processed.sameSize(output)) return;
    const std::size_t bytes = processed.rowSamples() * sizeof(float);
    parallelRows(
        0, processed.height(),
        [&](int y) {
            std::memcpy(processed.row(y), working.row(y), bytes);
            std::memcpy(output.row(y), working.row(y), bytes);
        },
        &progress);
}

void ProportionalProgress::done(std::int64_t units) {
    if (units_ <= 0) return;
    const std::int64_t after = doneUnits_.fetch_add(units) + units;
    const std::int64_t before = after - units;
    const std::int64_t steps = after * total_ / units_ - before * total_ / units_;
    if (steps > 0) sink_.advance(steps);
}

}  // namespace sv
