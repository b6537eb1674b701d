// Save and Save as: the format comes from the entry chosen in the save dialog, never from the
// file name's extension. BMP is written at once; TIFF and JPEG open their options dialogs, which
// write when their Save button is pressed.
#include <QFileInfo>

#include "imagefiles/bmp_writer.h"
#include "imagefiles/jpeg_saver.h"
#include "imagefiles/tiff_writer.h"
#include "mainwindow/jpeg_save_dialog.h"
#include "mainwindow/main_form.h"
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
        case 3: writeBmpFile(saveFileName); break;
        case 2: if (jpegDialog) jpegDialog->showCentred(); break;
        default: if (tiffDialog) tiffDialog->showCentred(); break;
    }
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

bool TForm1::writeTiffFile(const QString& fileName, int bits, int compressionIndex, QWidget* messageParent) {
    if (jobRunning() || project.processedBuffer.empty()) return false;
    beginProgress(gaugeSink(), project.imageHeight);
    const Failure failed = writeTiff(fileName.toStdString(), project.processedBuffer, project.imageWidth,
                                     project.imageHeight, bits,
                                     compressionIndex == 0 ? TiffCompressionChoice::None : TiffCompressionChoice::Deflate,
                                     gaugeSink());
    endProgress(gaugeSink(), project.imageHeight);
    if (!failed) savedAs(fileName);
    else showWriteFailure(messageParent, writeFailedText(fileName, *failed));
    return !failed;
}

bool TForm1::writeBmpFile(const QString& fileName, QWidget* messageParent) {
    if (displayBitmap.empty()) return false;
    const Failure failed = writeBmp(displayBitmap, fileName.toStdString());
    if (!failed) savedAs(fileName);
    else showWriteFailure(messageParent, writeFailedText(fileName, *failed));
    return !failed;
}

bool TForm1::writeJpegFile(const QString& fileName, int quality, QWidget* messageParent) {
    if (displayBitmap.empty()) return false;
    std::string encoder = jpegEncoderPath.toStdString();
    if (encoder.empty()) encoder = locateJpegEncoder(programFolder.toStdString());
    const Failure failed = saveJpeg(displayBitmap, fileName.toStdString(), quality, encoder);
    // The encoder's failure is reported, not passed over in silence.
    if (!failed) savedAs(fileName);
    else showWriteFailure(messageParent, text(Msg::JpegFailed, writeFailureText(failed->write, polish())));
    return !failed;
}

}  // namespace sv
