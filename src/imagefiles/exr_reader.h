#pragma once

#include <cstddef>
#include <string>

#include "image/progress.h"
#include "imagefiles/picture_decoder.h"

namespace sv {

// Opens an OpenEXR file held in memory as HDR input (OpenEXR's core library: half, float and
// unsigned samples, scan lines or tiles, every compression). The first part's data window is the
// picture; its R, G and B channels are read (a missing one stays 0), or Y for a grey picture.
// The samples take the Radiance reader's scale, (s / M x 10)^0.4 with M the largest. The
// exposure attributes expTime, aperture, isoSpeed and capDate become the exposure's EXIF values.
DecodedPicture decodeExrMemory(const unsigned char* data, std::size_t size, const std::string& name,
                               const DecodeHooks& hooks, ProgressSink& progress);

}  // namespace sv
