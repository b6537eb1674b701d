#pragma once

#include <string>

#include "image/atomic_file.h"
#include "image/float_image.h"

namespace sv {

// Standard little-endian PFM: "PF", width height, "-1.0", rows bottom to top. Written atomically.
bool writePfm(const std::string& path, const FloatImage& image, std::string& error);
bool writePfm(const std::string& path, const FloatImage& image, WriteError& error);

}  // namespace sv
