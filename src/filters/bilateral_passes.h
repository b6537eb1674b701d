#pragma once

#include "image/float_image.h"
#include "image/progress.h"
#include "image/region.h"

namespace sv::detail {

// What one bilateral run needs once its kernel is known. The region is already clipped; the
// gauge is already at 0 with its maximum at 3 x region height.
struct BilateralPlan {
    const FloatImage* P = nullptr;
    FloatImage* N = nullptr;
    FloatImage* C = nullptr;
    Region region;
    int radius = 1;                   // taps -radius .. radius
    const float* swRow = nullptr;     // 2 x radius + 1 spatial weights of the row pass
    const float* swColumn = nullptr;  // and of the column pass
    float rangeScale = 0.0f;          // range weight = 2^(diff^2 x rangeScale / 8)
    float op = 1.0f;                  // opacity, and 1 - opacity
    float rest = 0.0f;
};

// Rows into C, then column strips over C in place: runs on any processor.
void bilateralTwoPass(const BilateralPlan& plan, ProgressSink& progress);

// Both passes in one sweep down column strips, each row filtered just before the column pass
// needs it, so the picture is read once and C written once. The same arithmetic in the same
// order as bilateralTwoPass, so the same bits. Needs AVX2 (bilateralSweepUsable()).
bool bilateralSweepUsable();
void bilateralSweep(const BilateralPlan& plan, ProgressSink& progress);

}  // namespace sv::detail
