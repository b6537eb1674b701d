// The About box (splash versus Help > About) and the colour picker, driven through their
// controls. The picker's arithmetic is checked against a short reference written from the
// description of the picker (hue strip, marker placement, field colours).
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <array>
#include <cmath>
#include <cstdlib>
#include <random>

#include "mainwindow/about_box.h"
#include "mainwindow/colour_panel.h"
#include "mainwindow/colour_picker.h"

using sv::ColourPanel;
using sv::TForm14;
using sv::TForm2;

namespace {

// ---- reference picker arithmetic ---------------------------------------------------------------
using Rgb = std::array<int, 3>;

std::array<Rgb, 200> referenceHueTable() {
    std::array<Rgb, 200> t{};
    const int rows[6] = {33, 34, 33, 33, 34, 33};
    float r = 0, g = 0, b = 0;
    int row = 199;
    for (int s = 0; s < 6; ++s)
        for (int k = 0; k < rows[s]; ++k) {
            if (s == 0) { r = 255; g += 255.0f / 33; b = 0; }
            if (s == 1) { r -= 255.0f / 34; g = 255; b = 0; }
            if (s == 2) { r = 0; g = 255; b += 255.0f / 33; }
            if (s == 3) { r = 0; g -= 255.0f / 33; b = 255; }
            if (s == 4) { r += 255.0f / 34; g = 0; b = 255; }
            if (s == 5) { r = 255; g = 0; b -= 255.0f / 33; }
            t[row--] = {int(r), int(g), int(b)};
        }
    return t;
}

struct Placement {
    int left, top, x, y, hueRow;  // hueRow -1: none qualified
    Rgb colour;
};

// Marker placement and the new colour for (R, G, B); black is placed as (1, 0, 0).
Placement referencePlace(Rgb c, int previousRow) {
    if (c[0] == 0 && c[1] == 0 && c[2] == 0) c[0] = 1;
    int r = 0, mx = 0;
    for (int i = 0; i < 3; ++i)
        if (c[i] >= mx) { mx = c[i]; r = i; }
    double m = mx ? mx : 1;
    int n[3];
    for (int i = 0; i < 3; ++i) n[i] = int(c[i] / m * 255);
    int a = -1, b = -1;
    for (int i = 0; i < 3; ++i)
        if (i != r) (a < 0 ? a : b) = i;
    int s = n[b] >= n[a] ? b : a, t = s == b ? a : b;
    Placement p{};
    p.left = int(204 - double(c[t]) / c[r] * 200);
    p.top = int((1 - c[r] / 255.0) * 200 + 5);
    p.x = int((p.left - 4) * (1.0 / 199) * 255);
    p.y = int((p.top - 4) * (1.0 / 199) * 255);
    float e = (255 - p.y) / 255.0f * p.x / 255.0f, f = (255 - p.y) / 255.0f * (255 - p.x);
    auto table = referenceHueTable();
    int bound = 255;
    p.hueRow = -1;
    for (int u = 0; u < 200; ++u)
        if (table[u][r] == 255 && table[u][t] == 0) {
            int d = std::abs(int(table[u][s] * e + f - c[s]));
            if (d < bound) { bound = d; p.hueRow = u; }
        }
    const Rgb hue = table[p.hueRow >= 0 ? p.hueRow : previousRow];
    for (int i = 0; i < 3; ++i) p.colour[i] = std::clamp(int(hue[i] * e + f), 0, 255);
    return p;
}

Rgb rgbOf(const QColor& c) { return {c.red(), c.green(), c.blue()}; }

struct PickerRig {
    QWidget mainWindow;
    ColourPanel p17, p16, p19;
    TForm14 picker;
    ~PickerRig() { picker.setParent(nullptr); }
    PickerRig() {
        p17.setColour(QColor(10, 20, 30));
        p16.setColour(QColor(40, 50, 60));
        p19.setColour(QColor(70, 80, 90));
        // As in the program, the picker is a window of its own owned by the main window.
        picker.setParent(&mainWindow, picker.windowFlags());
        picker.setMainWindow(&mainWindow);
        picker.setTargetPanels(&p17, &p16, &p19);
        mainWindow.show();
    }
};

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private slots:
    void splashIgnoresClicksAndGoesWithTheTimer();
    void aboutClosesOnClickNotByTimer();
    void aboutPictureIsOurJpeg();
    void pickerHueStripMatchesReference();
    void pickerOpensOnWhiteAtTopLeft();
    void pickerOpensOnBlackAtBottom();
    void pickerPlacesTypedColoursLikeReference();
    void typingMovesMarkersButKeepsTheSpinEdits();
    void typedBlackStaysFinite();
    void fieldAndStripClicksMakeTheirColours();
    void okCopiesTheNewSwatchCancelKeepsThePanel();
    void mainWindowDisabledWhileShown();
    void languageSwitch();
};

void DialogsTest::splashIgnoresClicksAndGoesWithTheTimer() {
    TForm2 about;
    about.loadPicture(1.0);
    QVERIFY(about.Timer1->isActive());
    QCOMPARE(about.Timer1->interval(), 2200);
    about.showSplash();
    QVERIFY(about.isVisible());
    QVERIFY(about.splash());
    QTest::mouseClick(about.Image1, Qt::LeftButton, {}, QPoint(100, 100));
    QVERIFY2(about.isVisible(), "a click must not close the splash");
    // The real timer, started when the box was made, hides it.
    QTRY_VERIFY_WITH_TIMEOUT(!about.isVisible(), 4000);
    QVERIFY(!about.splash());
}

void DialogsTest::aboutClosesOnClickNotByTimer() {
    TForm2 about;
    about.loadPicture(1.0);
    about.showSplash();
    about.Timer1Timer();  // the splash's tick
    QVERIFY(!about.isVisible());
    about.About2Click();
    QVERIFY(about.isVisible());
    about.Timer1Timer();
    about.Timer1Timer();
    QVERIFY2(about.isVisible(), "later ticks must not close the About box");
    QTest::mouseClick(about.Image1, Qt::LeftButton, {}, QPoint(10, 10));
    QVERIFY(!about.isVisible());
}

void DialogsTest::aboutPictureIsOurJpeg() {
    TForm2 about;
    about.loadPicture(1.0);
    const QPixmap pm = about.Image1->pixmap();
    QCOMPARE(pm.size(), QSize(324, 288));
    QCOMPARE(about.Image1->size(), QSize(324, 288));
    QCOMPARE(about.size(), QSize(324, 288));
    QVERIFY(about.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(about.windowFlags() & Qt::WindowStaysOnTopHint);
}

void DialogsTest::pickerHueStripMatchesReference() {
    TForm14 picker;
    const auto ref = referenceHueTable();
    for (int u = 0; u < 200; ++u) {
        QCOMPARE(picker.hueTable[u], ref[u]);
        const QRgb px = picker.stripBitmap.pixel(7, u);
        QCOMPARE(qRed(px), std::clamp(ref[u][0], 0, 255));
        QCOMPARE(qGreen(px), std::clamp(ref[u][1], 0, 255));
        QCOMPARE(qBlue(px), std::clamp(ref[u][2], 0, 255));
    }
    QCOMPARE(ref[199], (Rgb{255, 7, 0}));  // red at the bottom
    QCOMPARE(ref[0][0], 255);              // back to red at the top
}

void DialogsTest::pickerOpensOnWhiteAtTopLeft() {
    PickerRig rig;
    rig.picker.openFor(1, QColor(255, 255, 255));
    QCOMPARE(rig.picker.shape5Left, 4);
    QCOMPARE(rig.picker.shape5Top, 5);
    QCOMPARE(rig.picker.fieldX, 0);
    QCOMPARE(rig.picker.fieldY, 1);  // top 5 lies one field row below the top edge
    // the spin edits keep the edited colour; the new swatch is the colour under the marker
    QCOMPARE(rig.picker.CSpinEdit3->value(), 255);
    QCOMPARE(rgbOf(rig.picker.Panel20->colour()), (Rgb{254, 254, 254}));
    QCOMPARE(rgbOf(rig.picker.Panel1->colour()), (Rgb{255, 255, 255}));
    // the field's top-left is white whatever the hue
    QCOMPARE(rig.picker.fieldBitmap.pixel(0, 0), qRgb(255, 255, 255));
}

void DialogsTest::pickerOpensOnBlackAtBottom() {
    PickerRig rig;
    rig.picker.openFor(0, QColor(0, 0, 0));
    QCOMPARE(rig.picker.shape5Top, 204);
    QCOMPARE(rig.picker.Label1->text(), QString("0"));
    QCOMPARE(rig.picker.Label2->text(), QString("0"));
    QCOMPARE(rig.picker.Label8->text(), QString("0"));
    QCOMPARE(rgbOf(rig.picker.Panel1->colour()), (Rgb{0, 0, 0}));
    QCOMPARE(rgbOf(rig.picker.Panel20->colour()), (Rgb{0, 0, 0}));
    // red hue: the strip marker sits on a row whose red is 255 and blue 0
    const auto hue = rig.picker.hueTable[rig.picker.shape4Top - 6];
    QCOMPARE(hue[0], 255);
    QCOMPARE(hue[2], 0);
    QCOMPARE(rig.picker.image3Top, rig.picker.shape4Top - 2);
}

void DialogsTest::pickerPlacesTypedColoursLikeReference() {
    PickerRig rig;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int k = 0; k < 300; ++k) {
        Rgb c = {byte(rng), byte(rng), byte(rng)};
        if (k % 7 == 0) c[1] = c[0];  // ties between channels
        if (k % 11 == 0) c = {c[0], c[0], c[0]};
        const int previousRow = rig.picker.shape4Top - 6;
        rig.picker.openFor(2, QColor(c[0], c[1], c[2]));
        const Placement ref = referencePlace(c, previousRow);
        QCOMPARE(rig.picker.shape5Left, ref.left);
        QCOMPARE(rig.picker.shape5Top, ref.top);
        QCOMPARE(rig.picker.fieldX, ref.x);
        QCOMPARE(rig.picker.fieldY, ref.y);
        if (ref.hueRow >= 0) QCOMPARE(rig.picker.shape4Top, ref.hueRow + 6);
        // The new swatch shows the colour under the markers, within a few steps of the edited
        // one; the old swatch and the spin edits keep the edited colour.
        QCOMPARE(rgbOf(rig.picker.Panel20->colour()), ref.colour);
        for (int i = 0; i < 3; ++i) QVERIFY(std::abs(ref.colour[i] - c[i]) <= 12);
        QCOMPARE(rgbOf(rig.picker.Panel1->colour()), c);
        QCOMPARE(rig.picker.CSpinEdit1->value(), c[0]);
        QCOMPARE(rig.picker.CSpinEdit3->value(), c[2]);
        rig.picker.hide();
    }
}

void DialogsTest::typingMovesMarkersButKeepsTheSpinEdits() {
    PickerRig rig;
    rig.picker.openFor(0, QColor(255, 255, 255));
    const int before = rig.picker.shape5Top;
    rig.picker.CSpinEdit1->setValue(200);
    rig.picker.CSpinEdit2->setValue(100);
    rig.picker.CSpinEdit3->setValue(50);
    // the swatch shows exactly the typed values, the spin edits were not rewritten
    QCOMPARE(rgbOf(rig.picker.Panel20->colour()), (Rgb{200, 100, 50}));
    QCOMPARE(rig.picker.CSpinEdit1->value(), 200);
    QCOMPARE(rig.picker.CSpinEdit2->value(), 100);
    QCOMPARE(rig.picker.CSpinEdit3->value(), 50);
    const Placement ref = referencePlace({200, 100, 50}, 0);
    QCOMPARE(rig.picker.shape5Left, ref.left);
    QCOMPARE(rig.picker.shape5Top, ref.top);
    QVERIFY(rig.picker.shape5Top != before);
    // the field was redrawn for an orange hue: its top-right pixel is that hue
    const QRgb corner = rig.picker.fieldBitmap.pixel(99, 0);
    QCOMPARE(qRed(corner), 255);
    QVERIFY(qGreen(corner) > 60 && qGreen(corner) < 200);
    QCOMPARE(qBlue(corner), 0);
    // typing through the keyboard reaches the same handler
    rig.picker.CSpinEdit2->selectAll();
    QTest::keyClicks(rig.picker.CSpinEdit2, "7");
    QCOMPARE(rgbOf(rig.picker.Panel20->colour()), (Rgb{200, 7, 50}));
}

void DialogsTest::typedBlackStaysFinite() {
    PickerRig rig;
    rig.picker.openFor(0, QColor(0, 0, 255));
    rig.picker.CSpinEdit3->setValue(0);  // now 0, 0, 0
    QCOMPARE(rgbOf(rig.picker.Panel20->colour()), (Rgb{0, 0, 0}));
    QCOMPARE(rig.picker.shape5Top, 204);
    QVERIFY(rig.picker.shape5Left >= 4 && rig.picker.shape5Left <= 204);
}

void DialogsTest::fieldAndStripClicksMakeTheirColours() {
    PickerRig rig;
    rig.picker.openFor(0, QColor(255, 0, 0));
    // top right of the field: the pure hue (red here)
    QTest::mouseClick(rig.picker.Image1, Qt::LeftButton, {}, QPoint(199, 0));
    QCOMPARE(rig.picker.fieldX, 255);
    QCOMPARE(rig.picker.fieldY, 0);
    QCOMPARE(rgbOf(rig.picker.Panel20->colour()), rig.picker.hueTable[rig.picker.shape4Top - 6]);
    QCOMPARE(rig.picker.CSpinEdit1->value(), rig.picker.Panel20->colour().red());
    QCOMPARE(rig.picker.shape5Left, 204);
    QCOMPARE(rig.picker.shape5Top, 5);
    // the hue strip: row 100 is in the green-to-cyan segment
    QTest::mouseClick(rig.picker.Image2, Qt::LeftButton, {}, QPoint(5, 100));
    QCOMPARE(rig.picker.shape4Top, 106);
    QCOMPARE(rig.picker.image3Top, 104);
    const Rgb hue = rig.picker.hueTable[100];
    QCOMPARE(rgbOf(rig.picker.Panel20->colour()), hue);
    QCOMPARE(qRgb(hue[0], hue[1], hue[2]), rig.picker.fieldBitmap.pixel(99, 0));
    // bottom of the field: black, whatever the hue
    QTest::mousePress(rig.picker.Image1, Qt::LeftButton, {}, QPoint(30, 30));
    QTest::mouseMove(rig.picker.Image1, QPoint(30, 250));  // dragged below: clamped to 199
    QTest::mouseRelease(rig.picker.Image1, Qt::LeftButton, {}, QPoint(30, 250));
    QCOMPARE(rig.picker.fieldY, 255);
    QCOMPARE(rgbOf(rig.picker.Panel20->colour()), (Rgb{0, 0, 0}));
    QVERIFY(!rig.picker.fieldDrag);
}

void DialogsTest::okCopiesTheNewSwatchCancelKeepsThePanel() {
    PickerRig rig;
    rig.picker.openFor(1, rig.p16.colour());
    rig.picker.CSpinEdit1->setValue(250);
    QTest::mouseClick(rig.picker.Button2, Qt::LeftButton);  // Cancel
    QVERIFY(!rig.picker.isVisible());
    QCOMPARE(rgbOf(rig.p16.colour()), (Rgb{40, 50, 60}));

    rig.picker.openFor(1, rig.p16.colour());
    QTest::mouseClick(rig.picker.Image1, Qt::LeftButton, {}, QPoint(199, 0));  // pure hue
    const QColor chosen = rig.picker.Panel20->colour();
    QTest::mouseClick(rig.picker.Button1, Qt::LeftButton);  // OK
    QVERIFY(!rig.picker.isVisible());
    QCOMPARE(rig.p16.colour(), chosen);
    QCOMPARE(rgbOf(rig.p17.colour()), (Rgb{10, 20, 30}));
    QCOMPARE(rgbOf(rig.p19.colour()), (Rgb{70, 80, 90}));

    // OK copies the swatch, not the spin edits (they can differ while the program sets them)
    rig.picker.openFor(2, QColor(1, 2, 3));
    rig.picker.Panel20->setColour(QColor(9, 8, 7));
    rig.picker.Button1Click();
    QCOMPARE(rgbOf(rig.p19.colour()), (Rgb{9, 8, 7}));
}

void DialogsTest::mainWindowDisabledWhileShown() {
    PickerRig rig;
    QVERIFY(rig.mainWindow.isEnabled());
    rig.picker.openFor(0, QColor(1, 2, 3));
    QVERIFY(!rig.mainWindow.isEnabled());
    QVERIFY(rig.picker.isEnabled());
    rig.picker.close();  // the close box
    QVERIFY(rig.mainWindow.isEnabled());
    rig.picker.openFor(0, QColor(1, 2, 3));
    QTest::keyClick(&rig.picker, Qt::Key_Escape);
    QVERIFY(!rig.picker.isVisible());
    QVERIFY(rig.mainWindow.isEnabled());
}

void DialogsTest::languageSwitch() {
    TForm14 picker;
    picker.setLanguage(true);
    QCOMPARE(picker.windowTitle(), QString("Wybierz kolor"));
    QCOMPARE(picker.Button2->text(), QString("Anuluj"));
    QCOMPARE(picker.Label6->text(), QString("Nowy"));
    QCOMPARE(picker.Label7->text(), QString("Stary"));
    picker.setLanguage(false);
    QCOMPARE(picker.windowTitle(), QString("Select color"));
    QCOMPARE(picker.Button2->text(), QString("Cancel"));
}

QTEST_MAIN(DialogsTest)
#include "test_dialogs.moc"
