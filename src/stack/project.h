#pragma once

#include <array>
#include <string>

#include "image/float_image.h"
#include "image/region.h"
#include "imagefiles/exposure_exif.h"

namespace sv {

inline constexpr int kMaxExposures = 100;
inline constexpr int kMultiplierTenthsDefault = 10;

// One opened picture: how it was merged into the stack, and where to read it again.
struct ExposureRecord {
    float multiplier = 1.0f;
    std::string path;
    int shiftX = 0;  // stack pixel (x, y) receives the exposure's pixel (x - shiftX, y - shiftY)
    int shiftY = 0;
    // How a 16/32-bit TIFF was read when opened (gamma-corrected or not); reading the file again
    // for ghost removal uses it instead of asking.
    bool tiffGamma = true;
    // Shutter, aperture, ISO, bias and time as the file recorded them (empty when it had none).
    ExposureExif exif;
};

// The state of the current project, shared by every subsystem. The window owns one.
struct Project {
    int imageWidth = 0;
    int imageHeight = 0;
    int exposureCount = 0;
    std::array<ExposureRecord, kMaxExposures> exposures{};
    float stackMax = 1.0f;
    int multiplierTenths = kMultiplierTenthsDefault;
    Region previewRect;
    bool buffersAllocated = false;
    bool wholeImageProcessed = false;
    bool openInProgress = false;

    FloatImage stackBuffer;      // weighted sum of the exposures, unbounded
    FloatImage newImageBuffer;   // the picture opened last; later the filters' working/undo copy
    FloatImage processedBuffer;  // the tone-mapped picture, samples in 0..1
    FloatImage processedCopy;    // output of every filter and colour operation

    ExposureRecord& newestExposure() { return exposures[static_cast<std::size_t>(exposureCount - 1)]; }
};

// Empties the project: no exposures, size 0 x 0, buffers released.
void resetProject(Project& project);

// Releases the four working buffers if they exist.
void releaseBuffers(Project& project);

// The 320 x 240 rectangle centred on a picture, cut to the picture.
Region centredPreviewRect(int imageWidth, int imageHeight);

// Multiplier of the new image in tenths (1..100); returns the new multiplier text ("1.0").
std::string stepMultiplier(Project& project, bool up);
std::string multiplierText(int tenths);

}  // namespace sv
