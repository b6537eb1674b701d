#pragma once

#include <cfloat>
#include <cstdint>

#include "image/display_bitmap.h"
#include "image/float_image.h"

namespace sv {

// The gamma correction offered for 16/32-bit TIFFs and camera raw files, which usually hold linear
// values: (0.04 x s)^0.4 for every sample. A negative sample has no real power: it takes the
// curve's value at 0 instead of NaN.
void applyGammaCorrection(FloatImage& pixels);

// A sample of a floating-point HDR file (OpenEXR, PFM) as opening takes it: not a number and
// negative values (colours outside the primaries) count as 0, and infinity is held at the largest
// float, as the Radiance reader holds its overflowing samples.
inline float finiteHdrSample(float v) {
    if (!(v > 0.0f)) return 0.0f;
    return v > FLT_MAX ? FLT_MAX : v;
}

// The display byte of an HDR file's sample on the Radiance reader's scale, whose samples are 256
// times the usual value: 256 x v truncated, held at 255.
inline std::uint32_t hdrDisplayChannel(float v) {
    const float scaled = v * 256.0f;
    if (!(scaled > 0.0f)) return 0;
    return scaled >= 255.0f ? 255u : static_cast<std::uint32_t>(scaled);
}

// The value scale of HDR input: every sample s becomes (s / M x 10)^0.4 with M the largest
// sample, so the brightest becomes 10^0.4. M = 0 (an all-black file) leaves the picture black.
void normaliseHdrSamples(FloatImage& pixels, float largest);

// For readers that have put a float HDR file's own samples into `pixels`: makes every sample
// finite (finiteHdrSample), draws the display bitmap from them, and normalises by their largest.
void finishHdrPicture(FloatImage& pixels, DisplayBitmap& bitmap);

}  // namespace sv
