#pragma once
// Exposure fusion (Mertens, Kautz and Van Reeth, "Exposure Fusion", 2007): every pixel of the
// result is a blend of the exposures, weighted by how contrasty, saturated and well exposed each
// is there, blended across the scales of Laplacian pyramids so that no seams or halos appear.
//
// What is computed, exactly (the tests keep a direct version of it):
//  - Exposure k in stack coordinates: I(x, y) = clamp01(multiplier x P(x - shiftX, y - shiftY)),
//    P the exposure's own pixels in the opening value scale (8-bit v / 256). Samples above 1 (a
//    Radiance or float TIFF exposure) are held at 1 and negative ones, or not a number, at 0
//    before anything else: the weights and the blend both see the held value. A stack pixel the
//    shifted exposure does not cover repeats the exposure's nearest edge pixel (so the coarse
//    levels see no false edge) and gets weight 0 from it.
//  - Weights: grey g = 0.299 R + 0.587 G + 0.114 B; contrast C = |g(x-1,y) + g(x+1,y) + g(x,y-1)
//    + g(x,y+1) - 4 g(x,y)|; saturation S = standard deviation of R, G, B; well-exposedness
//    E = product over R, G, B of exp(-(I - 0.5)^2 / (2 x 0.2^2)). W = C^wc x S^ws x E^we + 1e-12
//    (an exponent of 0 takes the measure out, 0^0 counting as 1), times the exposure's weight mask
//    where it has one, and 0 where it does not cover the pixel. Normalised per pixel: W / sum W;
//    where every exposure's weight is 0 (none covers the pixel) each gets the same share 1 / N.
//    The 1e-12 makes pixels where every measure vanishes (flat grey, say) an even blend.
//  - Pyramids: level l + 1 has ceil(size / 2) pixels along each side; there are
//    floor(log2(min(width, height))) + 1 levels. Reduce: the 5 x 5 binomial kernel
//    [1 4 6 4 1] / 16 (separable), then every second pixel. Expand: insert zeros between the
//    pixels, filter with 4 x the same kernel. Outside the picture both mirror about the edge pixel
//    (..., 2, 1, 0, 1, 2, ...). Laplacian level l = Gaussian level l - expand(Gaussian level l+1);
//    the last level is the Gaussian level itself.
//  - Blend: result level l = sum over exposures of (Gaussian pyramid of the normalised weight, l)
//    x (Laplacian pyramid of the exposure, l); collapsed from the coarsest level down; every
//    sample clamped to 0..1.
//
// Memory: the exposures are worked one at a time (each is read twice, once for the weights' sum
// and once for its pyramid, unless an 8-bit copy of it is kept: see FusionKeptExposures), so a
// fusion holds, besides its output: one exposure (a picture), the weight sum (a third), the
// coarser levels of the exposure's and its weight's pyramids (under half), the running sum of
// the exposures' coarser levels (a quarter) and at most one picture's bytes of 8-bit copies:
// about three pictures however many exposures there are.

#include <cstdint>
#include <string>
#include <vector>

#include "image/float_image.h"
#include "image/progress.h"
#include "image/region.h"
#include "image/parameters.h"

namespace sv {

// The three weight exponents as track-bar positions: exponent = position x 0.01, 0 .. 2.00
// (positions outside 0 .. 200 are held to that range).
inline constexpr int kFusionWeightMin = 0;
inline constexpr int kFusionWeightMax = 200;
inline constexpr int kFusionWeightDefault = 100;

struct FusionParams {
    int contrastPosition = kFusionWeightDefault;
    int saturationPosition = kFusionWeightDefault;
    int exposurePosition = kFusionWeightDefault;
    bool operator==(const FusionParams&) const = default;
};

// The three weights as controls: the window's track bars (labels "1,00"), the CLI's
// --fuse contrast=POS,saturation=POS,exposure=POS and recipes, in this order.
inline constexpr ParameterDescriptor kFusionParameters[] = {
    {.key = "contrast", .control = "TrackBarFusionContrast", .valueLabel = "LabelFusionContrastValue",
     .minimum = kFusionWeightMin, .maximum = kFusionWeightMax, .defaultPosition = kFusionWeightDefault, .scale = 0.01,
     .label = LabelFormat::TwoDecimals},
    {.key = "saturation", .control = "TrackBarFusionSaturation", .valueLabel = "LabelFusionSaturationValue",
     .minimum = kFusionWeightMin, .maximum = kFusionWeightMax, .defaultPosition = kFusionWeightDefault, .scale = 0.01,
     .label = LabelFormat::TwoDecimals},
    {.key = "exposure", .control = "TrackBarFusionExposure", .valueLabel = "LabelFusionExposureValue",
     .minimum = kFusionWeightMin, .maximum = kFusionWeightMax, .defaultPosition = kFusionWeightDefault, .scale = 0.01,
     .label = LabelFormat::TwoDecimals},
};
// The weights from values by key; a key left out has its default.
FusionParams fusionParams(const ParameterValues& values);
// The weights as values by key: what fusionParams reads back to the same params.
ParameterValues fusionValues(const FusionParams& params);

// One exposure as the fusion reads it.
struct FusionExposure {
    FloatImage pixels;          // the exposure's own pixels, the project's size, opening value scale
    int shiftX = 0;             // stack pixel (x, y) shows the exposure's pixel (x - shiftX, y - shiftY)
    int shiftY = 0;
    float multiplier = 1.0f;    // brightness factor, applied before the samples are held to 0..1
    // Optional factor on the exposure's weight per stack pixel (row-major, width x height), e.g.
    // a ghost mask: 0 leaves the exposure out there. Empty: 1 everywhere.
    std::vector<float> weightMask;
};

// Where the exposures come from: files read again (fusion_source.h), or pictures in memory.
// A fusion asks for each exposure at most twice, in the order 0 .. N-1 both times: once for the
// weights' sum, once for the blend unless an 8-bit copy was kept (then not at all the second
// time, nor in later fusions of a FusionPreviewCache).
class FusionSource {
public:
    virtual ~FusionSource() = default;
    virtual int exposureCount() const = 0;
    // The size every exposure has (the project's).
    virtual int pictureWidth() const = 0;
    virtual int pictureHeight() const = 0;
    // Fills `exposure`; false when it cannot be had (the source keeps the reason for its caller).
    virtual bool loadExposure(int index, FusionExposure& exposure) = 0;
};

enum class FusionStatus {
    Done,
    NoExposures,          // the source is empty
    ExposureUnavailable,  // loadExposure failed (see FusionOutcome::exposure and the source)
    WrongSize,            // an exposure or its weight mask does not have the picture's size
    NotEnoughMemory,      // the working pictures do not fit
};

struct FusionOutcome {
    FusionStatus status = FusionStatus::Done;
    int exposure = -1;  // the exposure that failed, for ExposureUnavailable and WrongSize
    bool ok() const { return status == FusionStatus::Done; }
};

// Number of pyramid levels for a picture: floor(log2(min(width, height))) + 1 (1 for an empty one).
int fusionLevels(int width, int height);

// The progress steps one fusion takes (passes x rows): each exposure read and weighed twice,
// then the collapse. The caller adds its own passes (levels, display) and sets the gauge up.
std::int64_t fusionProgressSteps(int exposureCount, int imageHeight);

// 8-bit copies of the exposures that survive one exactly (every sample k / 256: any 8-bit
// picture at multiplier 1), made while the weights are summed so that the blend need not read
// the files again. A FusionPreviewCache keeps them for as long as its bracket stays the same;
// together they take at most one float picture's bytes (four exposures), the rest is read again.
struct FusionKeptExposures {
    std::vector<std::vector<std::uint8_t>> copies;  // per exposure; empty: read the file
    std::vector<Region> covered;                    // the rectangle each exposure covers
    void clear();
    std::uint64_t bytes() const;
};

// Fuses the whole picture into `processedBuffer` (the size of the exposures), samples 0..1.
// On failure before the blend starts (an exposure missing or of another size, no memory) the
// buffer is untouched; a source that fails only on the second reading leaves it zeroed.
// `kept` (optional) supplies and keeps the 8-bit copies across fusions of the same bracket.
FusionOutcome fusePicture(FusionSource& source, const FusionParams& params, FloatImage& processedBuffer,
                          ProgressSink& progress, FusionKeptExposures* kept = nullptr);

// Fuses only `region` (clipped to the picture) into `crop`, which gets the region's size: the
// same samples fusePicture gives there, bit for bit. The weights and the coarse levels still need
// every pixel of every exposure, so this reads the whole bracket; it saves the fine levels' blend
// and collapse outside the region and needs no picture-sized output.
FusionOutcome fuseRegion(FusionSource& source, const FusionParams& params, const Region& region, FloatImage& crop,
                         ProgressSink& progress, FusionKeptExposures* kept = nullptr);

// What the window keeps while fusion is chosen: the 8-bit copies of the bracket's exposures (so
// that after the first fusion no file is read again while only the weights change) and the
// preview rectangle's fused samples for the last weights (so that moving the white or black
// point, which the fusion does not depend on, does not fuse again). `bracketKey` names the
// exposures and how they lie (fusion_source.h builds it from the records); another key empties
// the cache.
class FusionPreviewCache {
public:
    // Fuses `region` unless the cache already holds it for these weights and this bracket.
    FusionOutcome update(FusionSource& source, const FusionParams& params, const Region& region,
                         const std::string& bracketKey, ProgressSink& progress);
    // "Process all": fusePicture with the kept copies.
    FusionOutcome fuseWhole(FusionSource& source, const FusionParams& params, const std::string& bracketKey,
                            FloatImage& processedBuffer, ProgressSink& progress);
    bool holds(const FusionParams& params, const Region& region, const std::string& bracketKey) const;
    const FloatImage& fused() const { return fused_; }  // the region's size
    const Region& region() const { return region_; }
    std::uint64_t keptBytes() const { return kept_.bytes(); }
    void clear();

private:
    void adopt(const std::string& bracketKey);
    FloatImage fused_;
    Region region_;
    FusionParams params_;
    std::string key_;
    bool valid_ = false;
    FusionKeptExposures kept_;
};

}  // namespace sv
