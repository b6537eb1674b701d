#include "mainwindow/png_save_dialog.h"

#include <QCheckBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "mainwindow/controls.h"
#include "mainwindow/main_form.h"
#include "mainwindow/prompter.h"

namespace sv {

PngSaveDialog::PngSaveDialog(TForm1* form) : QDialog(form, Qt::Dialog), form_(form) {
    setObjectName(QStringLiteral("PngSaveDialog"));
    setWindowTitle(QStringLiteral("Save as PNG"));
    setModal(false);
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    auto* layout = new QVBoxLayout(this);
    PngBitDepth = new RadioGroup(this, QStringLiteral("PngBitDepth"),
                                 {QStringLiteral("24 bit RGB (8 bit per channel)"),
                                  QStringLiteral("48 bit RGB (16 bit per channel)")});
    PngBitDepth->setTitle(QStringLiteral("Bit depth"));
    PngBitDepth->setItemIndex(0);
    PngMetadata = new QCheckBox(QStringLiteral("Keep metadata"), this);
    PngMetadata->setObjectName(QStringLiteral("PngMetadata"));
    PngMetadata->setChecked(true);
    layout->addWidget(PngBitDepth);
    layout->addWidget(PngMetadata);
    addSaveCancelRow(this, layout, PngSave, PngCancel);
    // Named apart from the main window's own Button1 and Button2, whose child this dialog is.
    PngSave->setObjectName(QStringLiteral("PngSave"));
    PngCancel->setObjectName(QStringLiteral("PngCancel"));
    connect(PngSave, &QPushButton::clicked, this, &PngSaveDialog::saveClick);
    connect(PngCancel, &QPushButton::clicked, this, &PngSaveDialog::cancelClick);
}

void PngSaveDialog::setSaveEnabled(bool enabled) { PngSave->setEnabled(enabled); }

void PngSaveDialog::showCentred() { showCentredOnScreen(this); }

void PngSaveDialog::saveClick() {
    if (!form_ || !PngSave->isEnabled()) return;
    bool goOn = true;
    if (form_->askBeforeOverwrite && TForm1::wouldOverwrite(form_->saveFileName))
        goOn = form_->prompter().askYesNo(this, form_->text(Msg::FileExists));
    if (goOn) {
        form_->saveDefaultExtension = QStringLiteral("*.png");
        form_->writePngFile(form_->saveFileName, PngBitDepth->itemIndex() == 1 ? 16 : 8, PngMetadata->isChecked(),
                            this);
    }
    hide();
}

void PngSaveDialog::cancelClick() { hide(); }

}  // namespace sv
