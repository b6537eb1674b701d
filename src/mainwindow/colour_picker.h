#pragma once

#include <QColor>
#include <QDialog>
#include <QImage>
#include <array>

class QLabel;
class QPushButton;
class QSpinBox;

namespace sv {

class ColourPanel;

// The colour picker: a colour field (white to full hue across, full brightness to black
// down) beside a hue strip, three spin edits for red, green and blue, the new and old swatches.
// The caller disables its window, sets `target` and `editedColour` and shows the picker; OK
// writes the new colour into the target panel; hiding the picker enables the window again.
class TForm14 : public QDialog {
    Q_OBJECT
public:
    explicit TForm14(QWidget* parent = nullptr);

    // The window disabled while the picker is shown, and the three panels OK can write to.
    void setMainWindow(QWidget* window) { mainWindow_ = window; }
    void setTargetPanels(ColourPanel* panel17, ColourPanel* panel16, ColourPanel* panel19) {
        targets_ = {panel17, panel16, panel19};
    }
    // Disables the main window, records the target and the starting colour, shows the picker.
    void openFor(int targetNumber, const QColor& colour);

    void setLanguage(bool polish);

    int target = -1;
    QColor editedColour{0, 0, 0};

    // Controls (object names as the window layout names them).
    QWidget* Image1 = nullptr;  // colour field (mouse area; the picture is painted by the form)
    QWidget* Image2 = nullptr;  // hue strip (mouse area)
    QSpinBox* CSpinEdit1 = nullptr;
    QSpinBox* CSpinEdit2 = nullptr;
    QSpinBox* CSpinEdit3 = nullptr;
    ColourPanel* Panel20 = nullptr;  // new colour
    ColourPanel* Panel1 = nullptr;   // old colour
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label8 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;

    // Picture state, in the form's own coordinates.
    static constexpr int kFieldLeft = 8, kFieldTop = 8, kStripLeft = 224, kStripTop = 8;
    int shape5Left = 4, shape5Top = 5;  // field marker (7 x 7)
    int shape4Top = 6;                  // strip marker (22 x 5, hidden); hue row = shape4Top - 6
    int image3Top = 4;                  // strip arrow (5 x 9)
    int fieldX = 0, fieldY = 0;         // 0..255
    bool fieldDrag = false, stripDrag = false, updating = false;
    std::array<std::array<int, 3>, 200> hueTable{};
    QImage fieldBitmap;  // 100 x 100
    QImage stripBitmap;  // 14 x 200

    // Handlers (the mouse ones take Image1/Image2 coordinates).
    void FormShow();
    void Image1MouseDown(int X, int Y);
    void Image1MouseMove(int X, int Y);
    void Image1MouseUp();
    void Image2MouseDown(int X, int Y);
    void Image2MouseMove(int X, int Y);
    void Image2MouseUp();
    void CSpinEdit1Change();
    void Button1Click();
    void Button2Click();

    // Places the markers for a colour; with writeSpins the new colour goes to the spin edits.
    void placeMarkers(int R, int G, int B, bool writeSpins);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void buildHueStrip();
    void redrawField(const std::array<int, 3>& hue);
    void newColour(const std::array<int, 3>& hue, bool writeSpins);
    std::array<int, 3> markerHue() const;
    void setSpins(int r, int g, int b);

    QWidget* mainWindow_ = nullptr;
    std::array<ColourPanel*, 3> targets_{};
};

}  // namespace sv
