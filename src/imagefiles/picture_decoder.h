#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "image/display_bitmap.h"
#include "image/float_image.h"
#include "image/memory_budget.h"
#include "image/progress.h"
#include "image/messages.h"
#include "imagefiles/exposure_exif.h"

namespace sv {

enum class PictureFormat { Unknown, Bmp, Jpeg, Tiff, Rgbe, Png, Exr, Pfm, Raw };

// The decoder is chosen by the lower-cased extension: .bmp, .jpg/.jpeg, .tif/.tiff, .hdr, .png,
// .exr, .pfm and the camera raw extensions (rawExtensions()).
PictureFormat formatFromPath(std::string_view path);

// What a decoder knows once it has read the header, before it obtains or decodes anything.
struct PictureClaim {
    std::string name;               // the file name the messages carry
    int width = 0;
    int height = 0;
    std::uint64_t scratchBytes = 0; // what the decoder holds beside the picture while it decodes
    // The file is shorter than any complete file of this size can be (each format's own lower
    // bound), so decoding it could only give an incomplete picture.
    bool fileTooShort = false;

    // The decode's own need: the float picture, its bitmap and the decoder's scratch.
    MemoryNeed decodeNeed() const { return pictureNeed(width, height) + bytesNeed(scratchBytes); }
};

// How a decode talks to whoever opened the file: the engine never shows a box itself.
struct DecodeHooks {
    bool batch = false;           // one of several files chosen together
    bool alwaysAskGamma = false;  // removal asks the gamma question even for batch files
    // The gamma question for 16/32-bit TIFF; an empty function answers Yes.
    std::function<bool()> askGamma;
    // Notices: TIFF predictor, compression, "TIFF error #n".
    std::function<void(const Message&)> notify;
    // Asked once the header has given the size, before anything is allocated or decoded; a
    // message refuses the picture. Empty: only the decode's own memory need is checked.
    std::function<std::optional<Message>(const PictureClaim&)> admit;
};

// "Not enough memory!" about `name`, carrying the need that was refused and what was available.
Message memoryRefusal(const std::string& name, MemoryNeed need, const MemoryLimit& limit);

// The usual admission of a claimed size: the decode's own need plus `besides` (what the caller
// will hold next to it) must fit in `limit`, else "Not enough memory!"; then the file must be
// long enough for the size, else it is incomplete.
std::optional<Message> admitBySize(const PictureClaim& claim, MemoryNeed besides, const MemoryLimit& limit);

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
    bool incomplete = false;  // the data end before the whole picture; pixels hold what was there
    ExposureExif exif;        // what the file recorded about the exposure, when it says
};

// Decodes a whole picture. The progress sink advances once per converted row.
DecodedPicture decodePicture(const std::string& path, const DecodeHooks& hooks, ProgressSink& progress);

// Format-specific decoders, used by decodePicture.
DecodedPicture decodeBmpFile(const std::string& path, ProgressSink& progress);
DecodedPicture decodeJpegFile(const std::string& path, ProgressSink& progress);
DecodedPicture decodeTiffPicture(const std::string& path, const DecodeHooks& hooks, ProgressSink& progress);
DecodedPicture decodeRgbePicture(const std::string& path, const DecodeHooks& hooks, ProgressSink& progress);

// In-memory variants (the fuzz targets and the decoders above share them). `name` is the file
// name the messages carry.
DecodedPicture decodeBmpMemory(const unsigned char* data, std::size_t size, ProgressSink& progress);
DecodedPicture decodeBmpMemory(const unsigned char* data, std::size_t size, const std::string& name,
                               const DecodeHooks& hooks, ProgressSink& progress);
DecodedPicture decodeJpegMemory(const unsigned char* data, std::size_t size, ProgressSink& progress);
DecodedPicture decodeJpegMemory(const unsigned char* data, std::size_t size, const std::string& name,
                                const DecodeHooks& hooks, ProgressSink& progress);

// Asks hooks.admit (or, without one, checks the decode's own memory need) whether a picture of the
// claimed size may be decoded; a message refuses it.
std::optional<Message> admitPicture(const PictureClaim& claim, const DecodeHooks& hooks);

// Admits the claimed size (admitPicture) and obtains the float picture and the bitmap; on failure sets out.failure (and outOfMemory when
// memory was short) and returns false.
bool preparePicture(DecodedPicture& out, const PictureClaim& claim, const DecodeHooks& hooks);
// Refuses the picture for want of memory: "Not enough memory!" naming the file, and whatever
// buffers it held released.
void refuseOutOfMemory(DecodedPicture& out, const std::string& name);

// Fills `pixels` (v / 256) from a 32-bit bitmap, zeroing its unused top byte; one step per row.
void floatsFromBitmap(DisplayBitmap& bitmap, FloatImage& pixels, ProgressSink& progress);
// The same for rows [firstRow, endRow) on the calling thread, without progress.
void floatsFromBitmapRows(DisplayBitmap& bitmap, FloatImage& pixels, int firstRow, int endRow);

// Reads a whole picture file. Only regular files are read (a FIFO would block, a device never
// ends): the file is opened without blocking and checked on the open descriptor. A file larger
// than the memory available is not read. Returns why it could not be read.
std::optional<Message> readPictureFile(const std::string& path, std::string& contents);
// The same, true when the file was read.
bool readWholeFile(const std::string& path, std::string& contents);

std::string fileNameOf(std::string_view path);

}  // namespace sv
