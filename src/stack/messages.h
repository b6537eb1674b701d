#pragma once

#include <cstdint>
#include <string>

namespace sv {

// What the engine has to tell the user. The window turns these into texts of the language in
// force; the CLI prints englishText().
enum class MessageId {
    NotEnoughMemory,       // "Not enough memory!"
    WrongImageSize,        // "Wrong image size!"
    TooManyImages,         // "Too many images!"
    TiffCompression,       // "TIFF error. Not supported compression type."
    TiffPredictor,         // "TIFF error. Compression with predictor is not supported."
    TiffError,             // "TIFF error #" + code
    CannotReadFile,        // the file is missing, unreadable or not a picture of its kind
    UnsupportedFileType,   // the extension is none of the known ones
    FileChanged,           // a file re-read for removal no longer has the project's size
    NoExposureSelected,    // "Choose image to be removed."
    IncompleteFile,        // the picture's data end before the whole picture; + file name
    NotRegularFile,        // a FIFO, device or folder given as a picture; + file name
    RawNotReadable,        // a camera raw file the raw decoder cannot read; + file name and camera
    DamagedFile,           // a picture whose data are damaged (bad checksum, undecodable); + file name
    ImagesMayBeRotated,    // automatic alignment found no shift that explains the pair
};

struct Message {
    Message(MessageId id, int code = 0, std::string detail = {}) : id(id), code(code), detail(std::move(detail)) {}
    MessageId id;
    int code = 0;          // the TIFF error number for TiffError
    std::string detail;    // file name or reason, for the messages that carry one
    // NotEnoughMemory, when a check refused the work: the bytes it needed and the bytes that
    // were available (both 0 when the refusal came from the allocator itself).
    std::uint64_t bytesNeeded = 0;
    std::uint64_t bytesAvailable = 0;
};

std::string englishText(const Message& message);

}  // namespace sv
