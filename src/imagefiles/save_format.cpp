#include "imagefiles/save_format.h"

#include "imagefiles/picture_decoder.h"

namespace sv {

std::optional<SaveFormat> saveFormatFromEntry(int entry) {
    switch (entry) {
        case 1: return SaveFormat::Tiff;
        case 2: return SaveFormat::Jpeg;
        case 3: return SaveFormat::Bmp;
        default: return std::nullopt;
    }
}

std::string defaultExtensionAfterSave(SaveFormat format, bool bySaveAs, const std::string& current) {
    if (format == SaveFormat::Jpeg) return "*.jpg";
    if (format == SaveFormat::Bmp && bySaveAs) return "*.bmp";
    return current;
}

std::optional<SaveFormat> saveFormatFromName(std::string_view name) {
    if (name == "tiff" || name == "tif") return SaveFormat::Tiff;
    if (name == "jpeg" || name == "jpg") return SaveFormat::Jpeg;
    if (name == "bmp") return SaveFormat::Bmp;
    if (name == "png") return SaveFormat::Png;
    return std::nullopt;
}

std::optional<SaveFormat> saveFormatFromExtension(std::string_view path) {
    switch (formatFromPath(path)) {
        case PictureFormat::Tiff: return SaveFormat::Tiff;
        case PictureFormat::Jpeg: return SaveFormat::Jpeg;
        case PictureFormat::Bmp: return SaveFormat::Bmp;
        case PictureFormat::Png: return SaveFormat::Png;
        default: return std::nullopt;
    }
}

}  // namespace sv
