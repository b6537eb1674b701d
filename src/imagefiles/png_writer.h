#pragma once

#include <string>

#include "image/atomic_file.h"
#include "image/display_bitmap.h"
#include "image/float_image.h"
#include "image/progress.h"
#include "imagefiles/exif_metadata.h"

namespace sv {

// Saves PNG files through libpng, atomically (AtomicFile), at zlib's default level, not interlaced.
// With `metadata` the EXIF goes into an eXIf chunk and the ICC profile into iCCP; without it the
// file holds the picture alone.
//   8 bits: the display bitmap's bytes as they are (as BMP and JPEG take them).
//   16 bits: a float picture (the processed picture, as TIFF takes it), each sample held to 0..1
//   and scaled by 65535 with truncation, so 1.0 is full white.
// Progress advances once per row. False with `error` set when anything fails; the target is then
// untouched.
bool writePng8(const DisplayBitmap& bitmap, const std::string& path, const OutputMetadata* metadata,
               ProgressSink& progress, WriteError& error);
bool writePng16(const FloatImage& picture, const std::string& path, const OutputMetadata* metadata,
                ProgressSink& progress, WriteError& error);

// A 16-bit PNG sample of a float: held to 0..1, x 65535, truncated (NaN gives 0).
inline std::uint16_t png16Sample(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 65535;
    return static_cast<std::uint16_t>(v * 65535.0f);
}

}  // namespace sv
