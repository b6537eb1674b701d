#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "imagefiles/tiff_writer.h"

namespace sv {

// The entries of the save dialog's file-type list, 1-based: the chosen entry, never the file
// name's extension, decides what is written. PNG (8 or 16 bits) is saved from the command line
// and has no entry in the list yet.
enum class SaveFormat { Tiff = 1, Jpeg = 2, Bmp = 3, Png = 4 };

// The file-type list, the same in both languages.
inline constexpr const char* kSaveDialogFilter =
    "TIFF 24/48bit (*.tif; *.tiff)|*.tif;*.tiff|JPEG 24-bit (*.jpg; *.jpeg)|*.jpg;*.jpeg|BMP 24bit (*.bmp)|*.bmp";
inline constexpr int kInitialSaveEntry = 1;
inline constexpr const char* kInitialSaveExtension = "*.tif";
inline constexpr int kDefaultJpegQuality = 95;
inline constexpr int kJpegQualityMin = 10;
inline constexpr int kJpegQualityMax = 100;

// Entry index (1-based) to format; nothing for an index outside the list.
std::optional<SaveFormat> saveFormatFromEntry(int entry);
inline int saveEntryOf(SaveFormat format) { return static_cast<int>(format); }

// The save dialog's default extension after a save: a JPEG save makes it "*.jpg", a BMP written by
// Save as "*.bmp"; a TIFF save and a BMP written by Save leave it as it was.
std::string defaultExtensionAfterSave(SaveFormat format, bool bySaveAs, const std::string& current);

// The TIFF dialog's radio groups: compression 0 none / 1 Deflate (default 1), depth 0 8-bit / 1 16-bit
// (default 0).
inline constexpr int kDefaultTiffCompressionIndex = 1;
inline constexpr int kDefaultTiffBitDepthIndex = 0;
inline TiffCompressionChoice tiffCompressionFromIndex(int index) {
    return index == 0 ? TiffCompressionChoice::None : TiffCompressionChoice::Deflate;
}
inline int tiffBitsFromIndex(int index) { return index == 1 ? 16 : 8; }

// For the command line: "tiff", "bmp", "jpeg" (or "jpg"), "png", and the format a file name
// suggests (.tif/.tiff, .bmp, .jpg/.jpeg, .png, compared lower-cased).
std::optional<SaveFormat> saveFormatFromName(std::string_view name);
std::optional<SaveFormat> saveFormatFromExtension(std::string_view path);

// The overwrite question of the save dialogs.
inline constexpr const char* kOverwriteQuestionEnglish = "The file already exists, overwrite?";
inline constexpr const char* kOverwriteQuestionPolish = "Plik już istnieje, nadpisać?";

}  // namespace sv
