#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/display_bitmap.h"

namespace sv {

// The display bitmap as a standard uncompressed 24-bit Windows bitmap file (rows bottom-up).
// Empty when the bitmap is empty or cannot be encoded.
std::vector<std::uint8_t> encodeBmp24(const DisplayBitmap& bitmap);

// Writes encodeBmp24 through a temporary file beside `path`, renamed over it when complete.
bool writeBmp(const DisplayBitmap& bitmap, const std::string& path, std::string& error);

}  // namespace sv
