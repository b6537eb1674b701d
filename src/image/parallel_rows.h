#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "image/progress.h"

namespace sv {

// Runs body(y) for every row y in [first, last) on all cores. Rows are independent in every
// caller, so the result does not depend on the number of threads. Progress advances once per row.
template <typename Body>
void parallelRows(int first, int last, Body&& body, ProgressSink* progress = nullptr) {
    if (last <= first) return;
    tbb::parallel_for(tbb::blocked_range<int>(first, last), [&](const tbb::blocked_range<int>& r) {
        for (int y = r.begin(); y != r.end(); ++y) body(y);
        if (progress) progress->advance(r.end() - r.begin());
    });
}

}  // namespace sv
