#include "mainwindow/colour_picker.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "mainwindow/colour_panel.h"

namespace sv {

namespace {

// A transparent rectangle over a picture painted by its parent; hands its mouse on.
class MouseArea : public QWidget {
public:
    using Handler = std::function<void(int, int)>;
    MouseArea(QWidget* parent, Handler down, Handler move, std::function<void()> up)
        : QWidget(parent), down_(std::move(down)), move_(std::move(move)), up_(std::move(up)) {}

protected:
    void mousePressEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton) down_(int(e->position().x()), int(e->position().y()));
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        move_(int(e->position().x()), int(e->position().y()));
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton) up_();
    }

private:
    Handler down_, move_;
    std::function<void()> up_;
};

int clampByte(int v) { return std::clamp(v, 0, 255); }

}  // namespace

TForm14::TForm14(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName("TForm14");
    setFixedSize(459, 242);
    setModal(false);

    Image1 = new MouseArea(
        this, [this](int x, int y) { Image1MouseDown(x, y); },
        [this](int x, int y) { Image1MouseMove(x, y); }, [this] { Image1MouseUp(); });
    Image1->setObjectName("Image1");
    Image1->setGeometry(kFieldLeft, kFieldTop, 200, 200);
    Image2 = new MouseArea(
        this, [this](int x, int y) { Image2MouseDown(x, y); },
        [this](int x, int y) { Image2MouseMove(x, y); }, [this] { Image2MouseUp(); });
    Image2->setObjectName("Image2");
    Image2->setGeometry(kStripLeft, kStripTop, 14, 200);
    // Cursor 5, the thin cross, over the field and the strip.
    const QPixmap cross(QStringLiteral(":/cursors/cross.png"));
    const QCursor crossCursor = cross.isNull() ? QCursor(Qt::CrossCursor) : QCursor(cross, 16, 16);
    Image1->setCursor(crossCursor);
    Image2->setCursor(crossCursor);

    const int col = 262;
    Label6 = new QLabel("New", this);
    Label6->setObjectName("Label6");
    Label6->setGeometry(col, 6, 90, 18);
    Label7 = new QLabel("Old", this);
    Label7->setObjectName("Label7");
    Label7->setGeometry(col + 100, 6, 90, 18);
    Panel20 = new ColourPanel(this);
    Panel20->setObjectName("Panel20");
    Panel20->setGeometry(col, 26, 90, 44);
    Panel1 = new ColourPanel(this);
    Panel1->setObjectName("Panel1");
    Panel1->setGeometry(col + 100, 26, 90, 44);
    Label1 = new QLabel("0", this);
    Label2 = new QLabel("0", this);
    Label8 = new QLabel("0", this);
    const char* oldNames[] = {"Label1", "Label2", "Label8"};
    QLabel* old[] = {Label1, Label2, Label8};
    const char* channel[] = {"R", "G", "B"};
    QSpinBox** spins[] = {&CSpinEdit1, &CSpinEdit2, &CSpinEdit3};
    const char* spinNames[] = {"CSpinEdit1", "CSpinEdit2", "CSpinEdit3"};
    for (int i = 0; i < 3; ++i) {
        auto* letter = new QLabel(channel[i], this);
        letter->setGeometry(col, 84 + i * 32, 16, 24);
        auto* spin = new QSpinBox(this);
        spin->setObjectName(spinNames[i]);
        spin->setRange(0, 255);
        spin->setGeometry(col + 18, 84 + i * 32, 72, 24);
        connect(spin, &QSpinBox::valueChanged, this, [this] { CSpinEdit1Change(); });
        *spins[i] = spin;
        old[i]->setObjectName(oldNames[i]);
        old[i]->setGeometry(col + 100, 84 + i * 32, 90, 24);
    }
    Button1 = new QPushButton("OK", this);
    Button1->setObjectName("Button1");
    Button1->setGeometry(col + 10, 204, 84, 28);
    Button1->setDefault(true);
    Button2 = new QPushButton("Cancel", this);
    Button2->setObjectName("Button2");
    Button2->setGeometry(col + 104, 204, 84, 28);
    connect(Button1, &QPushButton::clicked, this, &TForm14::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm14::Button2Click);

    fieldBitmap = QImage(100, 100, QImage::Format_RGB32);
    fieldBitmap.fill(Qt::white);
    stripBitmap = QImage(14, 200, QImage::Format_RGB32);
    buildHueStrip();
    setLanguage(false);
}

void TForm14::setLanguage(bool polish) {
    setWindowTitle(polish ? QString::fromUtf8("Wybierz kolor") : QStringLiteral("Select color"));
    Button1->setText("OK");
    Button2->setText(polish ? QStringLiteral("Anuluj") : QStringLiteral("Cancel"));
    Label6->setText(polish ? QStringLiteral("Nowy") : QStringLiteral("New"));
    Label7->setText(polish ? QStringLiteral("Stary") : QStringLiteral("Old"));
}

void TForm14::openFor(int targetNumber, const QColor& colour) {
    if (mainWindow_) mainWindow_->setEnabled(false);
    // Disabling the main window also disables its child windows; the picker must stay usable.
    setEnabled(true);
    target = targetNumber;
    editedColour = colour;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    show();
    raise();
    activateWindow();
}

void TForm14::setSpins(int r, int g, int b) {
    updating = true;
    CSpinEdit1->setValue(r);
    CSpinEdit2->setValue(g);
    CSpinEdit3->setValue(b);
    updating = false;
}

void TForm14::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void TForm14::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    // However the picker goes away (OK, Cancel, the window's close box, Escape), the main
    // window comes back.
    if (mainWindow_) mainWindow_->setEnabled(true);
}

void TForm14::buildHueStrip() {
    // From the bottom row up: red, yellow, green, cyan, blue, magenta, back to red.
    static constexpr int kSegmentRows[6] = {33, 34, 33, 33, 34, 33};
    float r = 0, g = 0, b = 0;
    int row = 199;
    for (int seg = 0; seg < 6; ++seg) {
        for (int k = 0; k < kSegmentRows[seg]; ++k, --row) {
            switch (seg) {
                case 0: r = 255; g += 255.0f / 33; b = 0; break;
                case 1: r -= 255.0f / 34; g = 255; b = 0; break;
                case 2: r = 0; g = 255; b += 255.0f / 33; break;
                case 3: r = 0; g -= 255.0f / 33; b = 255; break;
                case 4: r += 255.0f / 34; g = 0; b = 255; break;
                default: r = 255; g = 0; b -= 255.0f / 33; break;
            }
            hueTable[row] = {static_cast<int>(r), static_cast<int>(g), static_cast<int>(b)};
            const QRgb px = qRgb(clampByte(hueTable[row][0]), clampByte(hueTable[row][1]),
                                 clampByte(hueTable[row][2]));
            auto* line = reinterpret_cast<QRgb*>(stripBitmap.scanLine(row));
            for (int x = 0; x < 14; ++x) line[x] = px;
        }
    }
}

std::array<int, 3> TForm14::markerHue() const {
    const int row = std::clamp(shape4Top - 6, 0, 199);
    return hueTable[row];
}

void TForm14::redrawField(const std::array<int, 3>& hue) {
    for (int i = 0; i < 100; ++i) {
        auto* line = reinterpret_cast<QRgb*>(fieldBitmap.scanLine(i));
        const float b = (99 - i) * (1.0f / 99);
        for (int j = 0; j < 100; ++j) {
            const float d = b * j * (1.0f / 99);
            const float c = b * (99 - j) * (1.0f / 99) * 255;
            int ch[3];
            for (int k = 0; k < 3; ++k) ch[k] = clampByte(static_cast<int>(hue[k] * d + c));
            line[j] = qRgb(ch[0], ch[1], ch[2]);
        }
    }
    update();
}

void TForm14::newColour(const std::array<int, 3>& hue, bool writeSpins) {
    const float e = (255 - fieldY) / 255.0f * fieldX / 255.0f;
    const float f = (255 - fieldY) / 255.0f * (255 - fieldX);
    int ch[3];
    for (int k = 0; k < 3; ++k) ch[k] = clampByte(static_cast<int>(hue[k] * e + f));
    Panel20->setColour(QColor(ch[0], ch[1], ch[2]));
    if (writeSpins) setSpins(ch[0], ch[1], ch[2]);
}

void TForm14::placeMarkers(int R, int G, int B, bool writeSpins) {
    // Black has no hue: it is placed as the darkest red (bottom of the field, red hue). That
    // also keeps the division below away from 0 / 0 when black is typed into the spin edits.
    if (R == 0 && G == 0 && B == 0) R = 1;
    const int v[3] = {R, G, B};
    int r = 0, best = 0;
    for (int c = 0; c < 3; ++c)
        if (v[c] >= best) {
            best = v[c];
            r = c;
        }
    const double m = best == 0 ? 1.0 : best;
    int n[3];
    for (int c = 0; c < 3; ++c) n[c] = static_cast<int>(v[c] / m * 255);
    const int o1 = r == 0 ? 1 : 0;
    const int o2 = r == 2 ? 1 : 2;
    const int s = n[o2] >= n[o1] ? o2 : o1;
    const int t = s == o2 ? o1 : o2;

    shape5Left = static_cast<int>(204 - static_cast<double>(v[t]) / v[r] * 200);
    shape5Top = static_cast<int>((1 - v[r] / 255.0) * 200 + 5);
    fieldX = static_cast<int>((shape5Left - 4) * (1.0 / 199) * 255);
    fieldY = static_cast<int>((shape5Top - 4) * (1.0 / 199) * 255);
    const float e = (255 - fieldY) / 255.0f * fieldX / 255.0f;
    const float f = (255 - fieldY) / 255.0f * (255 - fieldX);

    int bound = 255, found = -1;
    for (int u = 0; u < 200; ++u) {
        if (hueTable[u][r] != 255 || hueTable[u][t] != 0) continue;
        const int d = std::abs(static_cast<int>(hueTable[u][s] * e + f - v[s]));
        if (d < bound) {
            bound = d;
            found = u;
        }
    }
    if (found >= 0) {
        shape4Top = found + 6;
        image3Top = found + 4;
    }
    const auto hue = markerHue();
    redrawField(hue);
    newColour(hue, writeSpins);
}

void TForm14::FormShow() {
    const int r = editedColour.red(), g = editedColour.green(), b = editedColour.blue();
    Panel20->setColour(editedColour);
    Panel1->setColour(editedColour);
    Label1->setText(QString::number(r));
    Label2->setText(QString::number(g));
    Label8->setText(QString::number(b));
    setSpins(r, g, b);
    placeMarkers(r, g, b, false);
    update();
}

void TForm14::Image1MouseDown(int X, int Y) {
    fieldDrag = true;
    shape5Left = X + 5;
    shape5Top = Y + 5;
    fieldX = static_cast<int>(X * (1.0 / 199) * 255);
    fieldY = static_cast<int>(Y * (1.0 / 199) * 255);
    const auto hue = markerHue();
    redrawField(hue);
    newColour(hue, true);
}

void TForm14::Image1MouseMove(int X, int Y) {
    if (!fieldDrag) return;
    X = std::clamp(X, 0, 199);
    Y = std::clamp(Y, 0, 199);
    shape5Left = X + 5;
    shape5Top = Y + 5;
    fieldX = static_cast<int>(X * (1.0 / 199) * 255);
    fieldY = static_cast<int>(Y * (1.0 / 199) * 255);
    newColour(markerHue(), true);
    update();
}

void TForm14::Image1MouseUp() { fieldDrag = false; }

void TForm14::Image2MouseDown(int X, int Y) {
    (void)X;
    stripDrag = true;
    Y = std::clamp(Y, 0, 199);
    shape4Top = Y + 6;
    image3Top = Y + 4;
    const QRgb px = stripBitmap.pixel(2, Y);
    const std::array<int, 3> hue = {qRed(px), qGreen(px), qBlue(px)};
    redrawField(hue);
    newColour(hue, true);
}

void TForm14::Image2MouseMove(int X, int Y) {
    (void)X;
    if (!stripDrag) return;
    Y = std::clamp(Y, 0, 199);
    shape4Top = Y + 6;
    image3Top = Y + 4;
    const auto hue = hueTable[Y];
    redrawField(hue);
    newColour(hue, true);
}

void TForm14::Image2MouseUp() { stripDrag = false; }

void TForm14::CSpinEdit1Change() {
    const int r = CSpinEdit1->value(), g = CSpinEdit2->value(), b = CSpinEdit3->value();
    if (!updating) placeMarkers(r, g, b, false);
    Panel20->setColour(QColor(r, g, b));
}

void TForm14::Button1Click() {
    if (target >= 0 && target <= 2 && targets_[target]) targets_[target]->setColour(Panel20->colour());
    hide();
}

void TForm14::Button2Click() { hide(); }

void TForm14::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    p.drawImage(QRect(kFieldLeft, kFieldTop, 200, 200), fieldBitmap);
    p.setPen(QColor(128, 128, 128));
    p.drawRect(kFieldLeft - 1, kFieldTop - 1, 201, 201);
    p.drawImage(QPoint(kStripLeft, kStripTop), stripBitmap);
    p.drawRect(kStripLeft - 1, kStripTop - 1, 15, 201);
    // The arrow beside the strip points at the chosen hue.
    const int ax = kStripLeft + 16;
    const QPoint arrow[3] = {QPoint(ax, image3Top + 4), QPoint(ax + 5, image3Top),
                             QPoint(ax + 5, image3Top + 8)};
    p.setPen(Qt::black);
    p.setBrush(Qt::black);
    p.drawPolygon(arrow, 3);
    // The field marker inverts what lies under it, so it shows on every colour.
    p.setBrush(Qt::NoBrush);
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    p.setPen(QPen(Qt::white, 1));
    p.drawRect(shape5Left, shape5Top, 6, 6);
}

}  // namespace sv
