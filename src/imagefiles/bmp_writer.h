#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/atomic_file.h"
#include "image/display_bitmap.h"

namespace sv {

// The display bitmap as a standard uncompressed 24-bit Windows bitmap file (rows bottom-up).
// Empty when the bitmap is empty or cannot be encoded.
std::vector<std::uint8_t> encodeBmp24(const DisplayBitmap& bitmap);

// Writes encodeBmp24 through an AtomicFile.
Failure writeBmp(const DisplayBitmap& bitmap, const std::string& path);

}  // namespace sv
