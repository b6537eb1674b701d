// Save and Save as: the format comes from the entry chosen in the save dialog, never from the
// file name's extension. BMP is written at once; TIFF, JPEG and PNG open their options dialogs,
// which write when their Save button is pressed. Save HDR as writes the merged stack at once.
#include <QFileInfo>

#include <algorithm>
#include <new>

#include "imagefiles/bmp_writer.h"
#include "imagefiles/hdr_save.h"
#include "imagefiles/jpeg_saver.h"
#include "imagefiles/png_writer.h"
#include "imagefiles/tiff_writer.h"
#include "mainwindow/jpeg_save_dialog.h"
#include "mainwindow/main_form.h"
#include "mainwindow/png_save_dialog.h"
#include "mainwindow/prompter.h"
#include "mainwindow/tiff_save_dialog.h"

namespace sv {

void TForm1::Save1Click() {
    if (jobRunning() || !Save1->isEnabled()) return;
    if (saveFileName.isEmpty()) {
        Saveas1Click();
        return;
    }
    askBeforeOverwrite = false;
    switch (saveFilterIndex) {
        case 4: pngDialog->showCentred(); break;
        case 3: writeBmpFile(saveFileName); break;
        case 2: if (jpegDialog) jpegDialog->showCentred(); break;
        default: if (tiffDialog) tiffDialog->showCentred(); break;
    }
}

void TForm1::Saveas1Click() {
    if (jobRunning() || !Saveas1->isEnabled()) return;
    // The documented entries, then PNG.
    const QString filter = saveDialogFilter + pngSaveEntry();
    const auto choice = prompter_->chooseSaveFile(this, filter, saveFilterIndex, saveDefaultExtension);
    if (!choice || choice->fileName.isEmpty()) return;
    askBeforeOverwrite = true;
    saveFileName = choice->fileName;
    saveFilterIndex = choice->filterIndex >= 1 && choice->filterIndex <= 4 ? choice->filterIndex : 1;
    switch (saveFilterIndex) {
        case 4: pngDialog->showCentred(); break;
        case 3:
            saveDefaultExtension = QStringLiteral("*.bmp");
            if (!wouldOverwrite(saveFileName) || prompter_->askYesNo(this, text(Msg::FileExists)))
                writeBmpFile(saveFileName);
            break;
        case 2: if (jpegDialog) jpegDialog->showCentred(); break;
        default: if (tiffDialog) tiffDialog->showCentred(); break;
    }
}

// Only a file can be overwritten: a folder, pipe or device of that name is not asked about, and
// the write then says why it cannot be replaced. A link counts as the file it names.
bool TForm1::wouldOverwrite(const QString& fileName) { return QFileInfo(fileName).isFile(); }

// The caption names the file only once the file holds the picture: a cancelled options dialog
// or a failed write leaves it as it was.
void TForm1::savedAs(const QString& fileName) {
    setWindowTitle(QString::fromLatin1(kCaption) + QStringLiteral(" [") + fileName + QStringLiteral("]"));
    workSaved();
}

// The box belongs to the options dialog while that is shown, so that it stands above it.
void TForm1::showWriteFailure(QWidget* messageParent, const QString& message) {
    prompter_->showError(messageParent ? messageParent : this, message);
}

QString TForm1::writeFailedText(const QString& fileName, const Message& failure) const {
    return text(Msg::WriteFailed, fileName + QStringLiteral(" (") + writeFailureText(failure.write, polish()) +
                                      QStringLiteral(")"));
}

OutputMetadata TForm1::keptMetadata(int width, int height) const {
    if (project.exposureCount == 0) return outputMetadata("", ExposureExif{}, width, height);
    const ExposureRecord& first = project.exposures[0];
    return outputMetadata(first.path, first.exif, width, height);
}

bool TForm1::writeTiffFile(const QString& fileName, int bits, int compressionIndex, QWidget* messageParent,
                           bool metadata) {
    if (jobRunning() || project.processedBuffer.empty()) return false;
    const TiffCompressionChoice compression =
        compressionIndex == 0 ? TiffCompressionChoice::None : TiffCompressionChoice::Deflate;
    // Without metadata the documented layout, byte for byte.
    const OutputMetadata kept = metadata ? keptMetadata(project.imageWidth, project.imageHeight) : OutputMetadata{};
    Failure failed;
    runBesideWindow([&](ProgressSink& progress) {
        beginProgress(progress, project.imageHeight);
        failed = writeTiff(fileName.toStdString(), project.processedBuffer, project.imageWidth, project.imageHeight,
                           bits, compression, metadata ? &kept : nullptr, progress);
        endProgress(progress, project.imageHeight);
    });
    if (!failed) savedAs(fileName);
    else showWriteFailure(messageParent, writeFailedText(fileName, *failed));
    if (!failed) lastSave_ = RecipeSave{SaveFormat::Tiff, bits, compression, kDefaultJpegQuality, metadata};
    return !failed;
}

bool TForm1::writeBmpFile(const QString& fileName, QWidget* messageParent) {
    if (displayBitmap.empty()) return false;
    Failure failed;
    runBesideWindow([&](ProgressSink&) { failed = writeBmp(displayBitmap, fileName.toStdString()); });
    if (!failed) savedAs(fileName);
    else showWriteFailure(messageParent, writeFailedText(fileName, *failed));
    if (!failed) lastSave_ = RecipeSave{SaveFormat::Bmp, 8, TiffCompressionChoice::Deflate, kDefaultJpegQuality, false};
    return !failed;
}

bool TForm1::writeJpegFile(const QString& fileName, int quality, QWidget* messageParent, bool metadata) {
    if (displayBitmap.empty()) return false;
    std::string encoder = jpegEncoderPath.toStdString();
    if (encoder.empty()) encoder = locateJpegEncoder(programFolder.toStdString());
    const OutputMetadata kept = metadata ? keptMetadata(displayBitmap.width(), displayBitmap.height()) : OutputMetadata{};
    Failure failed;
    runBesideWindow([&](ProgressSink&) {
        failed = saveJpeg(displayBitmap, fileName.toStdString(), quality, encoder, metadata ? &kept : nullptr);
    });
    // The encoder's failure is reported, not passed over in silence.
    if (!failed) savedAs(fileName);
    else showWriteFailure(messageParent, text(Msg::JpegFailed, writeFailureText(failed->write, polish())));
    if (!failed) lastSave_ = RecipeSave{SaveFormat::Jpeg, 8, TiffCompressionChoice::Deflate, quality, metadata};
    return !failed;
}

bool TForm1::writePngFile(const QString& fileName, int bits, bool metadata, QWidget* messageParent) {
    if (jobRunning() || displayBitmap.empty() || project.processedBuffer.empty()) return false;
    WriteError error;
    const OutputMetadata kept = metadata ? keptMetadata(project.imageWidth, project.imageHeight) : OutputMetadata{};
    bool ok = false;
    runBesideWindow([&](ProgressSink& progress) {
        beginProgress(progress, project.imageHeight);
        ok = bits == 16 ? writePng16(project.processedBuffer, fileName.toStdString(), metadata ? &kept : nullptr,
                                     progress, error)
                        : writePng8(displayBitmap, fileName.toStdString(), metadata ? &kept : nullptr, progress, error);
        endProgress(progress, project.imageHeight);
    });
    if (ok) savedAs(fileName);
    else showWriteFailure(messageParent, writeFailedText(fileName, cannotWrite(error)));
    if (ok) lastSave_ = RecipeSave{SaveFormat::Png, bits, TiffCompressionChoice::Deflate, kDefaultJpegQuality, metadata};
    return ok;
}

// The merged HDR is not the picture the caption names: saving it leaves the caption and the
// unsaved-work question as they were.
void TForm1::SaveHdr1Click() {
    if (jobRunning() || !SaveHdr1->isEnabled()) return;
    static const char* const extensions[] = {"*.exr", "*.exr", "*.hdr", "*.tif", "*.pfm"};
    const auto choice = prompter_->chooseSaveFile(this, hdrSaveFilter(polish()), hdrFilterIndex,
                                                  QString::fromLatin1(extensions[hdrFilterIndex - 1]));
    if (!choice || choice->fileName.isEmpty()) return;
    hdrFilterIndex = choice->filterIndex >= 1 && choice->filterIndex <= 5 ? choice->filterIndex : 1;
    if (wouldOverwrite(choice->fileName) && !prompter_->askYesNo(this, text(Msg::FileExists))) return;
    writeHdrFile(choice->fileName, hdrFilterIndex);
}

bool TForm1::writeHdrFile(const QString& fileName, int filterIndex) {
    if (jobRunning() || !project.buffersAllocated || project.exposureCount == 0) return false;
    HdrSaveOptions options;
    static const HdrFormat formats[] = {HdrFormat::Exr, HdrFormat::Exr, HdrFormat::Radiance, HdrFormat::FloatTiff,
                                        HdrFormat::Pfm};
    options.format = formats[std::clamp(filterIndex, 1, 5) - 1];
    options.exrHalf = filterIndex == 2;
    WriteError error;
    bool ok = false;
    try {
        runBesideWindow([&](ProgressSink& progress) {
            ok = saveHdr(fileName.toStdString(), project.stackBuffer, project.stackMax, options, progress, error);
        });
    } catch (const std::bad_alloc&) {
        error = WriteError{WriteFailure::NotEnoughMemory, 0, {}};
    }
    if (!ok) showWriteFailure(nullptr, writeFailedText(fileName, cannotWrite(error)));
    return ok;
}

}  // namespace sv
