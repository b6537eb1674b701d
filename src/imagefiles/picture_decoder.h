#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "image/display_bitmap.h"
#include "image/float_image.h"
#include "image/progress.h"
#include "stack/messages.h"

namespace sv {

enum class PictureFormat { Unknown, Bmp, Jpeg, Tiff, Rgbe };

// The decoder is chosen by the lower-cased extension: .bmp, .jpg/.jpeg, .tif/.tiff, .hdr.
PictureFormat formatFromPath(std::string_view path);

// How a decode talks to whoever opened the file: the engine never shows a box itself.
struct DecodeHooks {
    bool batch = false;           // one of several files chosen together
    bool alwaysAskGamma = false;  // removal asks the gamma question even for batch files
    // The gamma question for 16/32-bit TIFF; an empty function answers Yes.
    std::function<bool()> askGamma;
    // Notices that do not stop the open: TIFF predictor, compression, "TIFF error #n".
    std::function<void(const Message&)> notify;
};

// Whether a 16/32-bit TIFF is gamma-corrected: asked unless the file came in a batch.
bool chooseGammaCorrection(const DecodeHooks& hooks);
void notifyUser(const DecodeHooks& hooks, const Message& message);

struct DecodedPicture {
    bool ok = false;          // false: nothing usable; `failure` says why
    Message failure{MessageId::CannotReadFile};
    bool outOfMemory = false; // the size was readable but the buffers would not fit
    int probedWidth = 0;      // the size the header claims, when it could be read
    int probedHeight = 0;
    FloatImage pixels;        // samples in the value scale of opening (8-bit v / 256, ...)
    DisplayBitmap bitmap;     // the same picture as 32-bit words, for the view
    bool readerError = false; // the TIFF reader reported an error; pixels hold what it left
};

// Decodes a whole picture. The progress sink advances once per converted row.
DecodedPicture decodePicture(const std::string& path, const DecodeHooks& hooks, ProgressSink& progress);

// Format-specific decoders, used by decodePicture.
DecodedPicture decodeBmpFile(const std::string& path, ProgressSink& progress);
DecodedPicture decodeJpegFile(const std::string& path, ProgressSink& progress);
DecodedPicture decodeTiffPicture(const std::string& path, const DecodeHooks& hooks, ProgressSink& progress);
DecodedPicture decodeRgbePicture(const std::string& path, const DecodeHooks& hooks, ProgressSink& progress);

// In-memory variants (the fuzz targets and the decoders above share them).
DecodedPicture decodeBmpMemory(const unsigned char* data, std::size_t size, ProgressSink& progress);
DecodedPicture decodeJpegMemory(const unsigned char* data, std::size_t size, ProgressSink& progress);

// Obtains the float picture and the bitmap of a decoded size, after checking that they fit in
// memory; on failure sets out.failure (and outOfMemory) and returns false.
bool preparePicture(DecodedPicture& out, int width, int height, const std::string& name);

// Fills `pixels` (v / 256) from a 32-bit bitmap, zeroing its unused top byte; one step per row.
void floatsFromBitmap(DisplayBitmap& bitmap, FloatImage& pixels, ProgressSink& progress);
// The same for rows [firstRow, endRow) on the calling thread, without progress.
void floatsFromBitmapRows(DisplayBitmap& bitmap, FloatImage& pixels, int firstRow, int endRow);

// Reads a whole file; false when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string& contents);

std::string fileNameOf(std::string_view path);

}  // namespace sv
