#pragma once

#include <QDialog>

class QCheckBox;
class QPushButton;

namespace sv {

class RadioGroup;
class TForm1;

// "Save as TIFF": compression and bit depth; shown without blocking, on top of the main window.
class TForm5 : public QDialog {
    Q_OBJECT
public:
    explicit TForm5(QWidget* parent = nullptr);
    void setForm(TForm1* form) { form_ = form; }
    void setSaveEnabled(bool enabled);
    // Shows the dialog centred on the screen, without blocking.
    void showCentred();

    RadioGroup* RadioGroup1 = nullptr;  // 0 uncompressed, 1 Deflate
    RadioGroup* RadioGroup2 = nullptr;  // 0 8 bits, 1 16 bits
    // "Keep metadata", off at first: the TIFF's documented layout is what other tools rely on.
    QCheckBox* CheckBox1 = nullptr;
    QPushButton* Button2 = nullptr;     // Save
    QPushButton* Button1 = nullptr;     // Cancel

public slots:
    void Button2Click();
    void Button1Click();

private:
    TForm1* form_ = nullptr;
};

}  // namespace sv
