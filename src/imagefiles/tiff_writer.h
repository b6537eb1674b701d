#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/atomic_file.h"
#include "image/float_image.h"
#include "image/progress.h"
#include "imagefiles/exif_metadata.h"

namespace sv {

enum class TiffCompressionChoice { None = 0, Deflate = 1 };

// The strip plan of a written TIFF (integer arithmetic, truncating).
struct TiffStripPlan {
    std::uint64_t bytesPerRow = 0;  // W x 3 x B / 8
    std::uint32_t rowsPerStrip = 0; // 500000 / bytes per row, at least 1 for very wide rows
    std::uint32_t strips = 0;       // ceiling of H / RowsPerStrip
};
TiffStripPlan tiffStripPlan(int width, int height, int bits);

// Offset of the first strip: header (8), BitsPerSample (6), "Sombrel" (7), entry count (2),
// 12 entries (144), next-directory offset (4).
inline constexpr std::uint32_t kTiffFirstStripOffset = 171;

// Builds the whole file in memory: 8 or 16 bits per sample, uncompressed or Deflate (each strip one
// zlib stream at the default level, compressed on all cores; the bytes do not depend on the number
// of threads). Samples above 1 are written as 1; samples below 0 (and NaN) as 0. Progress advances
// once per row. Throws std::length_error when the file would pass the 4 GiB reach of TIFF offsets.
std::vector<std::uint8_t> encodeTiff(const FloatImage& source, int bits, TiffCompressionChoice compression,
                                     ProgressSink& progress);

// encodeTiff, then saved in one piece through an AtomicFile (the name is checked before the
// encoding starts). False with `error` set when anything fails; the target is then untouched.
bool writeTiff(const std::string& fileName, const FloatImage& source, int width, int height, int bits,
               TiffCompressionChoice compression, ProgressSink& progress, WriteError& error);
// The same with the reason as one line of English.
bool writeTiff(const std::string& fileName, const FloatImage& source, int width, int height, int bits,
               TiffCompressionChoice compression, ProgressSink& progress, std::string& error);
// The same layout with the EXIF and ICC profile of `metadata` added to its directory (Exiv2
// rewrites the file around the strips); without metadata exactly writeTiff.
bool writeTiff(const std::string& fileName, const FloatImage& source, int width, int height, int bits,
               TiffCompressionChoice compression, const OutputMetadata* metadata, ProgressSink& progress,
               WriteError& error);

}  // namespace sv
