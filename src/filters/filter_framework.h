#pragma once

#include <atomic>
#include <cstdint>

#include "image/float_image.h"
#include "image/progress.h"
#include "image/region.h"

namespace sv {

// The three buffers of a filter or colour run:
//   processed (P) is read and is the base of the opacity mix,
//   working   (N) receives a copy of the region of P first: after a whole-picture Apply it
//                 holds the picture from before that Apply, the one-level Undo copy,
//   output    (C) is written over the region; everything outside the region of N and C is
//                 left untouched.
struct FilterBuffers {
    const FloatImage& processed;
    FloatImage& working;
    FloatImage& output;
};

// True when the three buffers have the same non-empty size and are three different pictures.
bool buffersUsable(const FilterBuffers& buffers);

// The start every filter shares: unusable buffers do nothing; otherwise the region is clipped
// into `clipped` and the gauge starts at passes x its rows. False when there is nothing to filter.
bool beginFilter(const FilterBuffers& buffers, const Region& region, int passes, ProgressSink& progress,
                 Region& clipped);

// The end of an Apply job: all of C is copied into P.
void applyFilterOutput(FloatImage& processed, const FloatImage& output);

// Undo: every row of N is copied into P and into C, one gauge step per row. The caller sets
// the gauge (2 x picture height, the second half is the display conversion).
void undoFromWorkingCopy(FloatImage& processed, const FloatImage& working, FloatImage& output,
                         ProgressSink& progress);

// Advances a gauge by `total` steps in proportion to work finished by parallel tasks that do
// not go row by row (column strips): after all of `units` are reported, exactly `total` steps
// have been given.
class ProportionalProgress {
public:
    ProportionalProgress(ProgressSink& sink, std::int64_t units, std::int64_t total)
        : sink_(sink), units_(units), total_(total) {}
    void done(std::int64_t units);

private:
    ProgressSink& sink_;
    std::int64_t units_;
    std::int64_t total_;
    std::atomic<std::int64_t> doneUnits_{0};
};

}  // namespace sv
