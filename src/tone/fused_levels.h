#pragma once
// Step 2's white and black points and histogram on a fused picture instead of a render.

#include "image/float_image.h"
#include "image/progress.h"
#include "image/region.h"
#include "tone/render.h"

namespace sv {

// The white and black points and the histogram on a fused picture, as the render applies them to
// its curve-and-gamma values t: here t = the fused sample. For each pixel of `region`: o = f x t
// - f x b per channel, held to 0..1 (the step t > b when the points coincide), written into
// `processedBuffer`; bin = trunc(215 x (tR + tG + tB) / 3) (a pixel of pure white, which the
// render cannot make, counts in the last bin); histogramPeak as the render finds it.
// `fused` holds the fused samples with its pixel (0, 0) at picture pixel (fusedX, fusedY): the
// processed buffer itself (0, 0) after fusePicture, or a preview crop at its region's corner.
// Advances the progress by one per row.
void fusedLevels(const FloatImage& fused, int fusedX, int fusedY, const Region& region, int whitePosition,
                 int blackPosition, FloatImage& processedBuffer, RenderHistogram& result, ProgressSink& progress);

}  // namespace sv
