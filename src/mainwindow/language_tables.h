#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

#include "image/atomic_file.h"
#include "image/messages.h"

class QObject;
class QWidget;

namespace sv {

// One text that the language switch writes: which window, which control, which property, and
// the English and Polish texts (UTF-8).
//   property: "caption" (button/label/menu/action/group text), "hint" (tool tip), "title" (window
//   title), "page0".."page2" (tab captions), "item0".."item4" (items of a radio group or list).
struct CaptionRow {
    const char* window;    // "TForm1", "TOKBottomDlg", "TForm5", "TForm14"
    const char* control;   // objectName; for "title" rows the window itself
    const char* property;
    const char* english;
    const char* polish;
};

const std::vector<CaptionRow>& captionTable();

// Where the design captions (what the window shows before any switch) differ from the English
// table; used when the stored language number is neither 0 nor 1.
const std::vector<CaptionRow>& designCaptionDifferences();

// The menu bar's titles with their access keys: Alt and the marked letter opens the menu ("&File",
// "&Plik"). Without its '&' each is exactly the caption of the table, so the text shown stays the
// documented one; the switch writes these in place of the plain captions.
struct MenuAccessKey {
    const char* control;  // objectName of the menu
    const char* english;
    const char* polish;
};
const std::vector<MenuAccessKey>& menuAccessKeys();

// What a caption shows on screen: a single '&' only marks the access key, "&&" is one '&'.
QString shownCaption(const QString& text);

// Every message the window shows.
enum class Msg {
    ExitNow,
    NewProject,
    FiltersNeedStack,
    FileExists,
    NotEnoughMemory,
    WrongImageSize,
    TooManyImages,
    TiffCompression,
    TiffPredictor,
    GammaQuestion,
    CompanionMissing,   // + file name; English in both languages
    TiffErrorNumber,    // + number; English in both languages
    ChooseToRemove,
    RemoveConfirm,      // + file name + "?"
    CannotReadFile,     // + file name
    UnsupportedFileType,  // + file name
    FileChanged,        // + file name
    JpegFailed,         // + reason
    WriteFailed,        // + file name
    JobFailed,          // a background job stopped on an unexpected error
    IncompleteFile,     // + file name
    NotRegularFile,     // + file name
    MemoryStatus,       // the status bar's memory panel: %1 needed / %2 available (gigabytes)
    MemoryStatusHint,   // its tool tip, spelt out
    RawNotReadable,     // + file name and camera
    DamagedFile,        // + file name
    // What Step 1 shows of an exposure's EXIF (+ the value).
    ExifExposureTime,
    ExifAperture,
    ExifIso,
    ExifBias,
    ExifTaken,
    ExifRelative,       // EV relative to the first exposure
    ExifRelativeShort,  // the same, in the status bar
    ExifNone,
    ImagesMayBeRotated, // automatic alignment found no shift that explains the pair
    NoPictureOpen,
    RecipeNotReadable,  // + the file name
    RecipeNotJson,      // + the parser's words
    RecipeVersion,      // + the version found
    RecipeUnknownKey,   // + the key
    RecipeMissingKey,   // + the key
    RecipeWrongType,    // + the key and the type it should have
    RecipeOutOfRange,   // + the key and its range
    AlignmentResidual,  // + the residual of the last suggestion (status bar)
};

struct MessageRow {
    Msg id;
    const char* english;
    const char* polish;
};
const std::vector<MessageRow>& messageTable();

// The text of a message in the language in force now; `detail` fills the messages that carry a
// file name, a number or a reason.
QString messageText(Msg id, bool polish, const QString& detail = {});
// An engine message in the language in force now.
QString engineMessageText(const Message& message, bool polish);

// Why a file could not be written, in both languages. The English column is the engine's own
// text (the one the command line prints), so the two never drift apart.
struct WriteFailureRow {
    WriteFailure reason;
    const char* english;
    const char* polish;
};
const std::vector<WriteFailureRow>& writeFailureTable();
// The reason in the language in force now; a system error without a reason of its own shows its
// errno name, which reads the same in both languages.
QString writeFailureText(const WriteError& error, bool polish);

// File-type lists of the picture dialogs.
QString openFilter(bool polish);
QString saveFilter();
// Save as offers the documented entries of saveFilter and then this one, PNG (entry 4).
QString pngSaveEntry();
// Save HDR as: OpenEXR float, OpenEXR half, Radiance, float TIFF, PFM (entries 1..5).
QString hdrSaveFilter(bool polish);
// Save recipe and Load recipe: JSON recipes, then any file.
QString recipeFilter(bool polish);
QString designOpenFilter();
QString designSaveFilter();

// "Size: 640x480" / "Wymiary: 640x480".
QString sizeText(bool polish, int width, int height);
// The status bar's memory panel, the open project's need and what is available: "RAM:
// 12.8/18.3 GB" / "RAM: 12,8/18,3 GB"; its hint spells it out: "Memory: 12.8 GB needed,
// 18.3 GB available".
QString memoryText(bool polish, std::uint64_t needed, std::uint64_t available, bool hint = false);

// Items of the median shape list and of the sampling tool lists.
QStringList medianShapeItems(bool polish);
QStringList samplingToolItems(bool polish);

struct LanguageWindow {
    const char* name;
    QWidget* root;
};

// Writes every row of the table into the windows given (rows of a window not given, and rows whose
// control does not exist, are skipped). Returns the number of rows written.
int applyCaptionRows(const std::vector<CaptionRow>& rows, const std::vector<LanguageWindow>& windows, bool polish);

// The object a row names, or nullptr.
QObject* findRowTarget(const CaptionRow& row, const std::vector<LanguageWindow>& windows);
// The text the row's property currently shows.
QString currentRowText(const CaptionRow& row, const std::vector<LanguageWindow>& windows);

}  // namespace sv
