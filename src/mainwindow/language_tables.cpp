#include "mainwindow/language_tables.h"

#include "image/memory_budget.h"
#include "mainwindow/language_texts.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QRadioButton>
#include <QTabWidget>
#include <QWidget>

#include <cstdlib>
#include <cstring>

#include "imagefiles/raw_reader.h"

namespace sv {

namespace {
QString u(const char* s) { return QString::fromUtf8(s); }
}  // namespace

const std::vector<CaptionRow>& captionTable() {
    static const std::vector<CaptionRow> rows = {
        // ---- main window: menus and tool bar ----
        {"TForm1", "File", "caption", "File", "Plik"},
        {"TForm1", "New1", "caption", "New", "Nowy"},
        {"TForm1", "ToolButton1", "hint", "New", "Nowy"},
        {"TForm1", "Openimage1", "caption", "Open image/images", "Otwórz zdjęcie/zdjęcia"},
        {"TForm1", "ToolButton2", "hint", "Open image/images", "Otwórz zdjęcie/zdjęcia"},
        {"TForm1", "Addimage1", "caption", "Add image", "Dodaj zdjęcie"},
        {"TForm1", "ToolButton12", "hint", "Add image", "Dodaj zdjęcie"},
        {"TForm1", "Save1", "caption", "Save", "Zapisz"},
        {"TForm1", "ToolButton4", "hint", "Save", "Zapisz"},
        {"TForm1", "Saveas1", "caption", "Save as", "Zapisz jako"},
        {"TForm1", "ToolButton5", "hint", "Save as", "Zapisz jako"},
        {"TForm1", "SaveHdr1", "caption", "Save HDR as...", "Zapisz HDR jako..."},
        {"TForm1", "SaveRecipe1", "caption", "Save recipe...", "Zapisz przepis..."},
        {"TForm1", "LoadRecipe1", "caption", "Load recipe...", "Wczytaj przepis..."},
        {"TForm1", "Exit1", "caption", "Exit", "Wyjście"},
        {"TForm1", "Edit2", "caption", "Edit", "Edycja"},
        {"TForm1", "Undo1", "caption", "Undo", "Cofnij"},
        {"TForm1", "Button17", "caption", "Undo", "Cofnij"},
        {"TForm1", "ToolButton6", "hint", "Undo", "Cofnij"},
        {"TForm1", "Copy1", "caption", "Copy", "Kopiuj"},
        {"TForm1", "ToolButton3", "hint", "Copy", "Kopiuj"},
        {"TForm1", "Button16", "caption", "Refresh", "Odśwież"},
        {"TForm1", "ToolButton9", "hint", "Refresh", "Odśwież"},
        {"TForm1", "Language1", "caption", "Language", "Język"},
        {"TForm1", "Help1", "caption", "Help", "Pomoc"},
        {"TForm1", "About2", "caption", "About", "O programie"},
        {"TForm1", "Info1", "caption", "Home page", "Strona domowa"},
        // ---- status bar and pages ----
        {"TForm1", "StatusBar1Panel1", "caption", "Zoom:", "Zoom:"},
        {"TForm1", "TabbedNotebook1", "page0", "Step 1: Load", "Krok 1: Otwórz"},
        {"TForm1", "TabbedNotebook1", "page1", "Step 2: Process", "Krok 2: Przetwórz"},
        {"TForm1", "TabbedNotebook1", "page2", "Step 3: Filter", "Krok 3: Filtruj"},
        // ---- Step 1 ----
        {"TForm1", "GroupBox1", "caption", "Add images", "Dodaj zdjęcia"},
        {"TForm1", "Label4", "caption", "Multiply the new image by:", "Pomnóż nowe zdjęcie przez:"},
        {"TForm1", "Label27", "caption", "Shift new image:", "Przesuń zdjęcie:"},
        {"TForm1", "Label26", "caption", "What to show:", "Co pokazać:"},
        {"TForm1", "Label10", "caption", "Offset X:", "Offset X:"},
        {"TForm1", "Label25", "caption", "Offset Y:", "Offset Y:"},
        {"TForm1", "RadioButton1", "caption", "New image", "Nowe zdj."},
        {"TForm1", "RadioButton2", "caption", "Current stack", "Wynik"},
        {"TForm1", "RadioButton3", "caption", "Difference", "Różnica"},
        {"TForm1", "Label34", "caption", "Difference:", "Różnica:"},
        {"TForm1", "Button4", "caption", "Open", "Otwórz"},
        {"TForm1", "Button9", "caption", "Remove", "Usuń"},
        {"TForm1", "Button3", "caption", "Add", "Dodaj"},
        {"TForm1", "Button27", "caption", "Align", "Wyrównaj"},
        {"TForm1", "RadioButton4", "caption", "Ghosts", "Duchy"},
        {"TForm1", "CheckBox6", "caption", "Remove ghosts", "Usuń duchy"},
        {"TForm1", "Label45", "caption", "Strength:", "Siła:"},
        {"TForm1", "Autoalign1", "caption", "Align new images automatically", "Wyrównuj nowe zdjęcia automatycznie"},
        // ---- Step 2 ----
        {"TForm1", "GroupBox2", "caption", "Curve adjust", "Krzywe"},
        {"TForm1", "GroupBox6", "caption", "Tone mapping", "Mapowanie luminancji"},
        {"TForm1", "Label22", "caption", "Gamma:", "Gamma:"},
        {"TForm1", "Label21", "caption", "Saturation:", "Nasycenie:"},
        {"TForm1", "GroupBox5", "caption", "", ""},
        {"TForm1", "Button1", "caption", "Preview", "Podgląd"},
        {"TForm1", "Button2", "caption", "Process all", "Wszystko"},
        {"TForm1", "GroupBox4", "caption", "Histogram, white && black point", "Histogram, punkty bieli i czerni"},
        {"TForm1", "RadioButtonToneCurve", "caption", "Tone curve", "Krzywa tonalna"},
        {"TForm1", "RadioButtonFusion", "caption", "Fusion", "Fuzja"},
        {"TForm1", "GroupBoxFusion", "caption", "Exposure fusion", "Fuzja ekspozycji"},
        {"TForm1", "LabelFusionContrast", "caption", "Contrast weight:", "Waga kontrastu:"},
        {"TForm1", "LabelFusionSaturation", "caption", "Saturation weight:", "Waga nasycenia:"},
        {"TForm1", "LabelFusionExposure", "caption", "Exposure weight:", "Waga ekspozycji:"},
        {"TForm1", "CheckBoxLocalContrast", "caption", "Local contrast", "Kontrast lokalny"},
        {"TForm1", "GroupBoxLocalContrast", "caption", "Local contrast", "Kontrast lokalny"},
        {"TForm1", "LabelLocalCompression", "caption", "Compression:", "Kompresja:"},
        {"TForm1", "LabelLocalDetail", "caption", "Detail:", "Szczegóły:"},
        {"TForm1", "LabelLocalRadius", "caption", "Radius:", "Promień:"},
        // ---- Step 3 ----
        {"TForm1", "Panel21", "caption", "Image filtering", "Filtrowanie obrazu"},
        {"TForm1", "GroupBox8", "caption", "Gaussian blur", "Rozmycie gaussowskie"},
        {"TForm1", "GroupBox11", "caption", "Sharpen", "Wyostrzanie"},
        {"TForm1", "GroupBox9", "caption", "Median filter", "Filtr medianowy"},
        {"TForm1", "GroupBox10", "caption", "Bilateral filter", "Filtr bilateralny"},
        {"TForm1", "Panel22", "caption", "Color adjust", "Regulacja barwy"},
        {"TForm1", "GroupBox17", "caption", "Neutral point (white balance)", "Punkt neutralny (balans bieli)"},
        {"TForm1", "GroupBox16", "caption", "Sample/target balance", "Balans próbka/cel"},
        {"TForm1", "Label6", "caption", "Opacity", "Pokrycie"},
        {"TForm1", "Label28", "caption", "Opacity", "Pokrycie"},
        {"TForm1", "Label13", "caption", "Opacity", "Pokrycie"},
        {"TForm1", "Label1", "caption", "Amount", "Ilość"},
        {"TForm1", "Label33", "caption", "Threshold", "Poziom"},
        {"TForm1", "Label19", "caption", "Threshold", "Poziom"},
        {"TForm1", "Button7", "caption", "Apply", "Zastosuj"},
        {"TForm1", "Button6", "caption", "Apply", "Zastosuj"},
        {"TForm1", "Button11", "caption", "Apply", "Zastosuj"},
        {"TForm1", "Button13", "caption", "Apply", "Zastosuj"},
        {"TForm1", "Button23", "caption", "Apply", "Zastosuj"},
        {"TForm1", "Button21", "caption", "Apply", "Zastosuj"},
        {"TForm1", "Button10", "caption", "Preview", "Podgląd"},
        {"TForm1", "Button12", "caption", "Preview", "Podgląd"},
        {"TForm1", "Button14", "caption", "Preview", "Podgląd"},
        {"TForm1", "Button15", "caption", "Preview", "Podgląd"},
        {"TForm1", "Button24", "caption", "Preview", "Podgląd"},
        {"TForm1", "Button22", "caption", "Preview", "Podgląd"},
        {"TForm1", "CheckBox2", "caption", "Shadows", "Cienie"},
        {"TForm1", "CheckBox3", "caption", "Midtones", "Półtony"},
        {"TForm1", "CheckBox4", "caption", "Highlight", "Światła"},
        {"TForm1", "Label41", "caption", "Sampling tool", "Typ pipety"},
        {"TForm1", "Label42", "caption", "Sampling tool", "Typ pipety"},
        {"TForm1", "Label43", "caption", "Sample", "Próbka"},
        {"TForm1", "Label38", "caption", "Sample", "Próbka"},
        {"TForm1", "Label44", "caption", "Target", "Cel"},
        {"TForm1", "Label39", "caption", "Target", "Cel"},
        {"TForm1", "Label40", "caption", "Global", "Cały obraz"},
        {"TForm1", "ComboBox1", "item0", "Horizontal bar", "Pozioma linia"},
        {"TForm1", "ComboBox1", "item1", "Vertical bar", "Pionowa linia"},
        {"TForm1", "ComboBox1", "item2", "Cross", "Krzyż"},
        {"TForm1", "ComboBox1", "item3", "Box", "Kwadrat"},
        {"TForm1", "ComboBox2", "item0", "Point", "Punkt"},
        {"TForm1", "ComboBox2", "item1", "Gauss 3x3", "Gauss 3x3"},
        {"TForm1", "ComboBox2", "item2", "Gauss 5x5", "Gauss 5x5"},
        {"TForm1", "ComboBox2", "item3", "Gauss 7x7", "Gauss 7x7"},
        {"TForm1", "ComboBox2", "item4", "Gauss 9x9", "Gauss 9x9"},
        {"TForm1", "ComboBox3", "item0", "Point", "Punkt"},
        {"TForm1", "ComboBox3", "item1", "Gauss 3x3", "Gauss 3x3"},
        {"TForm1", "ComboBox3", "item2", "Gauss 5x5", "Gauss 5x5"},
        {"TForm1", "ComboBox3", "item3", "Gauss 7x7", "Gauss 7x7"},
        {"TForm1", "ComboBox3", "item4", "Gauss 9x9", "Gauss 9x9"},
        // ---- JPEG dialog ----
        {"TOKBottomDlg", "TOKBottomDlg", "title", "Save as JPEG", "Zapisz jako JPEG"},
        {"TOKBottomDlg", "Label1", "caption", "Quality:", "Jakość:"},
        {"TOKBottomDlg", "CheckBox1", "caption", "Keep metadata", "Zachowaj metadane"},
        {"TOKBottomDlg", "Button2", "caption", "Save", "Zapisz"},
        {"TOKBottomDlg", "Button1", "caption", "Cancel", "Anuluj"},
        // ---- TIFF dialog ----
        {"TForm5", "TForm5", "title", "Save as TIFF", "Zapisz jako TIFF"},
        {"TForm5", "RadioGroup1", "caption", "Compression", "Kompresja"},
        {"TForm5", "RadioGroup1", "item0", "Uncompressed", "Brak kompresji"},
        {"TForm5", "RadioGroup1", "item1", "Deflate (ZIP-in-TIFF)", "Deflate (ZIP-in-TIFF)"},
        {"TForm5", "RadioGroup2", "caption", "Bit depth", "Głębia bitowa"},
        {"TForm5", "RadioGroup2", "item0", "24 bit RGB (8 bit per channel)", "24 bit RGB (8 bit na kanał)"},
        {"TForm5", "RadioGroup2", "item1", "48 bit RGB (16 bit per channel)", "48 bit RGB (16 bit na kanał)"},
        {"TForm5", "CheckBox1", "caption", "Keep metadata", "Zachowaj metadane"},
        {"TForm5", "Button2", "caption", "Save", "Zapisz"},
        {"TForm5", "Button1", "caption", "Cancel", "Anuluj"},
        // ---- PNG dialog (a child of the main window) ----
        {"TForm1", "PngSaveDialog", "title", "Save as PNG", "Zapisz jako PNG"},
        {"TForm1", "PngBitDepth", "caption", "Bit depth", "Głębia bitowa"},
        {"TForm1", "PngBitDepth", "item0", "24 bit RGB (8 bit per channel)", "24 bit RGB (8 bit na kanał)"},
        {"TForm1", "PngBitDepth", "item1", "48 bit RGB (16 bit per channel)", "48 bit RGB (16 bit na kanał)"},
        {"TForm1", "PngMetadata", "caption", "Keep metadata", "Zachowaj metadane"},
        {"TForm1", "PngSave", "caption", "Save", "Zapisz"},
        {"TForm1", "PngCancel", "caption", "Cancel", "Anuluj"},
        // ---- colour picker ----
        {"TForm14", "TForm14", "title", "Select color", "Wybierz kolor"},
        {"TForm14", "Button1", "caption", "OK", "OK"},
        {"TForm14", "Button2", "caption", "Cancel", "Anuluj"},
        {"TForm14", "Label6", "caption", "New", "Nowy"},
        {"TForm14", "Label7", "caption", "Old", "Stary"},
    };
    return rows;
}

const std::vector<CaptionRow>& designCaptionDifferences() {
    // Only "english" is used: the design captions are English.
    static const std::vector<CaptionRow> rows = {
        {"TForm1", "Info1", "caption", "Info", "Info"},
        {"TForm1", "ToolButton2", "hint", "Add image", "Add image"},
        {"TForm1", "ToolButton12", "hint", "Add", "Add"},
        {"TForm1", "ToolButton3", "hint", "Copy to clipboard", "Copy to clipboard"},
        {"TForm1", "ComboBox1", "item2", "\"Plus\"", "\"Plus\""},
        {"TForm1", "ComboBox2", "item1", "Smooth 3x3", "Smooth 3x3"},
        {"TForm1", "ComboBox2", "item2", "Smooth 5x5", "Smooth 5x5"},
        {"TForm1", "ComboBox2", "item3", "Smooth 7x7", "Smooth 7x7"},
        {"TForm1", "ComboBox2", "item4", "Smooth 9x9", "Smooth 9x9"},
        {"TForm1", "ComboBox3", "item1", "Smooth 3x3", "Smooth 3x3"},
        {"TForm1", "ComboBox3", "item2", "Smooth 5x5", "Smooth 5x5"},
        {"TForm1", "ComboBox3", "item3", "Smooth 7x7", "Smooth 7x7"},
        {"TForm1", "ComboBox3", "item4", "Smooth 9x9", "Smooth 9x9"},
        {"TForm1", "CheckBox4", "caption", "Highlights", "Highlights"},
        {"TForm1", "Label41", "caption", "Sampling tool:", "Sampling tool:"},
        {"TForm1", "Label42", "caption", "Sampling tool:", "Sampling tool:"},
    };
    return rows;
}

const std::vector<MenuAccessKey>& menuAccessKeys() {
    static const std::vector<MenuAccessKey> rows = {
        {"File", "&File", "&Plik"},
        {"Edit2", "&Edit", "&Edycja"},
        {"Language1", "&Language", "&Język"},
        {"Help1", "&Help", "Pomo&c"},
    };
    return rows;
}

QString shownCaption(const QString& text) {
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;  // "&x" shows x, "&&" shows &
        shown += text[i];
    }
    return shown;
}

const std::vector<MessageRow>& messageTable() {
    static const std::vector<MessageRow> rows = {
        {Msg::ExitNow, "Exit now?", "Chcesz zamknąć program?"},
        {Msg::NewProject, "Are you sure you want to start a new project?", "Na pewno chcesz rozpocząć od nowa?"},
        {Msg::FiltersNeedStack, "To begin working with the filters you have to stack the whole image first.",
         "Aby rozpocząć pracę z filtrami należy złożyć całe zdjęcie."},
        {Msg::FileExists, "The file already exists, overwrite?", "Plik już istnieje, nadpisać?"},
        {Msg::NotEnoughMemory, "Not enough memory!", "Za mało pamięci!"},
        {Msg::WrongImageSize, "Wrong image size!", "Zły rozmiar zdjęcia!"},
        {Msg::TooManyImages, "Too many images!", "Za dużo zdjęć!"},
        {Msg::TiffCompression, "TIFF error. Not supported compression type.", "TIFF: nieobsługiwany typ kompresji."},
        {Msg::TiffPredictor, "TIFF error. Compression with predictor is not supported.",
         "TIFF: Kompresja z predyktorem nie jest obsługiwana."},
        {Msg::GammaQuestion, "Apply gamma correction? Useful if a HDR 48 or 96-bit TIFF is loaded.",
         "Czy zastosować korekcję gamma? Przydatne w przypadku importowania gotowego zdjęcia HDR (TIFF 48/96-bit)."},
        {Msg::CompanionMissing, "Error! Could not find: ", "Error! Could not find: "},
        {Msg::TiffErrorNumber, "TIFF error #", "TIFF error #"},
        {Msg::ChooseToRemove, "Choose image to be removed.", "Wybierz zdjęcie do usunięcia."},
        {Msg::RemoveConfirm, "Are you sure you want to remove ", "Czy na pewno usunąć "},
        {Msg::CannotReadFile, "Cannot read the picture ", "Nie można odczytać zdjęcia "},
        {Msg::UnsupportedFileType, "Unsupported file type: ", "Nieobsługiwany typ pliku: "},
        {Msg::FileChanged, "The file no longer matches the project; nothing was removed: ",
         "Plik nie pasuje już do projektu; niczego nie usunięto: "},
        {Msg::JpegFailed, "The JPEG file could not be written: ", "Nie udało się zapisać pliku JPEG: "},
        {Msg::WriteFailed, "The file could not be written: ", "Nie udało się zapisać pliku: "},
        {Msg::JobFailed, "The operation could not be finished because of an unexpected error.",
         "Nie udało się dokończyć operacji z powodu nieoczekiwanego błędu."},
        {Msg::IncompleteFile, "The picture is incomplete (its data end too early) and was not used: ",
         "Zdjęcie jest niekompletne (jego dane kończą się zbyt wcześnie) i nie zostało użyte: "},
        {Msg::ImagesMayBeRotated, "The images may be rotated or the camera moved: check the difference view.",
         "Zdjęcia mogą być obrócone albo aparat się poruszył: sprawdź widok różnicy."},
        {Msg::AlignmentResidual, "Alignment residual: ", "Błąd wyrównania: "},
        {Msg::NoPictureOpen, "No picture has been opened.", "Nie otwarto żadnego zdjęcia."},
        {Msg::RecipeNotReadable, "Cannot read the recipe: ", "Nie można odczytać przepisu: "},
        {Msg::RecipeNotJson, "The recipe is not a valid JSON file: ", "Przepis nie jest poprawnym plikiem JSON: "},
        {Msg::RecipeVersion, "Unknown recipe version: ", "Nieznana wersja przepisu: "},
        {Msg::RecipeUnknownKey, "Unknown key in the recipe: ", "Nieznany klucz w przepisie: "},
        {Msg::RecipeMissingKey, "Missing key in the recipe: ", "Brak klucza w przepisie: "},
        {Msg::RecipeWrongType, "Wrong type of value in the recipe: ", "Zły typ wartości w przepisie: "},
        {Msg::RecipeOutOfRange, "Value out of range in the recipe: ", "Wartość spoza zakresu w przepisie: "},
        {Msg::NotRegularFile, "Not a regular file, so it was not read: ",
         "To nie jest zwykły plik, więc nie został odczytany: "},
        {Msg::MemoryStatus, "RAM: %1/%2", "RAM: %1/%2"},
        {Msg::MemoryStatusHint, "Memory: %1 needed, %2 available", "Pamięć: potrzeba %1, dostępne %2"},
        {Msg::RawNotReadable, "This camera raw file cannot be read: ", "Nie można odczytać tego pliku RAW z aparatu: "},
        {Msg::DamagedFile, "The picture is damaged and was not used: ", "Zdjęcie jest uszkodzone i nie zostało użyte: "},
        {Msg::ExifExposureTime, "Exposure time: ", "Czas naświetlania: "},
        {Msg::ExifAperture, "Aperture: ", "Przysłona: "},
        {Msg::ExifIso, "ISO: ", "ISO: "},
        {Msg::ExifBias, "Exposure compensation: ", "Korekta ekspozycji: "},
        {Msg::ExifTaken, "Taken: ", "Data wykonania: "},
        {Msg::ExifRelative, "Relative to the first picture: ", "Względem pierwszego zdjęcia: "},
        {Msg::ExifRelativeShort, "vs. first: ", "wzgl. pierwszego: "},
        {Msg::ExifNone, "No exposure data in the file", "Brak danych o ekspozycji w pliku"},
    };
    return rows;
}

QString messageText(Msg id, bool polish, const QString& detail) {
    for (const MessageRow& row : messageTable()) {
        if (row.id != id) continue;
        QString text = u(polish ? row.polish : row.english);
        if (id == Msg::RemoveConfirm) return text + detail + QStringLiteral("?");
        if (id == Msg::CannotReadFile || id == Msg::UnsupportedFileType || id == Msg::FileChanged ||
            id == Msg::JpegFailed || id == Msg::WriteFailed || id == Msg::CompanionMissing ||
            id == Msg::TiffErrorNumber || id == Msg::IncompleteFile || id == Msg::NotRegularFile ||
            id == Msg::RawNotReadable || id == Msg::DamagedFile || id == Msg::ExifExposureTime ||
            id == Msg::ExifAperture || id == Msg::ExifIso || id == Msg::ExifBias || id == Msg::ExifTaken ||
            id == Msg::ExifRelative || id == Msg::ExifRelativeShort || id == Msg::AlignmentResidual ||
            id == Msg::RecipeNotReadable || id == Msg::RecipeNotJson || id == Msg::RecipeVersion ||
            id == Msg::RecipeUnknownKey || id == Msg::RecipeMissingKey || id == Msg::RecipeWrongType ||
            id == Msg::RecipeOutOfRange)
            return text + detail;
        return text;
    }
    return {};
}

QString engineMessageText(const Message& m, bool polish) {
    const QString detail = QString::fromStdString(m.detail);
    switch (m.id) {
        case MessageId::NotEnoughMemory: return messageText(Msg::NotEnoughMemory, polish);
        case MessageId::WrongImageSize: return messageText(Msg::WrongImageSize, polish);
        case MessageId::TooManyImages: return messageText(Msg::TooManyImages, polish);
        case MessageId::TiffCompression: return messageText(Msg::TiffCompression, polish);
        case MessageId::TiffPredictor: return messageText(Msg::TiffPredictor, polish);
        case MessageId::TiffError: return messageText(Msg::TiffErrorNumber, polish, QString::number(m.code));
        case MessageId::CannotReadFile: return messageText(Msg::CannotReadFile, polish, detail);
        case MessageId::UnsupportedFileType: return messageText(Msg::UnsupportedFileType, polish, detail);
        case MessageId::FileChanged: return messageText(Msg::FileChanged, polish, detail);
        case MessageId::NoExposureSelected: return messageText(Msg::ChooseToRemove, polish);
        case MessageId::IncompleteFile: return messageText(Msg::IncompleteFile, polish, detail);
        case MessageId::NotRegularFile: return messageText(Msg::NotRegularFile, polish, detail);
        case MessageId::CannotWrite: return writeFailureText(m.write, polish);
        case MessageId::RawNotReadable: return messageText(Msg::RawNotReadable, polish, detail);
        case MessageId::DamagedFile: return messageText(Msg::DamagedFile, polish, detail);
        case MessageId::ImagesMayBeRotated: return messageText(Msg::ImagesMayBeRotated, polish);
        case MessageId::NoPictureOpen: return messageText(Msg::NoPictureOpen, polish);
        case MessageId::RecipeNotReadable: return messageText(Msg::RecipeNotReadable, polish, detail);
        case MessageId::RecipeNotJson: return messageText(Msg::RecipeNotJson, polish, detail);
        case MessageId::RecipeVersion: return messageText(Msg::RecipeVersion, polish, detail);
        case MessageId::RecipeUnknownKey: return messageText(Msg::RecipeUnknownKey, polish, detail);
        case MessageId::RecipeMissingKey: return messageText(Msg::RecipeMissingKey, polish, detail);
        case MessageId::RecipeWrongType: return messageText(Msg::RecipeWrongType, polish, detail);
        case MessageId::RecipeOutOfRange: return messageText(Msg::RecipeOutOfRange, polish, detail);
    }
    return QString::fromStdString(englishText(m));
}

const std::vector<WriteFailureRow>& writeFailureTable() {
    auto row = [](WriteFailure r, const char* polish) { return WriteFailureRow{r, englishReason(r), polish}; };
    static const std::vector<WriteFailureRow> rows = {
        row(WriteFailure::NoSpace, "brak miejsca na dysku"),
        row(WriteFailure::PermissionDenied, "brak uprawnień"),
        row(WriteFailure::ReadOnlyFileSystem, "system plików jest tylko do odczytu"),
        row(WriteFailure::NotRegularFile, "to nie jest zwykły plik"),
        row(WriteFailure::IsDirectory, "to jest folder"),
        row(WriteFailure::NoSuchFolder, "folder nie istnieje"),
        row(WriteFailure::FileTooLarge, "plik jest za duży"),
        row(WriteFailure::NameTooLong, "nazwa pliku jest za długa"),
        row(WriteFailure::TooManyLinks, "za dużo dowiązań symbolicznych"),
        row(WriteFailure::NotEnoughMemory, "za mało pamięci"),
        row(WriteFailure::NothingToWrite, "brak zdjęcia do zapisania"),
        row(WriteFailure::TooLargeForTiff, "zdjęcie jest za duże na plik TIFF"),
        row(WriteFailure::JpegEncoderMissing, "nie znaleziono kodera JPEG cjpeg"),
        row(WriteFailure::JpegEncoderFailed, "koder JPEG zgłosił błąd"),
        row(WriteFailure::JpegEncoderWroteNothing, "koder JPEG niczego nie zapisał"),
        row(WriteFailure::MetadataNotWritten, "nie udało się dodać metadanych"),
        row(WriteFailure::EncodingFailed, "nie udało się zakodować zdjęcia"),
        row(WriteFailure::System, "błąd systemowy"),
    };
    return rows;
}

QString writeFailureText(const WriteError& error, bool polish) {
    if (!polish) {
        // The encoder's own message is English; it is shown with the English text only.
        return QString::fromStdString(englishText(error));
    }
    QString text;
    for (const WriteFailureRow& row : writeFailureTable()) {
        if (row.reason == error.reason) text = u(row.polish);
    }
    if (error.reason == WriteFailure::System || text.isEmpty()) {
        if (text.isEmpty()) text = u("błąd systemowy");
        const char* name = error.code ? strerrorname_np(error.code) : nullptr;
        if (name) text += QStringLiteral(" ") + u(name);
    }
    return text;
}

namespace {

// Every camera raw extension the open dialogs offer, as a pattern list.
QString rawPatterns() {
    QStringList patterns;
    for (const std::string& extension : rawExtensions()) patterns << QStringLiteral("*") + QString::fromStdString(extension);
    return patterns.join(QStringLiteral("; "));
}

// The formats read through the field's libraries, after the documented entries, and one entry
// with every pattern at the end.
QString newerOpenEntries(bool polish) {
    const QString raw = rawPatterns();
    const QString all = QStringLiteral("*.bmp; *.jpg; *.jpeg; *.tif; *.tiff; *.hdr; *.png; *.exr; *.pfm; ") + raw;
    return u("|PNG 24/48-bit (*.png)|*.png|OpenEXR (*.exr)|*.exr|PFM (*.pfm)|*.pfm|") +
           (polish ? u("Pliki RAW z aparatu|") : u("Camera raw files|")) + raw + QStringLiteral("|") +
           (polish ? u("Wszystkie zdjęcia i pliki RAW|") : u("All pictures and camera raw files|")) + all;
}

}  // namespace

QString openFilter(bool polish) { return u(polish ? kOpenFilterPolish : kOpenFilterEnglish) + newerOpenEntries(polish); }

QString pngSaveEntry() { return u("|PNG 24/48-bit (*.png)|*.png"); }

QString hdrSaveFilter(bool polish) {
    return polish ? u("OpenEXR 32-bit zmiennoprzecinkowy (*.exr)|*.exr|OpenEXR 16-bit połówkowy (*.exr)|*.exr|"
                      "Radiance RGBE (*.hdr)|*.hdr|TIFF 32-bit zmiennoprzecinkowy (*.tif; *.tiff)|*.tif;*.tiff|"
                      "PFM (*.pfm)|*.pfm")
                  : u("OpenEXR 32-bit float (*.exr)|*.exr|OpenEXR 16-bit half (*.exr)|*.exr|"
                      "Radiance RGBE (*.hdr)|*.hdr|TIFF 32-bit float (*.tif; *.tiff)|*.tif;*.tiff|PFM (*.pfm)|*.pfm");
}

QString recipeFilter(bool polish) {
    return polish ? u("Przepisy (*.json)|*.json|Wszystkie pliki (*)|*") : u("Recipes (*.json)|*.json|All files (*)|*");
}

QString saveFilter() { return u(kSaveFilter); }
QString designOpenFilter() { return u(kDesignOpenFilter) + newerOpenEntries(false); }
QString designSaveFilter() { return u(kDesignSaveFilter); }

QString memoryText(bool polish, std::uint64_t needed, std::uint64_t available, bool hint) {
    const char separator = polish ? ',' : '.';
    QString neededText = QString::fromStdString(gigabytesText(needed, true, separator));
    // The panel is narrow: "0.1/20.6 GB" names the unit once.
    if (!hint) neededText.chop(3);
    return messageText(hint ? Msg::MemoryStatusHint : Msg::MemoryStatus, polish)
        .arg(neededText, QString::fromStdString(gigabytesText(available, false, separator)));
}

QString sizeText(bool polish, int width, int height) {
    return (polish ? u("Wymiary: ") : u("Size: ")) + QString::number(width) + QStringLiteral("x") +
           QString::number(height);
}

namespace {
QStringList itemsOf(const char* control, bool polish, int count) {
    QStringList items;
    for (int i = 0; i < count; ++i) {
        const QByteArray prop = "item" + QByteArray::number(i);
        for (const CaptionRow& row : captionTable()) {
            if (std::strcmp(row.control, control) == 0 && prop == row.property) {
                items << u(polish ? row.polish : row.english);
                break;
            }
        }
    }
    return items;
}
}  // namespace

QStringList medianShapeItems(bool polish) { return itemsOf("ComboBox1", polish, 4); }
QStringList samplingToolItems(bool polish) { return itemsOf("ComboBox2", polish, 5); }

QObject* findRowTarget(const CaptionRow& row, const std::vector<LanguageWindow>& windows) {
    for (const LanguageWindow& w : windows) {
        if (std::strcmp(w.name, row.window) != 0 || !w.root) continue;
        if (std::strcmp(w.root->objectName().toUtf8().constData(), row.control) == 0) return w.root;
        return w.root->findChild<QObject*>(QString::fromUtf8(row.control));
    }
    return nullptr;
}

namespace {

int itemIndexOf(const char* property) {
    if (std::strncmp(property, "item", 4) == 0) return std::atoi(property + 4);
    if (std::strncmp(property, "page", 4) == 0) return std::atoi(property + 4);
    return -1;
}

QList<QRadioButton*> radioItems(QObject* group) {
    return group->findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly);
}

}  // namespace

QString currentRowText(const CaptionRow& row, const std::vector<LanguageWindow>& windows) {
    QObject* target = findRowTarget(row, windows);
    if (!target) return {};
    const QByteArray prop = row.property;
    const int index = itemIndexOf(row.property);
    if (prop == "title") return static_cast<QWidget*>(target)->windowTitle();
    if (prop == "hint") {
        if (auto* w = qobject_cast<QWidget*>(target)) return w->toolTip();
        if (auto* a = qobject_cast<QAction*>(target)) return a->toolTip();
    }
    if (prop.startsWith("page")) {
        if (auto* tabs = qobject_cast<QTabWidget*>(target)) return tabs->tabText(index);
    }
    if (prop.startsWith("item")) {
        if (auto* combo = qobject_cast<QComboBox*>(target)) return combo->itemText(index);
        const auto items = radioItems(target);
        return index < items.size() ? items[index]->text() : QString();
    }
    if (auto* a = qobject_cast<QAction*>(target)) return a->text();
    if (auto* m = qobject_cast<QMenu*>(target)) return shownCaption(m->title());
    if (auto* b = qobject_cast<QAbstractButton*>(target)) return b->text();
    if (auto* g = qobject_cast<QGroupBox*>(target)) return g->title();
    if (auto* l = qobject_cast<QLabel*>(target)) return l->text();
    return {};
}

int applyCaptionRows(const std::vector<CaptionRow>& rows, const std::vector<LanguageWindow>& windows, bool polish) {
    int written = 0;
    for (const CaptionRow& row : rows) {
        QObject* target = findRowTarget(row, windows);
        if (!target) continue;
        const QString text = u(polish ? row.polish : row.english);
        const QByteArray prop = row.property;
        const int index = itemIndexOf(row.property);
        bool done = true;
        if (prop == "title") {
            static_cast<QWidget*>(target)->setWindowTitle(text);
        } else if (prop == "hint") {
            if (auto* w = qobject_cast<QWidget*>(target)) w->setToolTip(text);
            else if (auto* a = qobject_cast<QAction*>(target)) a->setToolTip(text);
            else done = false;
        } else if (prop.startsWith("page")) {
            auto* tabs = qobject_cast<QTabWidget*>(target);
            if (tabs && index < tabs->count()) tabs->setTabText(index, text);
            else done = false;
        } else if (prop.startsWith("item")) {
            if (auto* combo = qobject_cast<QComboBox*>(target)) {
                if (index < combo->count()) combo->setItemText(index, text);
                else done = false;
            } else {
                const auto items = radioItems(target);
                if (index < items.size()) items[index]->setText(text);
                else done = false;
            }
        } else if (auto* a = qobject_cast<QAction*>(target)) {
            a->setText(text);
        } else if (auto* m = qobject_cast<QMenu*>(target)) {
            QString title = text;
            for (const MenuAccessKey& key : menuAccessKeys())
                if (std::strcmp(key.control, row.control) == 0) title = u(polish ? key.polish : key.english);
            m->setTitle(title);
        } else if (auto* b = qobject_cast<QAbstractButton*>(target)) {
            b->setText(text);
        } else if (auto* g = qobject_cast<QGroupBox*>(target)) {
            g->setTitle(text);
        } else if (auto* l = qobject_cast<QLabel*>(target)) {
            // Labels show "&" as it stands; only the "&&" form of the table stands for one "&".
            QString shown = text;
            shown.replace(QStringLiteral("&&"), QStringLiteral("&"));
            l->setText(shown);
        } else {
            done = false;
        }
        if (done) ++written;
    }
    return written;
}

}  // namespace sv
