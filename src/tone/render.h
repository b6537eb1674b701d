#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/display_bitmap.h"
#include "image/float_image.h"
#include "image/parameters.h"
#include "image/progress.h"
#include "image/region.h"
#include "tone/local_contrast.h"

namespace sv {

// Input and output levels of the tone curve: 0 .. kCurveLevels - 1.
inline constexpr int kCurveLevels = 32768;
inline constexpr int kHistogramBins = 215;

// Entry x = x: the straight curve.
std::vector<float> identityCurveTable();

// What the render reads from the controls when it starts (a snapshot): the integer track-bar
// positions, scaled where they are used, and a copy of the curve table.
struct RenderParams {
    int gammaPosition = 100;      // TrackBar11, 1..400: gamma = position / 100
    int saturationPosition = 0;   // TrackBar10, -99..300: saturationFactor = position / 100
    int whitePosition = 255;      // TrackBar12, 0..255
    int blackPosition = 0;        // TrackBar13, 0..255
    std::vector<float> curveTable = identityCurveTable();  // kCurveLevels entries, 0..32767
    LocalContrastParams localContrast;  // off by default: the render is the global one
};

// The positions of the render's track bars. The saturation label shows the factor plus one.
inline constexpr ParameterDescriptor kRenderParameters[] = {
    {.key = "gamma", .control = "TrackBar11", .valueLabel = "Label24", .minimum = 1, .maximum = 400, .defaultPosition = 100, .scale = 0.01,
     .label = LabelFormat::TwoDecimals},
    {.key = "saturation", .control = "TrackBar10", .valueLabel = "Label23", .minimum = -99, .maximum = 300, .defaultPosition = 0,
     .scale = 0.01, .label = LabelFormat::TwoDecimals, .labelOffset = 100},
    {.key = "white", .control = "TrackBar12", .minimum = 0, .maximum = 255, .defaultPosition = 255,
     .scale = 1.0 / 255, .label = LabelFormat::Plain},
    {.key = "black", .control = "TrackBar13", .minimum = 0, .maximum = 255, .defaultPosition = 0,
     .scale = 1.0 / 255, .label = LabelFormat::Plain},
};
// The positions from values by key; the curve stays the straight one.
RenderParams renderParams(const ParameterValues& values);

// The render parameters as the arithmetic uses them, each a 32-bit float.
struct RenderConstants {
    float e = 1.0f;  // gamma exponent, 1 / gamma
    float w = 1.0f;  // white point, 0..1
    float b = 0.0f;  // black point, 0..1
    float f = 1.0f;  // stretch factor 1 / (w - b); infinite when the points coincide
    float k = 0.0f;  // saturationFactor
};
RenderConstants renderConstants(const RenderParams& params);

// The stretch between the black and white points of one curve-and-gamma value t: f x t - f x b,
// held to 0..1 (not a number: 0). Equal points have no finite slope: their limit, a step at b.
inline float stretchedLevel(float t, const RenderConstants& c) {
    if (!std::isfinite(c.f)) return t > c.b ? 1.0f : 0.0f;
    float o = c.f * t - c.f * c.b;
    if (o >= 1.0f) o = 1.0f;
    if (!(o >= 0.0f)) o = 0.0f;
    return o;
}

using HistogramBins = std::array<std::int64_t, kHistogramBins>;

// The histogram of the last render's region.
struct RenderHistogram {
    HistogramBins histogram{};
    std::int64_t histogramPeak = 0;
};

// Bins lo = B * 215 / 255 + 1 to hi = W * 215 / 255 - 2 (integer division) hold the pixels the
// stretch does not clip; the largest of them scales the histogram's bars. 0 when lo > hi.
std::int64_t histogramPeak(const HistogramBins& histogram, int whitePosition, int blackPosition);

// The bin of a pixel: trunc(215 x (tR + tG + tB) / 3), the sum taken left to right, held to
// 0 .. 214 (a value of 1 or more, which the render's t never reaches, counts in the last bin).
inline int histogramBin(float tR, float tG, float tB) {
    float b = 215.0f * ((tR + tG) + tB) / 3.0f;
    b = b > 0.0f ? b : 0.0f;
    b = b < 214.0f ? b : 214.0f;
    return static_cast<int>(b);
}

// Tone-maps the region of the stack into processedBuffer (samples 0..1) and counts its histogram.
// Samples outside the region are left as they were. Advances the progress by one per row; the
// caller sets the gauge up (two passes: this and drawRegion) and returns it to rest.
// White point equal to black point: the stretch becomes a step at the black point (1 above it,
// 0 at or below it) instead of dividing by zero.
void renderRegion(const FloatImage& stackBuffer, float stackMax, const Region& region, const RenderParams& params,
                  FloatImage& processedBuffer, RenderHistogram& result, ProgressSink& progress);

// The same with local contrast: when params.localContrast is enabled, each pixel's stack samples
// first go through the local contrast operator, then through the render above. `model` is the
// one built from the whole stack for this stackMax and radius (the window keeps it between
// previews); when it is null or was built for another size, stackMax or radius, one is built here
// from the whole stack (without progress). Either way a region gets exactly the pixels a render of
// the whole picture gets there. With local contrast off, `model` is not read.
void renderRegion(const FloatImage& stackBuffer, float stackMax, const Region& region, const RenderParams& params,
                  const std::shared_ptr<const LocalContrastModel>& model, FloatImage& processedBuffer,
                  RenderHistogram& result, ProgressSink& progress);

// Writes the region of a picture whose samples lie in 0..1 into the display bitmap, one 32-bit word
// per pixel: (trunc(R * 255) << 16) | (trunc(G * 255) << 8) | trunc(B * 255). Samples outside 0..1
// are held at 0 and 255. Advances the progress by one per row. The bitmap must have the picture's size.
void drawRegion(const FloatImage& picture, const Region& region, DisplayBitmap& display, ProgressSink& progress);

// The whole picture drawn into a new display bitmap of its size (what BMP, JPEG and the clipboard take).
DisplayBitmap drawPicture(const FloatImage& picture, ProgressSink& progress);

namespace detail {
// For tests: 2 lets the render and the curve use AVX2 where the processor has it, 1 keeps them to
// SSE, 0 also draws display rows without SIMD. The results are the same at every level.
void limitToneSimd(int level);
int toneSimdLevel();
// For tests: regions of at least this many pixels are written with streaming stores (0: the default).
void setToneStreamingPixels(std::int64_t pixels);
}  // namespace detail

}  // namespace sv
