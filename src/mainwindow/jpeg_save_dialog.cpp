#include "mainwindow/jpeg_save_dialog.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QVBoxLayout>

#include "mainwindow/controls.h"
#include "mainwindow/main_form.h"
#include "mainwindow/prompter.h"

namespace sv {

TOKBottomDlg::TOKBottomDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("TOKBottomDlg"));
    setWindowTitle(QStringLiteral("Save as JPEG"));
    setModal(false);
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout();
    Label1 = new QLabel(QStringLiteral("Quality:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    TrackBar1 = new QSlider(Qt::Horizontal, this);
    TrackBar1->setObjectName(QStringLiteral("TrackBar1"));
    TrackBar1->setRange(10, 100);
    TrackBar1->setTickInterval(10);
    TrackBar1->setTickPosition(QSlider::TicksBelow);
    TrackBar1->setValue(95);
    TrackBar1->setMinimumWidth(180);
    Label2 = new QLabel(QStringLiteral("95"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setMinimumWidth(Label2->fontMetrics().horizontalAdvance(QStringLiteral("1000")));
    row->addWidget(Label1);
    row->addWidget(TrackBar1, 1);
    row->addWidget(Label2);
    layout->addLayout(row);
    CheckBox1 = new QCheckBox(QStringLiteral("Keep metadata"), this);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox1->setChecked(true);
    layout->addWidget(CheckBox1);
    addSaveCancelRow(this, layout, Button2, Button1);
    connect(TrackBar1, &QSlider::valueChanged, this, &TOKBottomDlg::TrackBar1Change);
    connect(Button2, &QPushButton::clicked, this, &TOKBottomDlg::Button2Click);
    connect(Button1, &QPushButton::clicked, this, &TOKBottomDlg::Button1Click);
}

int TOKBottomDlg::quality() const { return TrackBar1->value(); }

void TOKBottomDlg::setQuality(int q) {
    TrackBar1->setValue(q);
    TrackBar1Change();
}

void TOKBottomDlg::TrackBar1Change() { Label2->setText(QString::number(TrackBar1->value())); }

void TOKBottomDlg::setSaveEnabled(bool enabled) { Button2->setEnabled(enabled); }

void TOKBottomDlg::showCentred() { showCentredOnScreen(this); }

void TOKBottomDlg::Button2Click() {
    if (!form_ || !Button2->isEnabled()) return;
    const QString question = form_->text(Msg::FileExists);
    bool goOn = true;
    if (form_->askBeforeOverwrite && TForm1::wouldOverwrite(form_->saveFileName))
        goOn = form_->prompter().askYesNo(this, question);
    if (goOn) {
        form_->saveDefaultExtension = QStringLiteral("*.jpg");
        form_->writeJpegFile(form_->saveFileName, quality(), this, CheckBox1->isChecked());
    }
    hide();
}

void TOKBottomDlg::Button1Click() { hide(); }

}  // namespace sv
