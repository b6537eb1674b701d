// Step 2: Process. The group frames and the buttons the window's job rules use; the page's own
// controls (curve, gamma, saturation, histogram) fill the frames.
#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "filters/filter_labels.h"
#include "mainwindow/controls.h"
#include "mainwindow/curve_box.h"
#include "mainwindow/main_form.h"
#include "mainwindow/picture_box.h"
#include "tone/histogram.h"
#include "tone/tone_curve.h"

namespace sv {

void TForm1::buildProcessPage(QWidget* page) {
    // Tight spacing: at the window's restored size the whole page, histogram included, is in view.
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 3, 4, 3);
    layout->setSpacing(3);

    GroupBox2 = new ToolGroup(page, QStringLiteral("GroupBox2"));
    GroupBox2->setMouseTracking(false);
    GroupBox2->setMinimumHeight(230);
    layout->addWidget(GroupBox2);

    GroupBox6 = new ToolGroup(page, QStringLiteral("GroupBox6"));
    GroupBox6->setMouseTracking(false);
    GroupBox6->setMinimumHeight(110);
    layout->addWidget(GroupBox6);

    GroupBox5 = new ToolGroup(page, QStringLiteral("GroupBox5"));
    GroupBox5->setMouseTracking(false);
    // Its caption is empty: the row of buttons needs no frame around it.
    GroupBox5->setFlat(true);
    auto* row = new QHBoxLayout(GroupBox5);
    row->setContentsMargins(6, 1, 6, 1);
    Button1 = new QPushButton(QStringLiteral("Preview"), GroupBox5);
    Button1->setObjectName(QStringLiteral("Button1"));
    CheckBox5 = new QCheckBox(QStringLiteral("Auto"), GroupBox5);
    CheckBox5->setObjectName(QStringLiteral("CheckBox5"));
    Button2 = new QPushButton(QStringLiteral("Process all"), GroupBox5);
    Button2->setObjectName(QStringLiteral("Button2"));
    row->addWidget(Button1);
    row->addWidget(CheckBox5);
    row->addWidget(Button2);
    layout->addWidget(GroupBox5);

    GroupBox4 = new ToolGroup(page, QStringLiteral("GroupBox4"));
    GroupBox4->setMouseTracking(false);
    GroupBox4->setMinimumHeight(150);
    layout->addWidget(GroupBox4);
    layout->addStretch(1);

    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);

    buildProcessControls();
    buildProcessModeControls(page);
}

// ---------------------------------------------------------------------------- Step 2 controls

namespace {

QString localeSeparator() { return QLocale().decimalPoint(); }

QString fixedText(double value, int decimals) {
    return QString::fromStdString(fixedLabel(value, decimals, localeSeparator().toStdString()));
}

// A grey ramp, black to white along its long side (the axis legends under and beside the box).
QImage greyRamp(int width, int height, bool horizontal) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int v = horizontal ? x * 255 / std::max(1, width - 1)
                                     : (height - 1 - y) * 255 / std::max(1, height - 1);
            image.setPixel(x, y, qRgb(v, v, v));
        }
    return image;
}

// Small glyphs of the curve buttons.
QIcon curveGlyph(int kind) {
    QPixmap pm(18, 18);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0, 0, 160), 1.6));
    switch (kind) {
        case 0: {  // smooth
            QPainterPath path(QPointF(2, 16));
            path.cubicTo(QPointF(6, 2), QPointF(12, 16), QPointF(16, 2));
            p.drawPath(path);
            break;
        }
        case 1: {  // linear
            const QPointF pts[4] = {QPointF(2, 16), QPointF(7, 6), QPointF(11, 12), QPointF(16, 2)};
            p.drawPolyline(pts, 4);
            break;
        }
        case 2:  // one point more
            p.drawLine(QPointF(9, 3), QPointF(9, 15));
            p.drawLine(QPointF(3, 9), QPointF(15, 9));
            break;
        default:  // one point less
            p.drawLine(QPointF(3, 9), QPointF(15, 9));
            break;
    }
    return QIcon(pm);
}

QFrame* makeLine(QWidget* parent, const char* name, QColor colour) {
    auto* line = new QFrame(parent);
    line->setObjectName(QString::fromLatin1(name));
    line->setAutoFillBackground(true);
    QPalette pal = line->palette();
    pal.setColor(QPalette::Window, colour);
    line->setPalette(pal);
    line->setAttribute(Qt::WA_TransparentForMouseEvents);
    return line;
}

}  // namespace

void TForm1::buildProcessControls() {
    // Curve adjust
    Panel2 = new QFrame(GroupBox2);
    Panel2->setObjectName("Panel2");
    Image2 = new PictureBox(Panel2, "Image2");
    Panel13 = new QFrame(GroupBox2);
    Panel13->setObjectName("Panel13");
    Panel13->setFrameStyle(QFrame::Box | QFrame::Plain);  // Shape4, the box's frame
    Image1 = new CurveBox(Panel13);
    Image1->setObjectName("Image1");
    Image1->onMouseDown = [this](int x, int y) { Image1MouseDown(x, y); };
    Image1->onMouseMove = [this](int x, int y) { Image1MouseMove(x, y); };
    Image1->onMouseUp = [this](int x, int y) { Image1MouseUp(x, y); };
    Panel1 = new QFrame(GroupBox2);
    Panel1->setObjectName("Panel1");
    Image5 = new PictureBox(Panel1, "Image5");
    struct Speed {
        QToolButton** button;
        const char* name;
        int glyph;
        void (TForm1::*handler)();
    };
    const Speed speeds[] = {{&SpeedButton1, "SpeedButton1", 0, &TForm1::SpeedButton1Click},
                            {&SpeedButton2, "SpeedButton2", 1, &TForm1::SpeedButton2Click},
                            {&SpeedButton4, "SpeedButton4", 2, &TForm1::SpeedButton4Click},
                            {&SpeedButton3, "SpeedButton3", 3, &TForm1::SpeedButton3Click}};
    for (const Speed& s : speeds) {
        auto* b = new QToolButton(GroupBox2);
        b->setObjectName(QString::fromLatin1(s.name));
        b->setIcon(curveGlyph(s.glyph));
        b->setAutoRaise(false);
        connect(b, &QToolButton::clicked, this, s.handler);
        *s.button = b;
    }
    SpeedButton1->setEnabled(false);  // smooth mode at start
    SpeedButton3->setEnabled(false);  // one point at start
    Button8 = new QPushButton("Reset", GroupBox2);
    Button8->setObjectName("Button8");
    connect(Button8, &QPushButton::clicked, this, &TForm1::Button8Click);
    Label16 = makeLabel(GroupBox2, "Label16", "x = 0");
    Label17 = makeLabel(GroupBox2, "Label17", "y = 0");

    // Tone mapping
    Label22 = makeLabel(GroupBox6, "Label22", "Gamma:");
    TrackBar11 = makeTrackBar(GroupBox6, "TrackBar11", 1, 400, 100);
    Label24 = makeLabel(GroupBox6, "Label24", "1,00");
    Label21 = makeLabel(GroupBox6, "Label21", "Saturation:");
    TrackBar10 = makeTrackBar(GroupBox6, "TrackBar10", -99, 300, 0);
    Label23 = makeLabel(GroupBox6, "Label23", "1,00");
    for (QLabel* l : {Label24, Label23}) l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    connect(TrackBar11, &QSlider::valueChanged, this, &TForm1::TrackBar11Change);
    connect(TrackBar10, &QSlider::valueChanged, this, &TForm1::TrackBar10Change);
    // The design shows "1,00"; the labels follow the user's separator from the start.
    Label24->setText(fixedText(1.0, 2));
    Label23->setText(fixedText(1.0, 2));

    // Histogram, white && black point
    TrackBar12 = makeTrackBar(GroupBox4, "TrackBar12", 0, 255, 255);
    Shape5 = new QFrame(GroupBox4);
    Shape5->setObjectName("Shape5");
    Shape5->setFrameStyle(QFrame::Box | QFrame::Plain);
    Image3 = new PictureBox(GroupBox4, "Image3");
    Shape12 = makeLine(GroupBox4, "Shape12", QColor(255, 0, 0));
    Shape11 = makeLine(GroupBox4, "Shape11", QColor(255, 0, 0));
    TrackBar13 = makeTrackBar(GroupBox4, "TrackBar13", 0, 255, 0);
    Panel3 = new QFrame(GroupBox4);
    Panel3->setObjectName("Panel3");
    Image10 = new PictureBox(Panel3, "Image10");
    connect(TrackBar12, &QSlider::valueChanged, this, &TForm1::TrackBar12Change);
    connect(TrackBar13, &QSlider::valueChanged, this, &TForm1::TrackBar13Change);

    toneCurve = std::make_unique<ToneCurve>(displayScale);
    layoutProcessControls();
}

void TForm1::layoutProcessControls() {
    const double s = displayScale;
    const int D = toneCurve->boxPixels();
    const int width = std::max(static_cast<int>(250 * s), 22 + D + 4 + 10);

    // Curve adjust: the output ramp at the left, the box, the input ramp under it, the buttons.
    Panel2->setGeometry(6, 22, 12, D + 2);
    Image2->setGeometry(0, 0, 12, D + 2);
    Image2->setImage(greyRamp(12, 202, false));
    Panel13->setGeometry(20, 20, D + 4, D + 4);
    Image1->setGeometry(2, 2, D, D);
    Panel1->setGeometry(21, 20 + D + 6, D + 2, 12);
    Image5->setGeometry(0, 0, D + 2, 12);
    Image5->setImage(greyRamp(202, 12, true));
    const int row = 20 + D + 6 + 12 + 6;
    SpeedButton1->setGeometry(20, row, 26, 26);
    SpeedButton2->setGeometry(48, row, 26, 26);
    SpeedButton4->setGeometry(84, row, 26, 26);
    SpeedButton3->setGeometry(112, row, 26, 26);
    Button8->setGeometry(20 + D + 4 - 76, row, 76, 26);
    // The point's coordinates: one line of the face in use (larger at a larger display scale).
    const int line = std::max(16, Label16->fontMetrics().height());
    Label16->setGeometry(22, row + 28, 90, line);
    Label17->setGeometry(120, row + 28, 90, line);
    // The frames keep their heights and follow the column's width.
    GroupBox2->setMinimumWidth(width);
    GroupBox2->setFixedHeight(row + 28 + line + 4);

    // Tone mapping
    const int labelW = static_cast<int>(74 * s), valueW = static_cast<int>(40 * s);
    const int barX = 8 + labelW, barW = width - barX - valueW - 10;
    Label22->setGeometry(8, 22, labelW, 22);
    TrackBar11->setGeometry(barX, 22, barW, 22);
    Label24->setGeometry(width - valueW - 8, 22, valueW, 22);
    Label21->setGeometry(8, 48, labelW, 22);
    TrackBar10->setGeometry(barX, 48, barW, 22);
    Label23->setGeometry(width - valueW - 8, 48, valueW, 22);
    GroupBox6->setMinimumWidth(width);
    GroupBox6->setFixedHeight(76);

    // Preview, Auto, Process all keep the frame's own row.
    GroupBox5->setMinimumWidth(width);

    // Histogram: the picture at the left edge 17, the point markers over it.
    const int hl = 17, hw = static_cast<int>(215 * s), hh = static_cast<int>(65 * s);
    TrackBar12->setGeometry(hl - 8, 22, hw + 16, 20);
    Shape5->setGeometry(hl - 1, 43, hw + 2, hh + 2);
    Image3->setGeometry(hl, 44, hw, hh);
    Shape12->resize(1, hh);
    Shape11->resize(1, hh);
    TrackBar13->setGeometry(hl - 8, 44 + hh + 2, hw + 16, 20);
    Panel3->setGeometry(hl, 44 + hh + 24, hw, 12);
    Image10->setGeometry(0, 0, hw, 12);
    Image10->setImage(greyRamp(202, 12, true));
    GroupBox4->setMinimumWidth(width);
    GroupBox4->setFixedHeight(44 + hh + 24 + 12 + 6);
    placePointMarkers();
    layoutProcessModeControls();
}

bool TForm1::automaticPreviewAllowed() const {
    return CheckBox5->isChecked() && TabbedNotebook1->isEnabled() && Button1->isEnabled();
}

void TForm1::TrackBar11Change() {
    Label24->setText(fixedText(TrackBar11->value() * 0.01, 2));
    if (automaticPreviewAllowed()) autoPreview();
}

void TForm1::TrackBar10Change() {
    Label23->setText(fixedText((TrackBar10->value() + 100) * 0.01, 2));
    if (automaticPreviewAllowed()) autoPreview();
}

void TForm1::placePointMarkers() {
    const int top = Image3->y();
    Shape12->move(Image3->x() + histogramMarkerOffset(TrackBar12->value(), displayScale), top);
    Shape11->move(Image3->x() + histogramMarkerOffset(TrackBar13->value(), displayScale), top);
    Shape12->raise();
    Shape11->raise();
}

void TForm1::TrackBar12Change() {
    const PointPositions p = whitePointMoved(TrackBar12->value(), TrackBar13->value());
    if (p.black != TrackBar13->value()) {
        // Moved from code: the black point's own handler does not run.
        const QSignalBlocker block(TrackBar13);
        TrackBar13->setValue(p.black);
    }
    placePointMarkers();
    // The points start a Preview job at once; the throttle of the automatic preview is not theirs.
    if (automaticPreviewAllowed()) Button1Click();
}

void TForm1::TrackBar13Change() {
    const PointPositions p = blackPointMoved(TrackBar12->value(), TrackBar13->value());
    if (p.white != TrackBar12->value()) {
        const QSignalBlocker block(TrackBar12);
        TrackBar12->setValue(p.white);
    }
    placePointMarkers();
    if (automaticPreviewAllowed()) Button1Click();
}

void TForm1::drawHistogram(const Region& region) {
    const std::int64_t pixelCount = static_cast<std::int64_t>(region.width) * region.height;
    if (pixelCount <= 0) return;
    const DisplayBitmap picture = sv::drawHistogram(histogramData.histogram, histogramData.histogramPeak, pixelCount,
                                                    TrackBar12->value(), TrackBar13->value());
    Image3->setImage(copyOfBitmap(picture));
}

RenderParams TForm1::renderSnapshot() const {
    RenderParams params;
    params.gammaPosition = TrackBar11->value();
    params.saturationPosition = TrackBar10->value();
    params.whitePosition = TrackBar12->value();
    params.blackPosition = TrackBar13->value();
    params.curveTable = toneCurve->curveTable();
    if (GroupBoxLocalContrast) params.localContrast = localContrastSnapshot();
    return params;
}

void TForm1::resetStep2Controls() {
    if (!toneCurve || toneCurve->displayScale() != displayScale) {
        toneCurve = std::make_unique<ToneCurve>(displayScale);
        layoutProcessControls();
        TrackBar9Change();  // the bilateral range curve is sized by the display scale too
    }
    {
        const QSignalBlocker white(TrackBar12), black(TrackBar13);
        TrackBar12->setValue(255);
        TrackBar13->setValue(0);
    }
    placePointMarkers();
    QImage blank(215, 65, QImage::Format_RGB32);
    blank.fill(Qt::white);
    Image3->setImage(blank);
    Button8Click();
}

void TForm1::rebuildCurve() { Image1->setPicture(drawCurveBox(*toneCurve)); }

void TForm1::Button8Click() {
    toneCurve->reset();  // identity; no preview, whatever "Auto" says
    rebuildCurve();
}

void TForm1::SpeedButton1Click() {
    toneCurve->setCurveMode(CurveMode::Smooth);
    SpeedButton1->setEnabled(false);
    SpeedButton2->setEnabled(true);
    rebuildCurve();
}

void TForm1::SpeedButton2Click() {
    toneCurve->setCurveMode(CurveMode::Linear);
    SpeedButton1->setEnabled(true);
    SpeedButton2->setEnabled(false);
    rebuildCurve();
}

void TForm1::SpeedButton4Click() {
    toneCurve->addPoint();
    rebuildCurve();
    SpeedButton3->setEnabled(true);
    if (!toneCurve->canAddPoint()) SpeedButton4->setEnabled(false);
}

void TForm1::SpeedButton3Click() {
    toneCurve->removePoint();
    rebuildCurve();
    SpeedButton4->setEnabled(true);
    if (!toneCurve->canRemovePoint()) SpeedButton3->setEnabled(false);
}

void TForm1::Image1MouseDown(int X, int Y) { toneCurve->mouseDown(X, Y); }

void TForm1::Image1MouseMove(int X, int Y) {
    const ToneCurve::MoveResult moved = toneCurve->mouseMove(X, Y);
    Label16->setText(QString::fromStdString(moved.xText));
    Label17->setText(QString::fromStdString(moved.yText));
    if (moved.rebuilt) rebuildCurve();
    if (moved.dragging && automaticPreviewAllowed()) autoPreview();
}

void TForm1::Image1MouseUp(int, int) { toneCurve->mouseUp(); }

}  // namespace sv
