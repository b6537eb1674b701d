#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/atomic_file.h"
#include "image/float_image.h"
#include "image/progress.h"

namespace sv {

// Saving the merged HDR itself for other programs: the stack divided by stackMax, the picture
// every view and render starts from, as linear sRGB floats.
enum class HdrFormat { Exr, Radiance, FloatTiff, Pfm };

// "exr", "hdr", "tiff" (or "tif"), "pfm"; and the format a file name suggests (.exr, .hdr,
// .tif/.tiff, .pfm, compared lower-cased).
std::optional<HdrFormat> hdrFormatFromName(std::string_view name);
std::optional<HdrFormat> hdrFormatFromExtension(std::string_view path);

struct HdrSaveOptions {
    HdrFormat format = HdrFormat::Exr;
    bool exrHalf = false;  // OpenEXR with 16-bit half samples instead of 32-bit floats
};

// The stack divided by stackMax, sample by sample (one scratch picture). Throws std::bad_alloc.
FloatImage normalisedStack(const FloatImage& stack, float stackMax, ProgressSink& progress);

// Saves the stack divided by stackMax in the chosen format, atomically: the target holds either
// the whole new file or what it held before. False with `error` set when anything fails.
bool saveHdr(const std::string& path, const FloatImage& stack, float stackMax, const HdrSaveOptions& options,
             ProgressSink& progress, WriteError& error);

// The writers, each over a picture of linear values (samples are written as they are).
//   OpenEXR: R, G, B, ZIP compression, float or half, sRGB's chromaticities (Rec. 709 primaries,
//   D65 white) in the header.
bool writeExr(const std::string& path, const FloatImage& picture, bool half, ProgressSink& progress, WriteError& error);
//   Radiance RGBE: run-length scan lines (flat ones for widths under 8 or over 32767, as the
//   format wants), sRGB's primaries in the header.
bool writeRadiance(const std::string& path, const FloatImage& picture, ProgressSink& progress, WriteError& error);
//   TIFF with 32-bit IEEE float samples (SampleFormat 3), Deflate strips of at most 500,000 bytes,
//   and a linear-sRGB ICC profile.
bool writeFloatTiff(const std::string& path, const FloatImage& picture, ProgressSink& progress, WriteError& error);

// One Radiance RGBE pixel (the usual encoding: the largest channel's exponent, mantissas below
// 256); 0, 0, 0, 0 below 1e-32.
void floatToRgbe(float r, float g, float b, std::uint8_t out[4]);
// One scan line's component run-length coded as Radiance writes it (runs of at least 4 equal
// bytes, at most 127; literal stretches of at most 128).
void appendRunLengthComponent(const std::uint8_t* bytes, int count, std::vector<std::uint8_t>& out);

}  // namespace sv
