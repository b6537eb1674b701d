#pragma once

#include <cstddef>
#include <cstdint>

#include "image/display_bitmap.h"
#include "image/float_image.h"
#include "image/progress.h"
#include "imagefiles/picture_decoder.h"

namespace sv {

// What the opening code learns from a TIFF before reading it. An absent tag yields 0.
struct TiffProbe {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t compression = 0;
    std::uint32_t bitsPerSample = 0;  // of the first channel
    std::uint32_t predictor = 0;
    // For a layout the reader takes: the strip buffer it will hold, and whether any strip the
    // rows need is absent, outside the file or too short for its rows (a cut file, or no
    // StripByteCounts).
    std::uint64_t stripBufferBytes = 0;
    std::uint64_t stripCount = 0;  // strips the rows need
    bool stripsMissing = false;
};

// Float samples are held within +-kTiffSampleLimit: far beyond any real light value, and small
// enough that 100 exposures at the largest multiplier still sum to a finite stack.
inline constexpr float kTiffSampleLimit = 1e35f;

// Error bits of the reader; 0 is success.
enum TiffReadError : int {
    kTiffBitsNotAccepted = 1,         // BitsPerSample is not 8,8,8 / 16,16,16 / 32,32,32
    kTiffCompressionNotAccepted = 2,  // Compression is not 1, 8 or 32946
    kTiffSamplesNotAccepted = 4,      // SamplesPerPixel is not 3
    kTiffDamagedStrips = 8,           // strip data outside the file, missing, not inflatable or short
};

// Reads the first image directory of a TIFF held in memory. Never reads outside [data, data + size).
TiffProbe probeTiffMemory(const unsigned char* data, std::size_t size);

// Decodes the RGB strips into `pixels` (8-bit v / 256, 16-bit v / 65536, 32-bit float 2 x f) and
// `bitmap` (display words), both already sized to the probe's width and height. Returns the error
// bits. On bits 1, 2 or 4 nothing is decoded; on bit 8 the rows that could be read are there.
int readTiffMemory(const unsigned char* data, std::size_t size, FloatImage& pixels, DisplayBitmap& bitmap,
                   ProgressSink& progress);

// The same, telling apart data that are not there (the strips lie past the end of the file, are
// shorter than their rows, or the tables are missing) from data that do not decode.
struct TiffReadOutcome {
    int code = 0;
    bool incomplete = false;
};
TiffReadOutcome readTiffStrips(const unsigned char* data, std::size_t size, FloatImage& pixels, DisplayBitmap& bitmap,
                               ProgressSink& progress);

// How many strips the reader decodes side by side, each with a strip buffer of its own: one per
// core, at most one per strip.
std::size_t tiffStripWorkers(std::uint64_t strips);

namespace detail {
// The reader with at most `maxWorkers` strips at a time (0: tiffStripWorkers; 1: one buffer, the
// strips in order).
TiffReadOutcome readTiffStrips(const unsigned char* data, std::size_t size, FloatImage& pixels, DisplayBitmap& bitmap,
                               ProgressSink& progress, std::size_t maxWorkers);
}  // namespace detail

// The whole opening of a TIFF held in memory: probe, predictor notice, gamma question, reader,
// reader notices, gamma correction. `name` is the file name the messages carry.
DecodedPicture decodeTiffMemory(const unsigned char* data, std::size_t size, const std::string& name,
                                const DecodeHooks& hooks, ProgressSink& progress);

// The display byte of a decoded sample: x 255, truncated, held at 0 and 255 (NaN gives 0).
inline std::uint32_t tiffDisplayChannel(float value) {
    const float scaled = value * 255.0f;
    if (!(scaled > 0.0f)) return 0;
    if (scaled >= 255.0f) return 255;
    return static_cast<std::uint32_t>(scaled);
}

}  // namespace sv
