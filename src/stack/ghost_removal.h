#pragma once

// Ghost removal: the stack merged again from the files, with whatever moved between exposures
// taken from one reference exposure.
//
// For every other exposure, a per-channel brightness mapping from the reference to that exposure
// is fitted on the pixels they share (the median exposure value for each reference level, made
// monotone; no exposure times are needed). Where the exposure disagrees with the reference
// mapped to its brightness by more than the noise seen at that level allows, its values are
// replaced by the mapped reference, blended through a smoothed and slightly widened mask so that
// neither seams nor fringes appear. The stack is then the same weighted sum as adding the
// exposures one by one (weight 1 / (0.7 L + 1) of each replaced pixel, times the multiplier, in
// record order), so a moving object leaves neither a ghost nor a dark patch. The reference's own
// pixels never change.
//
// Memory while merging: the reference and one other exposure at a time (two pictures, plus the
// decoder's bitmap of the file being read), each exposure's mask on its coarse grid, a few small
// scratch planes and the union mask (one float per pixel). While ghost removal is on, the window
// keeps the plain stack (one more picture) so that turning it off restores it exactly, and the
// union mask.

#include <array>
#include <functional>
#include <optional>
#include <vector>

#include "image/float_image.h"
#include "image/progress.h"
#include "imagefiles/picture_decoder.h"
#include "image/messages.h"
#include "image/parameters.h"
#include "stack/project.h"

namespace sv {

inline constexpr int kGhostStrengthDefault = 50;

struct GhostRemovalParams {
    int reference = 0;                       // index of the reference record (0-based)
    int strength = kGhostStrengthDefault;    // 0..100: 0 replaces nothing, 100 the smallest disagreement
};

// The positions the window's "Remove ghosts" controls and `--deghost REF[,strength=POS]` take: a
// Step 1 setting that merges the stack again, not an operation of the registry. The reference is
// the selected exposure, not a position.
inline constexpr ParameterDescriptor kGhostRemovalParameters[] = {
    {.key = "deghost", .control = "CheckBox6", .minimum = 0, .maximum = 1, .defaultPosition = 0},
    {.key = "strength", .control = "TrackBar16", .valueLabel = "Label46", .minimum = 0, .maximum = 100,
     .defaultPosition = kGhostStrengthDefault},
};
// The settings `--deghost` takes after REF.
inline constexpr ParameterList kGhostSettingParameters = ParameterList(kGhostRemovalParameters).subspan(1);

// Monotone per-channel mapping from one exposure's values to another's, with the spread of the
// other's values around it. Piecewise linear over equal bins of the source range; not a number
// maps to not a number.
struct BrightnessMapping {
    static constexpr int kBins = 256;
    std::array<float, 3> sourceMax{};                          // top of each channel's bins
    std::array<std::array<float, kBins + 1>, 3> value{};       // at bin edges 0 .. kBins
    std::array<std::array<float, kBins + 1>, 3> spread{};      // robust spread of the target there
    std::array<float, 3> floor{};                              // least spread counted (noise, quantisation)
    float apply(int channel, float v) const;
    float spreadAt(int channel, float v) const;
};

// Fits the mapping from `source` to `target` on the pixels they share: target pixel (u, v) shows
// what source pixel (u + dx, v + dy) shows. For each channel and each source bin the median and
// the spread (interquartile range / 1.349) of the target are taken from a joint histogram of a
// regular sample of the shared pixels (every 2nd pixel of every 2nd row, sparser on pictures of
// more than four megapixels); bins seen fewer than 8 times are bridged linearly; the medians are
// made non-decreasing (pooling adjacent violators, weighted by count). Below the first seen bin
// the mapping runs straight to (0, 0); above the last it stays level.
BrightnessMapping fitBrightnessMapping(const FloatImage& source, const FloatImage& target, int dx, int dy);

// The ghost mask of one exposure against the reference, in the exposure's own pixels, 0..1.
// Each 2 x 2 cell is judged by d = max over channels of |mean(e - map(r))| / max(spread, floor)
// at the cell's mean reference level (the mean cancels noise and compression ringing at edges):
// a cell counts fully from d >= T and not at all below T / 2, T = 8 - 6 x strength / 100. The
// counted share is gathered on blocks of 2 x max(1, longer side / 1600) pixels; blocks whose
// 3 x 3 neighbourhood disagrees on less than 30 % are dropped as noise, the rest widened by
// twice the feather radius (max(2, longer side / 250 / block) blocks) and feathered by two box
// means of that radius, then brought back to full size bilinearly and faded out within two
// feathers of the edge of the reference's coverage. Pixels without a reference counterpart get
// 0, and strength 0 gives an all-zero mask.
// The mask is kept as it is judged, on the grid of blocks; its rows are brought to full size on
// demand, so that a merge holds no full-size mask per exposure and passes over none of the rows
// a ghost does not reach.
class GhostMaskGrid {
public:
    // Columns of an exposure row outside which the mask is 0 (first == end: all of it).
    struct Span {
        int first = 0, end = 0;
        bool empty() const { return end <= first; }
    };
    Span span(int v) const;
    // Writes row v's mask at out[u] for u in s (a span of that row, or part of one).
    void fill(int v, Span s, float* out) const;

private:
    friend GhostMaskGrid judgeGhosts(const FloatImage&, const FloatImage&, int, int, const BrightnessMapping&, int);
    int block_ = 1, gw_ = 0, gh_ = 0;
    float fade_ = 1.0f;
    int coverX0_ = 0, coverX1_ = 0, coverY0_ = 0, coverY1_ = 0;
    std::vector<float> share_;            // gw x gh
    std::vector<int> firstSet_, endSet_;  // per grid row: its non-zero columns lie in [first, end)
};

GhostMaskGrid judgeGhosts(const FloatImage& exposure, const FloatImage& reference, int dx, int dy,
                          const BrightnessMapping& mapping, int strength);

// exposure += mask x (map(reference) - exposure), in place.
void replaceGhosts(FloatImage& exposure, const FloatImage& reference, int dx, int dy, const BrightnessMapping& mapping,
                   const GhostMaskGrid& mask);

// Supplies the pixels of record `index` exactly as they were added, or an error; may advance the
// progress sink by up to one step per row. `pixels` may hold the previous exposure: a source may
// fill it in place when the size fits, or replace it.
using ExposureSource = std::function<std::optional<Message>(int index, FloatImage& pixels, ProgressSink& progress)>;

// The files again, decoded as when they were opened (a 16/32-bit TIFF with the gamma answer given
// then), refused unless they still have the project's size. TIFF notices go to hooks.notify.
ExposureSource exposureFiles(const Project& project, const DecodeHooks& hooks);

struct GhostMerge {
    float stackMax = 1.0f;
    std::vector<float> mask;  // union of the exposures' masks in stack pixels, 0..1
    std::optional<Message> error;
};

// Merges records 0 .. count - 1 into `stack` (overwritten) without ghosts, reading each through
// `source` once (the reference first, then the others in record order). stackMax follows the
// add's rule for the last exposure merged (the largest sample it touched; 1.0 if 0). On an error
// the stack is left cleared or half merged: the caller restores it.
GhostMerge mergeWithoutGhosts(FloatImage& stack, const ExposureRecord* records, int count,
                              const GhostRemovalParams& params, const ExposureSource& source, ProgressSink& progress);

// What the window keeps while "Remove ghosts" is on.
struct GhostRemovalState {
    bool active = false;
    GhostRemovalParams params;
    FloatImage plainStack;       // the stack as adding and removing made it, restored exactly when off
    float plainStackMax = 1.0f;
    std::vector<float> mask;     // the "Ghosts" view and --dump-ghost-mask: union mask, stack pixels
};

struct GhostResult {
    bool done = false;
    // Why not. When a merge fails (a file gone or changed), the plain stack is back and ghost
    // removal is off: the window unticks its box.
    std::optional<Message> error;
};

// Turns ghost removal on, or merges again with other parameters: keeps the plain stack the first
// time, then rebuilds project.stackBuffer and stackMax from the first `stackedCount` records.
GhostResult removeGhosts(Project& project, GhostRemovalState& state, const GhostRemovalParams& params,
                         int stackedCount, const ExposureSource& source, ProgressSink& progress);

// Turns it off: the plain stack and its stackMax come back bit for bit.
void restorePlainStack(Project& project, GhostRemovalState& state);

// Adding while it is on: the new image goes into the plain stack exactly as addExposure would
// put it there, then everything is merged again without ghosts.
GhostResult addExposureWithoutGhosts(Project& project, GhostRemovalState& state, const ExposureSource& source,
                                     ProgressSink& progress);

// Only the first half of adding while it is on: the new image goes into the plain stack, the
// merge without ghosts is left to the caller (several files opened together merge once).
void addExposureToPlainStack(Project& project, GhostRemovalState& state, ProgressSink& progress);

// Removing while it is on: removed from the plain stack as removeExposure does, then merged again.
// A removed reference hands over to the exposure that takes its place in the list (or the one
// before it when it was the last). With no exposure left ghost removal turns off.
GhostResult removeExposureWithoutGhosts(Project& project, GhostRemovalState& state, int index,
                                        const DecodeHooks& hooks, const ExposureSource& source,
                                        ProgressSink& progress);

}  // namespace sv
