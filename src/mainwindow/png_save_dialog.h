#pragma once

#include <QDialog>

class QCheckBox;
class QPushButton;

namespace sv {

class RadioGroup;
class TForm1;

// "Save as PNG": bit depth and "Keep metadata"; shown without blocking, on top of the main window
// (which owns it).
class PngSaveDialog : public QDialog {
    Q_OBJECT
public:
    explicit PngSaveDialog(TForm1* form);
    void setSaveEnabled(bool enabled);
    void showCentred();

    RadioGroup* PngBitDepth = nullptr;   // 0 8 bits (the display bitmap), 1 16 bits (the processed picture)
    QCheckBox* PngMetadata = nullptr;    // on at first
    QPushButton* PngSave = nullptr;
    QPushButton* PngCancel = nullptr;

public slots:
    void saveClick();
    void cancelClick();

private:
    TForm1* form_ = nullptr;
};

}  // namespace sv
