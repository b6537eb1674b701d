#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QPushButton;
class QSlider;

namespace sv {

class TForm1;

// "Save as JPEG": the quality, 10 to 100; shown without blocking, on top of the main window.
class TOKBottomDlg : public QDialog {
    Q_OBJECT
public:
    explicit TOKBottomDlg(QWidget* parent = nullptr);
    void setForm(TForm1* form) { form_ = form; }
    void setSaveEnabled(bool enabled);
    void showCentred();

    int quality() const;
    // Sets the track bar and runs its change handler, so the number label follows.
    void setQuality(int quality);

    QLabel* Label1 = nullptr;       // "Quality:"
    QSlider* TrackBar1 = nullptr;
    QLabel* Label2 = nullptr;       // the number
    QCheckBox* CheckBox1 = nullptr; // "Keep metadata": the first exposure's EXIF and an sRGB profile
    QPushButton* Button2 = nullptr; // Save
    QPushButton* Button1 = nullptr; // Cancel

public slots:
    void TrackBar1Change();
    void Button2Click();
    void Button1Click();

private:
    TForm1* form_ = nullptr;
};

}  // namespace sv
