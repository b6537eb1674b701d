#pragma once
// Local contrast: a base/detail tone mapping of the stack that runs before the render.
//
// The log brightness of every pixel (its largest channel over stackMax) is split by an
// edge-preserving filter (a bilateral grid: splat, blur, slice) into a base layer, the picture's
// large-scale light, and a detail layer, its texture. The base's range is compressed towards its
// brightest level, the detail is kept or boosted, and each pixel's three samples are scaled by
// the ratio of new to old brightness, so the colour stays. The result is an ordinary stack
// sample that the render's curve, gamma, saturation and white and black points then map as usual.
//
// The base of a pixel depends on the whole picture, so everything that depends on the whole
// picture lives in a small LocalContrastModel, built once from the whole stack. Every region
// reads that model and nothing else beyond its own pixels, so a preview rectangle gets exactly
// the pixels a render of the whole picture gets there.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/float_image.h"
#include "image/progress.h"
#include "image/region.h"
#include "image/parameters.h"

namespace sv {

// A control's integer positions: the window's track bar, the CLI's POS and recipes use the same.
struct PositionRange {
    int minimum = 0;
    int maximum = 0;
    int defaultPosition = 0;
    bool contains(int position) const { return position >= minimum && position <= maximum; }
};

// Compression: the share of the base's log range taken away, position x 0.9 % (100: 90 %, a tenth
// of the light's range left; a flat base would only leave grey with the rims of edges drawn in).
// 50 (45 %) lifts a dark room beside a bright window well into view while the picture still reads
// as lit from where the light comes from; beyond about 80 large areas meet in one grey.
inline constexpr PositionRange kLocalCompressionRange{0, 100, 50};
// Detail: the strength of the texture in the finished picture, percent of the scene's (100: kept).
inline constexpr PositionRange kLocalDetailRange{0, 200, 100};
// Radius: the filter's spatial reach, position / 10 percent of the picture's diagonal, so that a
// setting means the same on a preview, a small file and a 24-megapixel one. 0.5 % is the smallest
// that still separates texture from light (below it the base follows the texture itself); 10 %
// already spans a room's wall. 2 % is the classic choice for this kind of filter. Steps of 0.1 %.
inline constexpr PositionRange kLocalRadiusRange{5, 100, 20};

struct LocalContrastParams {
    bool enabled = false;  // off: the render is exactly the global one
    int compressionPosition = kLocalCompressionRange.defaultPosition;
    int detailPosition = kLocalDetailRange.defaultPosition;
    int radiusPosition = kLocalRadiusRange.defaultPosition;
    bool operator==(const LocalContrastParams&) const = default;
};

// The three settings as controls: the window's track bars and labels ("50", "100 %", "2,0 %" of
// the diagonal), the CLI's --local-contrast compression=POS,detail=POS,radius=POS and recipes.
// The scales give what the labels show (radius in percent of the diagonal).
inline constexpr ParameterDescriptor kLocalContrastParameters[] = {
    {.key = "compression", .control = "TrackBarLocalCompression", .valueLabel = "LabelLocalCompressionValue",
     .minimum = kLocalCompressionRange.minimum, .maximum = kLocalCompressionRange.maximum,
     .defaultPosition = kLocalCompressionRange.defaultPosition, .label = LabelFormat::Plain},
    {.key = "detail", .control = "TrackBarLocalDetail", .valueLabel = "LabelLocalDetailValue",
     .minimum = kLocalDetailRange.minimum, .maximum = kLocalDetailRange.maximum,
     .defaultPosition = kLocalDetailRange.defaultPosition, .label = LabelFormat::SpacedPercent},
    {.key = "radius", .control = "TrackBarLocalRadius", .valueLabel = "LabelLocalRadiusValue",
     .minimum = kLocalRadiusRange.minimum, .maximum = kLocalRadiusRange.maximum,
     .defaultPosition = kLocalRadiusRange.defaultPosition, .scale = 0.1, .label = LabelFormat::OneDecimalPercent},
};
// Local contrast switched on with the settings from values by key; a key left out has its default.
LocalContrastParams localContrastParams(const ParameterValues& values);
// The three settings as values by key (whether it is on is not among them).
ParameterValues localContrastValues(const LocalContrastParams& params);

// Positions outside their ranges are held at the nearest end.
LocalContrastParams clampedLocalContrast(const LocalContrastParams& params);

// The filter's fixed range reach, in natural-log units of brightness: edges stronger than about
// 2.5 of it (2.7 x) are kept out of the base's smoothing; texture weaker than it goes to detail.
inline constexpr float kLocalRangeSigma = 0.4f;

// Everything the operator needs from the whole picture: the blurred bilateral grid of the stack's
// log brightness, the base's brightest level, and a sparse sample of (base, detail) pairs from
// which each render finds how far to lower the picture so that boosted texture stays below white.
// Depends on the stack's samples, stackMax and the radius only; the other settings are applied
// per render. Immutable once built, so several renders (and threads) may share it.
class LocalContrastModel {
public:
    int imageWidth() const { return imageWidth_; }
    int imageHeight() const { return imageHeight_; }
    float stackMax() const { return stackMax_; }
    int radiusPosition() const { return radiusPosition_; }
    float cellSize() const { return cellSize_; }       // pixels per grid cell (the spatial sigma)
    int gridWidth() const { return gridWidth_; }
    int gridHeight() const { return gridHeight_; }
    int gridLevels() const { return gridLevels_; }
    float brightestBase() const { return brightestBase_; }  // natural log of the base's largest value
    std::size_t sampleCount() const { return samples_.size() / 2; }
    std::size_t bytes() const { return (grid_.size() + samples_.size()) * sizeof(float) + sizeof(*this); }

    // Whether it was built for a stack of this size, stackMax and radius. The caller still
    // builds a new one when the stack's samples change (an exposure added or removed).
    bool builtFor(const FloatImage& stack, float stackMax, int radiusPosition) const;

    // The log brightness the operator works on: ln(min(m / stackMax, 256) + 2^-17), m the largest
    // of 0 and the three samples. Computed with the operator's own log (within 2e-7 of the exact).
    float logBrightness(const float* pixel) const;
    // The base layer at picture pixel (x, y) for a pixel of log brightness l: the grid's
    // trilinear interpolation, weights and weighted sums interpolated separately and divided;
    // l itself where no splatted pixel comes near in place and level (the weight is 0).
    float base(int x, int y, float l) const;

private:
    friend std::shared_ptr<const LocalContrastModel> buildLocalContrastModel(const FloatImage&, float, int,
                                                                             ProgressSink&);
    friend class LocalContrastMapping;

    int imageWidth_ = 0;
    int imageHeight_ = 0;
    float stackMax_ = 1.0f;
    int radiusPosition_ = 0;
    float cellSize_ = 1.0f;
    float inverseCell_ = 1.0f;
    int gridWidth_ = 0;
    int gridHeight_ = 0;
    int gridLevels_ = 0;
    float brightestBase_ = 0.0f;
    // (weighted sum of l, weight) per cell; cell (gx, gy, gz) at ((gy * gridWidth + gx) * gridLevels + gz) * 2.
    std::vector<float> grid_;
    // (base, detail) of every pixel of a fixed lattice, row by row.
    std::vector<float> samples_;
};

// Builds the model from the whole stack: one pass over its rows (progress advances once per row,
// imageHeight steps) splatting every pixel, or one in up to 16 where cells are 8 pixels or more,
// then the small grid's blur. Cost and memory do not grow with the radius, nor the memory with
// the picture: the grid has at most about a million cells (7.5 MB) at the smallest radius.
std::shared_ptr<const LocalContrastModel> buildLocalContrastModel(const FloatImage& stack, float stackMax,
                                                                  int radiusPosition, ProgressSink& progress);

// The per-render constants: the model with the compression, detail and the render's gamma and
// saturation positions. Per pixel, with base b (its log), detail d = l - b and anchor A (the
// brightest base): the new log is A + keep (b - A) + keep (d - t) + gain t, t = d / (1 + |d| / 0.4)
// the texture-sized part of the detail (the rest only edge rims carry, and it goes with the base
// so that rims stay between the two sides' levels). The render's gamma and saturation flatten
// local contrast (by their log-slope, 1 / gamma and 1 / (n k + 1)); the texture is handed to them
// scaled by Detail and by the inverse of that slope (at most 4 x, never below 1 x), so it reaches
// the picture at the Detail strength however far those two stages compress the light. The
// picture is then lowered, never raised, by as much as the operator lifts the 99th percentile of
// a lattice of pixels above where it was (or white): boosted texture does not pile up at white.
class LocalContrastMapping {
public:
    LocalContrastMapping(std::shared_ptr<const LocalContrastModel> model, const LocalContrastParams& params,
                         int gammaPosition, int saturationPosition);

    const LocalContrastModel& model() const { return *model_; }
    float compression() const { return compression_; }
    float detail() const { return detail_; }
    float lowering() const { return lowering_; }  // natural log of how far the picture was lowered

    // Maps `count` pixels of stack row y starting at column x into `out` (3 floats a pixel).
    // The result of a pixel depends on the pixel, its position and the model only.
    void mapPixels(const float* in, int x, int y, int count, float* out) const;

private:
    float detailGain(float baseAfter) const;

    std::shared_ptr<const LocalContrastModel> model_;
    float anchor_ = 0.0f;       // the brightest base: it stays where it was
    float compression_ = 0.0f;  // share of the base's log distance to the anchor taken away
    float keep_ = 1.0f;         // 1 - compression
    float detail_ = 1.0f;
    float inverseGamma_ = 1.0f;  // 1 / e, the gamma stage's flattening undone
    float saturation_ = 0.0f;    // k
    float lowering_ = 0.0f;
};

// The operator alone over a region: writes into `out` the stack samples the render will map, in
// the stack's own units. Samples outside the region are left as they were. Progress: one per row.
void localContrastRegion(const FloatImage& stack, const LocalContrastMapping& mapping, const Region& region,
                         FloatImage& out, ProgressSink& progress);

namespace detail {
// The operator's log and exp: a handful of IEEE operations each, written so that the compiler can
// run them over whole vectors with the same results sample by sample. Relative error below 3e-7.
float localLog(float x);   // for x in [2^-17, 512]
float localExp(float x);   // for any x; held within [e^-80, e^80]
}  // namespace detail

}  // namespace sv
