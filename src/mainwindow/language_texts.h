#pragma once
// The texts of the language tables that belong to no control: the file-type lists of the picture
// dialogs (display names and patterns separated by vertical bars). Plain data, free of Qt.

namespace sv {

inline constexpr const char* kOpenFilterEnglish =
    "All supported images|*.bmp; *.jpg; *.jpeg; *.tif; *.tiff; *.hdr|"
    "TIFF 24/48/96-bit (*.tif; *.tiff)|*.tif; *.tiff|Radiance RGBE (*.hdr)|*.hdr|"
    "JPEG 24-bit (*.jpg; *.jpeg)|*.jpg; *.jpeg|BMP 24-bit (*.bmp)|*.bmp";
inline constexpr const char* kOpenFilterPolish =
    "Wszystkie obsługiwane formaty|*.bmp; *.jpg; *.jpeg; *.tif; *.tiff; *.hdr;|"
    "TIFF 24/48/96-bit (*.tif; *.tiff)|*.tif; *.tiff|Radiance RGBE (*.hdr)|*.hdr|"
    "JPEG 24-bit (*.jpg; *.jpeg)|*.jpg; *.jpeg|BMP 24-bit (*.bmp)|*.bmp";

// The save dialog's list, the same in both languages. Its entries' order decides the format.
// Spelt as the open list spells the depths ("24/48-bit", "24-bit").
inline constexpr const char* kSaveFilter =
    "TIFF 24/48-bit (*.tif; *.tiff)|*.tif;*.tiff|JPEG 24-bit (*.jpg; *.jpeg)|*.jpg;*.jpeg|BMP 24-bit (*.bmp)|*.bmp";
// The same list as it was first spelt ("24/48bit", "BMP 24bit").
inline constexpr const char* kSaveDialogFilter =
    "TIFF 24/48bit (*.tif; *.tiff)|*.tif;*.tiff|JPEG 24-bit (*.jpg; *.jpeg)|*.jpg;*.jpeg|BMP 24bit (*.bmp)|*.bmp";

// What the dialogs show before any language switch.
inline constexpr const char* kDesignOpenFilter =
    "All images (*.bmp; *.jpg; *.jpeg; *.tif; *.tiff; *.hdr)|*.bmp;*.jpg;*.jpeg;*.tif;*.tiff;*.hdr|"
    "TIFF (*.tif; *.tiff)|*.tif;*.tiff|Radiance (*.hdr)|*.hdr|JPEG (*.jpg; *.jpeg)|*.jpg;*.jpeg|"
    "Bitmaps (*.bmp)|*.bmp";
// Same three entries in the same order as kSaveFilter: the entry chosen decides the format.
inline constexpr const char* kDesignSaveFilter =
    "TIFF (*.tif; *.tiff)|*.tif;*.tiff|JPEG (*.jpg; *.jpeg)|*.jpg;*.jpeg|Bitmaps (*.bmp)|*.bmp";

}  // namespace sv
