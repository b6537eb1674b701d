#include "mainwindow/tiff_save_dialog.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "mainwindow/controls.h"
#include "mainwindow/main_form.h"
#include "mainwindow/prompter.h"

namespace sv {

TForm5::TForm5(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("TForm5"));
    setWindowTitle(QStringLiteral("Save as TIFF"));
    setModal(false);
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    auto* layout = new QVBoxLayout(this);
    RadioGroup1 = new RadioGroup(this, QStringLiteral("RadioGroup1"),
                                 {QStringLiteral("Uncompressed"), QStringLiteral("Deflate (ZIP-in-TIFF)")});
    RadioGroup1->setTitle(QStringLiteral("Compression"));
    RadioGroup1->setItemIndex(1);
    RadioGroup2 = new RadioGroup(this, QStringLiteral("RadioGroup2"),
                                 {QStringLiteral("24 bit RGB (8 bit per channel)"),
                                  QStringLiteral("48 bit RGB (16 bit per channel)")});
    RadioGroup2->setTitle(QStringLiteral("Bit depth"));
    RadioGroup2->setItemIndex(0);
    layout->addWidget(RadioGroup1);
    layout->addWidget(RadioGroup2);
    CheckBox1 = new QCheckBox(QStringLiteral("Keep metadata"), this);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    layout->addWidget(CheckBox1);
    addSaveCancelRow(this, layout, Button2, Button1);
    connect(Button2, &QPushButton::clicked, this, &TForm5::Button2Click);
    connect(Button1, &QPushButton::clicked, this, &TForm5::Button1Click);
}

void TForm5::setSaveEnabled(bool enabled) { Button2->setEnabled(enabled); }

void TForm5::showCentred() { showCentredOnScreen(this); }

void TForm5::Button2Click() {
    if (!form_ || !Button2->isEnabled()) return;
    const QString question = form_->text(Msg::FileExists);
    bool goOn = true;
    if (TForm1::wouldOverwrite(form_->saveFileName) && form_->askBeforeOverwrite)
        goOn = form_->prompter().askYesNo(this, question);
    if (goOn) {
        form_->writeTiffFile(form_->saveFileName, RadioGroup2->itemIndex() == 1 ? 16 : 8, RadioGroup1->itemIndex(),
                             this, CheckBox1->isChecked());
    }
    hide();
}

void TForm5::Button1Click() { hide(); }

}  // namespace sv
