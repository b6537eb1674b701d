// Save and Save as: the format comes from the entry chosen in the save dialog, never from the
// file name's extension. BMP is written at once; TIFF and JPEG open their options dialogs, which
// write when their Save button is pressed.
#include <QFileInfo>

#include "mainwindow/jpeg_save_dialog.h"
#include "mainwindow/main_form.h"
#include "mainwindow/prompter.h"
#include "mainwindow/tiff_save_dialog.h"

#if __has_include("imagefiles/tiff_writer.h")
#include "imagefiles/tiff_writer.h"
#define SV_HAVE_TIFF_WRITER 1
#endif
#if __has_include("imagefiles/bmp_writer.h")
#include "imagefiles/bmp_writer.h"
#define SV_HAVE_BMP_WRITER 1
#endif
#if __has_include("imagefiles/jpeg_saver.h")
#include "imagefiles/jpeg_saver.h"
#define SV_HAVE_JPEG_SAVER 1
#endif

#include <QImage>
#include "mainwindow/picture_box.h"

namespace sv {

void TForm1::Save1Click() {
    if (jobRunning() || !Save1->isEnabled()) return;
    if (saveFileName.isEmpty()) {
        Saveas1Click();
        return;
    }
    askBeforeOverwrite = false;
    switch (saveFilterIndex) {
        case 3: writeBmpFile(saveFileName); break;
        case 2: if (jpegDialog) jpegDialog->showCentred(); break;
        default: if (tiffDialog) tiffDialog->showCentred(); break;
    }
    setWindowTitle(QString::fromLatin1(kCaption) + QStringLiteral(" [") + saveFileName + QStringLiteral("]"));
}

void TForm1::Saveas1Click() {
    if (jobRunning() || !Saveas1->isEnabled()) return;
    const auto choice = prompter_->chooseSaveFile(this, saveDialogFilter, saveFilterIndex, saveDefaultExtension);
    if (!choice || choice->fileName.isEmpty()) return;
    askBeforeOverwrite = true;
    saveFileName = choice->fileName;
    saveFilterIndex = choice->filterIndex >= 1 && choice->filterIndex <= 3 ? choice->filterIndex : 1;
    switch (saveFilterIndex) {
        case 3:
            saveDefaultExtension = QStringLiteral("*.bmp");
            if (!QFileInfo::exists(saveFileName) || prompter_->askYesNo(this, text(Msg::FileExists)))
                writeBmpFile(saveFileName);
            break;
        case 2: if (jpegDialog) jpegDialog->showCentred(); break;
        default: if (tiffDialog) tiffDialog->showCentred(); break;
    }
    setWindowTitle(QString::fromLatin1(kCaption) + QStringLiteral(" [") + saveFileName + QStringLiteral("]"));
}

bool TForm1::writeTiffFile(const QString& fileName, int bits, int compressionIndex) {
    if (jobRunning() || project.processedBuffer.empty()) return false;
#ifdef SV_HAVE_TIFF_WRITER
    std::string error;
    beginProgress(gaugeSink(), project.imageHeight);
    const bool ok = writeTiff(fileName.toStdString(), project.processedBuffer, project.imageWidth,
                              project.imageHeight, bits,
                              compressionIndex == 0 ? TiffCompressionChoice::None : TiffCompressionChoice::Deflate,
                              gaugeSink(), error);
    endProgress(gaugeSink(), project.imageHeight);
    if (!ok) prompter_->showError(this, text(Msg::WriteFailed, fileName + QStringLiteral(" (") +
                                                                   QString::fromStdString(error) + QStringLiteral(")")));
    if (ok) workSaved();
    return ok;
#else
    (void)bits;
    (void)compressionIndex;
    prompter_->showError(this, text(Msg::WriteFailed, fileName));
    return false;
#endif
}

bool TForm1::writeBmpFile(const QString& fileName) {
    if (displayBitmap.empty()) return false;
#ifdef SV_HAVE_BMP_WRITER
    std::string error;
    const bool ok = writeBmp(displayBitmap, fileName.toStdString(), error);
    if (!ok) prompter_->showError(this, text(Msg::WriteFailed, fileName + QStringLiteral(" (") +
                                                                   QString::fromStdString(error) + QStringLiteral(")")));
    if (ok) workSaved();
    return ok;
#else
    const bool ok = copyOfBitmap(displayBitmap).save(fileName, "BMP");
    if (!ok) prompter_->showError(this, text(Msg::WriteFailed, fileName));
    if (ok) workSaved();
    return ok;
#endif
}

bool TForm1::writeJpegFile(const QString& fileName, int quality) {
    if (displayBitmap.empty()) return false;
#ifdef SV_HAVE_JPEG_SAVER
    std::string error;
    std::string encoder = jpegEncoderPath.toStdString();
    if (encoder.empty()) encoder = locateJpegEncoder(programFolder.toStdString());
    const bool ok = saveJpeg(displayBitmap, fileName.toStdString(), quality, encoder, error);
    // The encoder's failure is reported, not passed over in silence.
    if (!ok) prompter_->showError(this, text(Msg::JpegFailed, QString::fromStdString(error)));
    if (ok) workSaved();
    return ok;
#else
    (void)quality;
    prompter_->showError(this, text(Msg::JpegFailed, fileName));
    return false;
#endif
}

}  // namespace sv
