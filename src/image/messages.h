#pragma once

#include <cstdint>
#include <string>

namespace sv {

// Why a file could not be written: the data of a CannotWrite message. The window shows the reason
// in the language in force, the command line prints englishText().
enum class WriteFailure {
    None,
    NoSpace,              // ENOSPC, EDQUOT
    PermissionDenied,     // EACCES, EPERM, or an existing file we may not write
    ReadOnlyFileSystem,   // EROFS
    NotRegularFile,       // the name is a device, a pipe or a socket
    IsDirectory,          // the name is a folder
    NoSuchFolder,         // ENOENT, ENOTDIR: the folder of the name does not exist
    FileTooLarge,         // EFBIG: beyond the file system's or the process's file size limit
    NameTooLong,          // ENAMETOOLONG
    TooManyLinks,         // ELOOP
    NotEnoughMemory,
    NothingToWrite,       // no picture (or not one of the size asked for)
    TooLargeForTiff,      // past the 4 GiB reach of TIFF offsets
    JpegEncoderMissing,
    JpegEncoderFailed,    // did not start, failed or was killed; `detail` holds its first message line
    JpegEncoderWroteNothing,
    MetadataNotWritten,   // the camera's metadata or the colour profile could not be added
    EncodingFailed,       // the picture library refused to encode the picture
    System,               // any other errno, kept in `code`
};

struct WriteError {
    WriteFailure reason = WriteFailure::None;
    int code = 0;         // the errno behind the reason, when the system gave one
    std::string detail;   // the JPEG encoder's own first line of messages (English), when it gave one
};

WriteError writeErrorFromErrno(int code);
// One line of English, for the command line and for the string forms of the writers.
std::string englishText(const WriteError& error);
// The English reason alone (the fixed part, without errno or detail).
const char* englishReason(WriteFailure reason);


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
    CannotWrite,           // a file could not be written; `write` says why
    RawNotReadable,        // a camera raw file the raw decoder cannot read; + file name and camera
    DamagedFile,           // a picture whose data are damaged (bad checksum, undecodable); + file name
    ImagesMayBeRotated,    // automatic alignment found no shift that explains the pair
    NoPictureOpen,         // something needs an open project and none is open
    // A recipe file that cannot be used; `detail` names the file, the parser's words or the key
    // (with the range or type it should have).
    RecipeNotReadable,
    RecipeNotJson,
    RecipeVersion,
    RecipeUnknownKey,
    RecipeMissingKey,
    RecipeWrongType,
    RecipeOutOfRange,
};

struct Message {
    Message(MessageId id, int code = 0, std::string detail = {}) : id(id), code(code), detail(std::move(detail)) {}
    MessageId id;
    int code = 0;          // the TIFF error number for TiffError (the reader's documented error bits)
    std::string detail;    // file name or reason, for the messages that carry one
    WriteError write;      // CannotWrite: the reason, its errno and the encoder's own words
    // NotEnoughMemory, when a check refused the work: the bytes it needed and the bytes that
    // were available (both 0 when the refusal came from the allocator itself).
    std::uint64_t bytesNeeded = 0;
    std::uint64_t bytesAvailable = 0;
};

// A CannotWrite message.
Message cannotWrite(WriteError error);

std::string englishText(const Message& message);

}  // namespace sv
