#pragma once

#include <cstddef>
#include <cstdint>

#include "image/display_bitmap.h"
#include "image/float_image.h"
#include "image/progress.h"
#include "imagefiles/picture_decoder.h"

namespace sv {

// The Radiance header: accepted when "#?RADIANCE" is one of the first three lines and no FORMAT
// line names another format than 32-bit_rle_rgbe. Sizes come from the resolution line
// ("-Y height +X width"; the first number is the rows); 0 when it cannot be read.
struct RgbeProbe {
    bool accepted = false;
    long long width = 0;
    long long height = 0;
    std::size_t dataOffset = 0;  // first byte of the scanlines (after the resolution line's end)
};

RgbeProbe probeRgbeMemory(const unsigned char* data, std::size_t size);

struct RgbeReadResult {
    float largest = 0.0f;            // M: the largest R, G or B sample of the rows read
    int rowsRead = 0;
    bool unsupportedScanlines = false;  // the first scanline is flat or in the old run-length form
    bool complete = false;  // every row was read, each scanline covering the width
};

// The least a complete file of this size holds after its header: every scanline needs its four
// bytes of length and, for each of its four components, at least one two-byte run per 127 pixels
// (the longest run the coding has).
std::uint64_t rgbeMinimumDataBytes(long long width, long long height);

// Decodes new-form run-length scanlines into `pixels` (m x 2^(E - 128), held at the largest float) and
// `bitmap` (display words),
// both sized to the probe's width and height. Stops at the end of the data or at a scanline that is
// not in the new form; rows not read keep their contents. A scanline longer than the width is
// decoded but only its first `width` pixels are kept.
RgbeReadResult readRgbeMemory(const unsigned char* data, std::size_t size, const RgbeProbe& probe,
                              FloatImage& pixels, DisplayBitmap& bitmap, ProgressSink& progress);

// The whole opening of a Radiance file held in memory: probe, reader, and the normalisation
// (s / M x 10)^0.4. `name` is the file name the messages carry.
DecodedPicture decodeRgbeMemory(const unsigned char* data, std::size_t size, const std::string& name,
                                const DecodeHooks& hooks, ProgressSink& progress);

}  // namespace sv
