// The picture area: zoom, geometry of the picture and its frames, the status bar, resizing and
// copying to the clipboard.
#include <QClipboard>
#include <QFont>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QWheelEvent>

#include "mainwindow/controls.h"
#include "mainwindow/main_form.h"
#include "mainwindow/picture_box.h"

namespace sv {

namespace {

// The scrolled content of the picture area: lays out nothing itself, it only reports mouse moves
// over the empty area (hover over nothing for the Step 3 accordion).
class PictureCanvas : public QWidget {
public:
    explicit PictureCanvas(QWidget* parent) : QWidget(parent) { setMouseTracking(true); }
    std::function<void()> onMove;

protected:
    void mouseMoveEvent(QMouseEvent*) override {
        if (onMove) onMove();
    }
};

}  // namespace

void TForm1::buildPictureArea() {
    ScrollBox1 = new QScrollArea(this);
    ScrollBox1->setObjectName(QStringLiteral("ScrollBox1"));
    ScrollBox1->setBackgroundRole(QPalette::Dark);
    ScrollBox1->setWidgetResizable(false);
    ScrollBox1->setFocusPolicy(Qt::StrongFocus);
    auto* canvas = new PictureCanvas(ScrollBox1);
    canvas->onMove = [this] { GroupBox12MouseMove(); };
    pictureCanvas = canvas;
    pictureCanvas->setObjectName(QStringLiteral("pictureCanvas"));
    ScrollBox1->setWidget(pictureCanvas);
    // Ctrl and the wheel zoom the picture (the wheel alone scrolls it).
    ScrollBox1->viewport()->installEventFilter(this);

    Shape2 = new ShapeBox(pictureCanvas, QStringLiteral("Shape2"), ShapeBox::Style::Filled, Qt::black);
    Shape1 = new ShapeBox(pictureCanvas, QStringLiteral("Shape1"), ShapeBox::Style::Filled, QColor(128, 128, 128));
    Panel10 = new QWidget(pictureCanvas);
    Panel10->setObjectName(QStringLiteral("Panel10"));
    Image4 = new PictureBox(Panel10, QStringLiteral("Image4"));
    Shape3 = new ShapeBox(Panel10, QStringLiteral("Shape3"), ShapeBox::Style::DottedOutline);
    Panel11 = new QFrame(Panel10);
    Panel11->setObjectName(QStringLiteral("Panel11"));
    Panel11->setAutoFillBackground(true);
    QPalette black = Panel11->palette();
    black.setColor(QPalette::Window, Qt::black);
    Panel11->setPalette(black);
    Image13 = new PictureBox(Panel11, QStringLiteral("Image13"));
    Shape2->move(12, 12);
    Shape1->move(8, 8);
    Panel10->move(9, 9);
    Panel11->hide();

    connect(Image4, &PictureBox::mousePressed, this,
            [this](Qt::MouseButton b, int x, int y, Qt::KeyboardModifiers) { Image4MouseDown(b, x, y); });
    connect(Image4, &PictureBox::mouseMoved, this,
            [this](Qt::MouseButtons b, int x, int y, Qt::KeyboardModifiers) { Image4MouseMove(b, x, y); });
    connect(Image4, &PictureBox::mouseReleased, this,
            [this](Qt::MouseButton b, int x, int y, Qt::KeyboardModifiers) { Image4MouseUp(b, x, y); });
    connect(Image13, &PictureBox::mousePressed, this,
            [this](Qt::MouseButton b, int x, int y, Qt::KeyboardModifiers) { Image13MouseDown(b, x, y); });
    connect(Image13, &PictureBox::mouseMoved, this,
            [this](Qt::MouseButtons b, int x, int y, Qt::KeyboardModifiers) { Image13MouseMove(b, x, y); });
    connect(Image13, &PictureBox::mouseReleased, this,
            [this](Qt::MouseButton b, int x, int y, Qt::KeyboardModifiers) { Image13MouseUp(b, x, y); });
    connect(Shape3, &ShapeBox::mousePressed, this, [this](Qt::MouseButton b, int x, int y) { Shape3MouseDown(b, x, y); });
}

void TForm1::buildStatusBar() {
    StatusBar1 = statusBar();
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(true);
    for (int i = 0; i < 4; ++i) {
        auto* panel = new QLabel(StatusBar1);
        panel->setObjectName(QStringLiteral("StatusBar1Panel") + QString::number(i));
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        statusPanels[static_cast<std::size_t>(i)] = panel;
    }
    statusPanels[2]->setMinimumWidth(50);
    statusPanels[3]->setMinimumWidth(130);

    // Panel 0 carries the gauge.
    auto* gaugeLayout = new QHBoxLayout(statusPanels[0]);
    gaugeLayout->setContentsMargins(3, 2, 3, 2);
    Panel9 = new QWidget(statusPanels[0]);
    Panel9->setObjectName(QStringLiteral("Panel9"));
    auto* p9 = new QHBoxLayout(Panel9);
    p9->setContentsMargins(0, 0, 0, 0);
    CGauge1 = new Gauge(Panel9, QStringLiteral("CGauge1"));
    CGauge1->setFixedSize(190, 13);
    p9->addWidget(CGauge1);
    gaugeLayout->addWidget(Panel9);
    gaugeLayout->addStretch(1);

    // Panel 1: "Zoom:", the zoom track bar, "1:1" and "< >".
    auto* zoomLayout = new QHBoxLayout(statusPanels[1]);
    zoomLayout->setContentsMargins(0, 0, 3, 0);
    zoomLayout->setSpacing(3);
    statusPanels[1]->setIndent(4);
    zoomLayout->addSpacing(statusPanels[1]->fontMetrics().horizontalAdvance(QStringLiteral("Zoom:")) + 10);
    TrackBar1 = new QSlider(Qt::Horizontal, statusPanels[1]);
    TrackBar1->setObjectName(QStringLiteral("TrackBar1"));
    TrackBar1->setRange(1, 40);
    TrackBar1->setValue(10);
    TrackBar1->setTickPosition(QSlider::TicksBelow);
    TrackBar1->setTickInterval(1);
    TrackBar1->setPageStep(1);
    TrackBar1->setFixedWidth(217);
    zoomLayout->addWidget(TrackBar1);
    QFont small(QStringLiteral("Arial"));
    small.setPixelSize(8);
    Button25 = new QPushButton(QStringLiteral("1:1"), statusPanels[1]);
    Button25->setObjectName(QStringLiteral("Button25"));
    Button26 = new QPushButton(QStringLiteral("< >"), statusPanels[1]);
    Button26->setObjectName(QStringLiteral("Button26"));
    for (QPushButton* b : {Button25, Button26}) {
        b->setFont(small);
        b->setFixedSize(22, 15);
        b->setFocusPolicy(Qt::NoFocus);
        zoomLayout->addWidget(b);
    }
    zoomLayout->addStretch(1);
    statusPanels[1]->setText(QStringLiteral("Zoom:"));
    statusPanels[1]->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    for (int i = 0; i < 4; ++i) StatusBar1->addWidget(statusPanels[static_cast<std::size_t>(i)], i == 3 ? 1 : 0);
    // Filled once a project is open, so that a large panorama's need is seen before a filter asks
    // for its scratch picture.
    memoryPanel = new QLabel(StatusBar1);
    memoryPanel->setObjectName(QStringLiteral("MemoryPanel"));
    memoryPanel->setFrameShape(QFrame::Panel);
    memoryPanel->setFrameShadow(QFrame::Sunken);
    memoryPanel->hide();
    StatusBar1->addPermanentWidget(memoryPanel);
    exifPanel = new QLabel(StatusBar1);
    exifPanel->setObjectName(QStringLiteral("ExifPanel"));
    exifPanel->setFrameShape(QFrame::Panel);
    exifPanel->setFrameShadow(QFrame::Sunken);
    exifPanel->hide();  // shown while a line of Step 1 is selected
    StatusBar1->addWidget(exifPanel, 2);
    // The residual of the last alignment suggestion; shown only once there is one.
    alignmentStatus = new QLabel(StatusBar1);
    alignmentStatus->setObjectName(QStringLiteral("StatusBar1Panel4"));
    alignmentStatus->setFrameShape(QFrame::Panel);
    alignmentStatus->setFrameShadow(QFrame::Sunken);
    StatusBar1->addWidget(alignmentStatus, 0);
    alignmentStatus->hide();
    StatusBar1->setMinimumHeight(24);

    connect(TrackBar1, &QSlider::valueChanged, this, &TForm1::TrackBar1Change);
    connect(Button25, &QPushButton::clicked, this, &TForm1::Button25Click);
    connect(Button26, &QPushButton::clicked, this, &TForm1::Button26Click);
}

void TForm1::TrackBar1Change() {
    const int z = zoom();
    const double k = z * 0.1;
    const int W = project.imageWidth;
    const int H = project.imageHeight;
    const Region& R = project.previewRect;
    const int dx = project.exposureCount > 0 ? project.newestExposure().shiftX : 0;
    const int dy = project.exposureCount > 0 ? project.newestExposure().shiftY : 0;

    const int w = static_cast<int>(W * z * 0.1);
    const int h = static_cast<int>(H * z * 0.1);
    Image4->resize(w, h);
    Panel10->resize(w, h);
    Shape1->resize(static_cast<int>(W * k + 2), static_cast<int>(H * k + 2));
    Shape2->resize(static_cast<int>(W * k + 2), static_cast<int>(H * k + 2));
    if (!marking_) {
        marker = markerGeometry(R, dx, dy, newImagePending(), z);
        placeMarker();
    }
    const ViewGeometry overlay = overlayGeometry(R, dx, dy, z);
    Panel11->setGeometry(overlay.left, overlay.top, std::max(0, overlay.width), std::max(0, overlay.height));
    Image13->setGeometry(0, 0, std::max(0, overlay.width), std::max(0, overlay.height));
    statusPanels[2]->setText(QString::number(z * 10) + QStringLiteral("%"));
    layoutCanvas();
    ScrollBox1->setFocus();
}

bool TForm1::wheelZoom(QWheelEvent* event) {
    if (!(event->modifiers() & Qt::ControlModifier)) return false;
    // One step of the track bar per notch; fine-grained wheels add up to a notch first.
    wheelRemainder_ += event->angleDelta().y();
    const int steps = wheelRemainder_ / 120;
    wheelRemainder_ -= steps * 120;
    const int before = zoom();
    const int after = std::clamp(before + steps, TrackBar1->minimum(), TrackBar1->maximum());
    if (after == before) return true;
    // The point of the picture under the pointer stays under it.
    const QPointF at = event->position();
    QScrollBar* horizontal = ScrollBox1->horizontalScrollBar();
    QScrollBar* vertical = ScrollBox1->verticalScrollBar();
    const double pictureX = (horizontal->value() + at.x() - Panel10->x()) / (before * 0.1);
    const double pictureY = (vertical->value() + at.y() - Panel10->y()) / (before * 0.1);
    TrackBar1->setValue(after);  // the zoom's own rules: the track bar relays out the picture
    horizontal->setValue(static_cast<int>(Panel10->x() + pictureX * after * 0.1 - at.x()));
    vertical->setValue(static_cast<int>(Panel10->y() + pictureY * after * 0.1 - at.y()));
    return true;
}

void TForm1::layoutCanvas() {
    // The scrolled area reaches past the shadow by the frame's margin.
    const int right = std::max({Shape2->geometry().right(), Panel10->geometry().right()}) + 9;
    const int bottom = std::max({Shape2->geometry().bottom(), Panel10->geometry().bottom()}) + 9;
    pictureCanvas->resize(right, bottom);
}

void TForm1::Button25Click() {
    TrackBar1->setValue(10);
    TrackBar1Change();
    ScrollBox1->setFocus();
}

void TForm1::Button26Click() {
    const int a = static_cast<int>(static_cast<double>(ScrollBox1->width()) / (project.imageWidth + 30) * 10);
    const int b = static_cast<int>(static_cast<double>(ScrollBox1->height()) / (project.imageHeight + 30) * 10);
    TrackBar1->setValue(std::clamp(std::min(a, b), TrackBar1->minimum(), TrackBar1->maximum()));
    TrackBar1Change();
    ScrollBox1->setFocus();
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TForm1::FormResize() {
    if (!TabbedNotebook1 || !ScrollBox2) return;
    // The status-bar controls sit in their panels' layouts and follow the bar by themselves.
    const int outerHeight = frameGeometry().height();
    // The design widths assume the narrow face the layout was drawn with; a wider desktop face
    // widens the column just enough that no page (and no page tab) is cut off on the right.
    const int needed = std::max(TabbedNotebook1->minimumSizeHint().width(), pageTabs->minimumSizeHint().width());
    const int scrollBar = ScrollBox2->verticalScrollBar()->sizeHint().width();
    // A short window gives the page control its design height and lets the pages scroll under
    // the tabs; pages that fit the column as it stands fill it instead, with nothing to scroll.
    const bool pagesFit = TabbedNotebook1->minimumSizeHint().height() <= ScrollBox2->height();
    if (displayScale * 742 > outerHeight && !pagesFit) {
        ScrollBox2->setWidgetResizable(false);
        const int columnWidth = std::max(static_cast<int>(displayScale * 278), needed + scrollBar);
        ScrollBox2->setFixedWidth(columnWidth);
        // Never shorter than the pages need (Step 2 with local contrast shown), or they would overlap.
        TabbedNotebook1->resize(columnWidth - scrollBar, std::max(static_cast<int>(displayScale * 635),
                                                                  TabbedNotebook1->minimumSizeHint().height()));
    } else {
        ScrollBox2->setWidgetResizable(true);
        ScrollBox2->setFixedWidth(std::max(static_cast<int>(displayScale * 261), needed));
    }
}

QSize TForm1::restoredSize() const {
    // The design client area lies below the menu bar, which took no part of it.
    return {static_cast<int>(834 * displayScale),
            static_cast<int>(654 * displayScale) + menuBar()->sizeHint().height()};
}

void TForm1::Copy1Click() {
    if (displayBitmap.empty()) return;
    QGuiApplication::clipboard()->setImage(copyOfBitmap(displayBitmap));
}

}  // namespace sv
