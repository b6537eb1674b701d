#pragma once

#include <string>

#include "image/atomic_file.h"
#include "image/float_image.h"
#include "image/outcome.h"

namespace sv {

// Standard little-endian PFM: "PF", width height, "-1.0", rows bottom to top. Written atomically.
Failure writePfm(const std::string& path, const FloatImage& image);

}  // namespace sv
