#pragma once

#include <cstddef>
#include <string>

#include "image/progress.h"
#include "imagefiles/picture_decoder.h"

namespace sv {

// Opens a PNG held in memory (libpng): every colour type and bit depth, interlaced or not. Palette
// and grey pictures become RGB and an alpha channel is dropped, as for TIFF; 1- to 8-bit samples
// give v / 256 (on the 8-bit scale, like BMP and JPEG) and 16-bit samples v / 65536 (like a 48-bit
// TIFF). Only a 16-bit PNG that declares linear samples (gAMA 1.0) is offered the gamma correction
// of 48-bit TIFFs: any other PNG is already encoded for display. A file whose data end early is
// incomplete; a damaged one (a bad checksum, undecodable data) is refused.
DecodedPicture decodePngMemory(const unsigned char* data, std::size_t size, const std::string& name,
                               const DecodeHooks& hooks, ProgressSink& progress);

}  // namespace sv
