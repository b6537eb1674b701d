#include "stack/messages.h"

namespace sv {

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
        case MessageId::RawNotReadable: return "This camera raw file cannot be read: " + m.detail;
        case MessageId::DamagedFile: return "The picture is damaged and was not used: " + m.detail;
        case MessageId::ImagesMayBeRotated:
            return "The images may be rotated or the camera moved: check the difference view.";
    }
    return {};
}

}  // namespace sv
