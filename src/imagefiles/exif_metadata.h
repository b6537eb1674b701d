#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imagefiles/exposure_exif.h"

namespace sv {

// The name every saved file gives as its software.
inline constexpr const char* kSoftwareName = "Sombrel Varno";

// The exposure values of a file's EXIF (JPEG, TIFF, PNG and the camera raw files Exiv2 reads);
// empty when the file has none or cannot be parsed. Never throws.
ExposureExif readExposureExif(const unsigned char* data, std::size_t size);

// What a saved file carries when "keep metadata" is on.
struct OutputMetadata {
    std::vector<std::uint8_t> exif;        // EXIF as a little-endian TIFF structure (PNG's eXIf holds it as it is)
    std::vector<std::uint8_t> iccProfile;  // the sRGB profile
};

// The first exposure's EXIF for an output of width x height: what describes the shot (the
// camera, lens, exposure, time, GPS) is copied; the source file's own structure, its thumbnail and
// the maker's private notes are not. The orientation becomes 1 (the saved pixels stand as they are
// shown), the software this program, the pixel dimensions those of the output and the colour
// space sRGB. Values in `known` (what the raw decoder read) fill what the file's EXIF lacks, so a
// raw file Exiv2 cannot parse still gives its exposure. A source without EXIF (or gone) gives the
// software and colour space alone. The ICC profile is always the sRGB one.
OutputMetadata outputMetadata(const std::string& sourcePath, const ExposureExif& known, int width, int height);

// Adds the EXIF and the ICC profile to a whole JPEG or TIFF file held in memory (Exiv2); the
// TIFF's own structure is kept. False when the file could not be rewritten (it is then unchanged).
bool addMetadataToJpeg(std::vector<std::uint8_t>& file, const OutputMetadata& metadata);
bool addMetadataToTiff(std::vector<std::uint8_t>& file, const OutputMetadata& metadata);

// Little CMS 2 profiles, serialised: sRGB, and sRGB's primaries and white with linear curves (for
// files whose samples are linear light).
const std::vector<std::uint8_t>& srgbIccProfile();
const std::vector<std::uint8_t>& linearSrgbIccProfile();

}  // namespace sv
