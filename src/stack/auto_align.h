#pragma once

// Suggests the integer shift that lines a new exposure up with the stack, whatever the two
// exposures' brightness. The shift has the meaning of ExposureRecord::shiftX/shiftY: new-image
// pixel (u, v) lands on stack pixel (u + shiftX, v + shiftY).
//
// How: both pictures become 8-bit rank pictures (the brightest channel of each pixel, equalised
// by its own histogram), so two exposures of one scene look alike wherever neither is clipped.
// A pyramid of those is searched coarse to fine by gradient correlation, keeping several
// candidates per level so that an ambiguous coarse answer is not lost. Near the finest level the
// best candidates are compared by their intensities through a brightness mapping fitted at each
// candidate (smooth and dark scenes, where gradients are weak), and the winner is refined to the
// whole pixel at full resolution.

#include "image/float_image.h"
#include "image/progress.h"
#include "image/parameters.h"

namespace sv {

// Above this residual the shift cannot explain the pair: rotation, perspective, zoom, another scene.
inline constexpr float kAlignmentResidualLimit = 0.35f;

struct AutoAlignParams {
    // Largest |shiftX| and |shiftY| tried; 0 chooses max(256, longer side / 16).
    int maxShift = 0;
    // Shifts that leave less than this share of the new picture on the stack are not tried.
    float minOverlap = 0.25f;
    // The verdict turns doubtful above this residual.
    float residualLimit = kAlignmentResidualLimit;
};

// Whether each new picture is aligned before it is added (the window's Edit menu item; `--shift
// auto` on the command line). Off by default: without it every shift is the one given by hand.
// A Step 1 setting of the open sequence, not an operation of the registry.
inline constexpr ParameterDescriptor kAutoAlignParameters[] = {
    {.key = "autoAlign", .control = "Autoalign1", .minimum = 0, .maximum = 1, .defaultPosition = 0},
};

struct AutoAlignResult {
    int shiftX = 0;
    int shiftY = 0;
    // How much of the pair's structure the shift leaves unexplained, 0..1. The overlap is cut into
    // tiles; each tile's cost (mean absolute difference of the two rank pictures after mapping
    // each onto the other's brightness) is taken over a window of shifts around the chosen one.
    // A tile's misfit is how far the cost at the chosen shift lies above the tile's own best
    // shift nearby, as a share of the tile's cost contrast (window mean minus window minimum):
    // 0 when the chosen shift is also the tile's best, 1 when it is no better than a random shift.
    // The residual is the contrast-weighted mean misfit, so flat or clipped tiles count little.
    // An aligned pair of different exposures scores near 0; a rotated, zoomed or different
    // picture, whose tiles want different shifts, scores high.
    float residual = 0.0f;
    // residual > residualLimit: the caller should warn that the pictures may be rotated or the
    // camera moved, and let the user check the difference view.
    bool doubtful = false;
    // False only when there is nothing to compare (an empty picture or two different sizes).
    bool valid = false;
};

// The largest shift tried for a picture of this size with these parameters.
int autoAlignRange(int width, int height, const AutoAlignParams& params);

// Aligns `newImage` (opening value scale) with `stack` (the raw weighted sum: its division by
// stackMax for display does not change any rank, so it is not needed here). Both must have the
// same size. The progress sink goes from 0 to 3 x height and back as every long operation does.
AutoAlignResult autoAlign(const FloatImage& newImage, const FloatImage& stack, const AutoAlignParams& params,
                          ProgressSink& progress);

}  // namespace sv
