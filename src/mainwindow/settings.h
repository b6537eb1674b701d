#pragma once

#include <QString>

namespace sv {

// The five integers kept between runs, with their defaults (the controls' design values).
struct StoredSettings {
    int language = 0;         // 0 English, 1 Polish
    int jpegQuality = 95;     // 10..100
    int tiffCompression = 1;  // 0 uncompressed, 1 Deflate
    int tiffBitDepth = 0;     // 0 24-bit, 1 48-bit
    int autoPreview = 0;      // 0 off, 1 on
};

struct SettingsRead {
    bool keyExists = false;  // the per-user store exists
    int valuesRead = 0;      // how many values, in order, were read before the first bad one
    StoredSettings values;
};

// The per-user INI store (organisation and application "Sombrel_Varno").
QString defaultSettingsPath();

// Reads "Language", "JPEG_quality", "TIFF_compression", "TIFF_bitdepth", "auto_preview" in this
// order, names compared without regard to case; stops at the first value that is missing or not an
// integer, the later ones keeping their defaults.
SettingsRead readSettings(const QString& path);

// Writes all five ("language" in lower case, the others as above), creating the store if needed.
// Returns false when the store cannot be written.
bool writeSettings(const QString& path, const StoredSettings& values);

// Settings of the additions, kept in the same store. Each is written only while it differs from
// its default (and removed when it is back at it), so that a store of someone who never used them
// holds the five values alone.
struct AddedSettings {
    bool autoAlign = false;   // "auto_align": Edit > Align new images automatically
};
AddedSettings readAddedSettings(const QString& path);
bool writeAddedSettings(const QString& path, const AddedSettings& values);

}  // namespace sv
