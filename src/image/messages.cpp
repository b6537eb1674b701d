#include "image/messages.h"

#include <cerrno>
#include <cstring>

namespace sv {

WriteError writeErrorFromErrno(int code) {
    WriteError e;
    e.code = code;
    switch (code) {
        case ENOSPC:
        case EDQUOT: e.reason = WriteFailure::NoSpace; break;
        case EACCES:
        case EPERM: e.reason = WriteFailure::PermissionDenied; break;
        case EROFS: e.reason = WriteFailure::ReadOnlyFileSystem; break;
        case EISDIR: e.reason = WriteFailure::IsDirectory; break;
        case ENOENT:
        case ENOTDIR: e.reason = WriteFailure::NoSuchFolder; break;
        case EFBIG: e.reason = WriteFailure::FileTooLarge; break;
        case ENAMETOOLONG: e.reason = WriteFailure::NameTooLong; break;
        case ELOOP: e.reason = WriteFailure::TooManyLinks; break;
        case ENOMEM: e.reason = WriteFailure::NotEnoughMemory; break;
        default: e.reason = WriteFailure::System; break;
    }
    return e;
}

const char* englishReason(WriteFailure reason) {
    switch (reason) {
        case WriteFailure::None: return "no error";
        case WriteFailure::NoSpace: return "no space left on the device";
        case WriteFailure::PermissionDenied: return "permission denied";
        case WriteFailure::ReadOnlyFileSystem: return "the file system is read-only";
        case WriteFailure::NotRegularFile: return "it is not a regular file";
        case WriteFailure::IsDirectory: return "it is a folder";
        case WriteFailure::NoSuchFolder: return "the folder does not exist";
        case WriteFailure::FileTooLarge: return "the file is too large";
        case WriteFailure::NameTooLong: return "the file name is too long";
        case WriteFailure::TooManyLinks: return "too many symbolic links";
        case WriteFailure::NotEnoughMemory: return "not enough memory";
        case WriteFailure::NothingToWrite: return "there is no picture to write";
        case WriteFailure::TooLargeForTiff: return "the picture is too large for a TIFF file";
        case WriteFailure::JpegEncoderMissing: return "the JPEG encoder cjpeg was not found";
        case WriteFailure::JpegEncoderFailed: return "the JPEG encoder failed";
        case WriteFailure::JpegEncoderWroteNothing: return "the JPEG encoder wrote nothing";
        case WriteFailure::MetadataNotWritten: return "the metadata could not be added";
        case WriteFailure::EncodingFailed: return "the picture could not be encoded";
        case WriteFailure::System: return "system error";
    }
    return "";
}

std::string englishText(const WriteError& e) {
    std::string text;
    if (e.reason == WriteFailure::System) {
        // strerrordesc_np is never translated, whatever the locale says.
        const char* description = e.code ? strerrordesc_np(e.code) : nullptr;
        const char* name = e.code ? strerrorname_np(e.code) : nullptr;
        text = description ? description : englishReason(e.reason);
        if (name) text += std::string(" (") + name + ")";
    } else {
        text = englishReason(e.reason);
    }
    if (!e.detail.empty()) text += ": " + e.detail;
    return text;
}


Message cannotWrite(WriteError error) {
    Message m(MessageId::CannotWrite, error.code);
    m.write = std::move(error);
    return m;
}

std::string englishText(const Message& m) {
    switch (m.id) {
        case MessageId::NotEnoughMemory: return "Not enough memory!";
        case MessageId::WrongImageSize: return "Wrong image size!";
        case MessageId::TooManyImages: return "Too many images!";
        case MessageId::TiffCompression: return "TIFF error. Not supported compression type.";
        case MessageId::TiffPredictor: return "TIFF error. Compression with predictor is not supported.";
        case MessageId::TiffError: return "TIFF error #" + std::to_string(m.code);
        case MessageId::CannotReadFile: return "Cannot read the picture " + m.detail + ".";
        case MessageId::UnsupportedFileType: return "Unsupported file type: " + m.detail;
        case MessageId::FileChanged:
            return "The file " + m.detail + " no longer matches the project; nothing was removed.";
        case MessageId::NoExposureSelected: return "Choose image to be removed.";
        case MessageId::IncompleteFile:
            return "The picture is incomplete (its data end too early) and was not used: " + m.detail;
        case MessageId::NotRegularFile: return "Not a regular file, so it was not read: " + m.detail;
        case MessageId::CannotWrite: return englishText(m.write);
        case MessageId::RawNotReadable: return "This camera raw file cannot be read: " + m.detail;
        case MessageId::DamagedFile: return "The picture is damaged and was not used: " + m.detail;
        case MessageId::ImagesMayBeRotated:
            return "The images may be rotated or the camera moved: check the difference view.";
        case MessageId::NoPictureOpen: return "No picture has been opened.";
        case MessageId::RecipeNotReadable: return "Cannot read the recipe: " + m.detail;
        case MessageId::RecipeNotJson: return "The recipe is not a valid JSON file: " + m.detail;
        case MessageId::RecipeVersion: return "Unknown recipe version: " + m.detail;
        case MessageId::RecipeUnknownKey: return "Unknown key in the recipe: " + m.detail;
        case MessageId::RecipeMissingKey: return "Missing key in the recipe: " + m.detail;
        case MessageId::RecipeWrongType: return "Wrong type of value in the recipe: " + m.detail;
        case MessageId::RecipeOutOfRange: return "Value out of range in the recipe: " + m.detail;
    }
    return {};
}

}  // namespace sv
