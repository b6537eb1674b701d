#pragma once

#include <string>

#include "image/atomic_file.h"
#include "image/display_bitmap.h"
#include "imagefiles/exif_metadata.h"

namespace sv {

// Where the JPEG encoder `cjpeg` lives: next to the program if it is there, else the first
// executable `cjpeg` on PATH. Empty when there is none.
std::string locateJpegEncoder(const std::string& programFolder);

// Saves the display bitmap as a JPEG through the external encoder: the bitmap goes to a fresh
// private temporary 24-bit BMP (created exclusively under a unique name), `encoder -quality Q`
// runs on it directly (no shell) with its standard output in the temporary file of an AtomicFile
// for `target`, which replaces the target only when the encoder succeeded and wrote something.
// The temporary BMP is always deleted. False with `error` set when the target cannot be written
// or the encoder is missing, fails or writes nothing.
bool saveJpeg(const DisplayBitmap& bitmap, const std::string& target, int quality, const std::string& encoder,
              WriteError& error);
// The same with the reason as one line of English.
bool saveJpeg(const DisplayBitmap& bitmap, const std::string& target, int quality, const std::string& encoder,
              std::string& error);
// The same, and with `metadata` its EXIF and ICC profile are added to what the encoder wrote
// before the target is replaced.
bool saveJpeg(const DisplayBitmap& bitmap, const std::string& target, int quality, const std::string& encoder,
              const OutputMetadata* metadata, WriteError& error);

}  // namespace sv
