// Step 2 and Step 3 of the main window driven through their named controls, offscreen, with a
// scripted prompter: the curve box, the white and black points, the automatic preview and its
// throttle, the filters' Preview/Apply/Undo, the accordion, the colour tools and the picker.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDragMoveEvent>
#include <QKeySequence>
#include <QUrl>
#include <QLabel>
#include <QLocale>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <cmath>
#include <memory>

#include "filters/gaussian_blur.h"
#include "mainwindow/about_box.h"
#include "mainwindow/colour_panel.h"
#include "mainwindow/colour_picker.h"
#include "mainwindow/controls.h"
#include "mainwindow/curve_box.h"
#include "mainwindow/jpeg_save_dialog.h"
#include "mainwindow/main_form.h"
#include "mainwindow/picture_box.h"
#include "mainwindow/prompter.h"
#include "mainwindow/tiff_save_dialog.h"
#include "tone/colour_balance.h"
#include "tone/histogram.h"
#include "tone/render.h"
#include "tone/tone_curve.h"

using namespace sv;

namespace {

// The secondary windows first: the main window refers to them and goes before them.
struct Rig {
    QTemporaryDir dir;
    ScriptedPrompter prompter;
    TForm2 about;
    TOKBottomDlg jpeg;
    TForm5 tiff;
    TForm14 picker;
    std::unique_ptr<TForm1> form;

    ~Rig() {
        for (QWidget* w : std::initializer_list<QWidget*>{&jpeg, &tiff, &picker}) w->setParent(nullptr);
    }

    explicit Rig(double dpi = 0) {
        FormOptions options;
        options.dpiOverride = dpi;
        options.prompter = &prompter;
        options.settingsPath = dir.filePath(QStringLiteral("settings.ini"));
        options.companionFiles.clear();
        options.showSplash = false;
        options.endProgram = [](int) {};
        form = std::make_unique<TForm1>(options);
        // The dialogs are windows owned by the main window, as in the program.
        for (QWidget* w : std::initializer_list<QWidget*>{&jpeg, &tiff, &picker}) w->setParent(form.get(), w->windowFlags());
        form->setSecondaryWindows(&about, &jpeg, &tiff, &picker);
        form->resize(1000, 760);
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get())) qWarning("window not exposed");
    }

    // File > New, answered Yes.
    void newProject() {
        prompter.answers.push_back(true);
        form->New1Click();
    }

    // A processed picture on "Step 3: Filter" (the groups are enabled only then).
    void readyForStep3(int width = 120, int height = 90) {
        openBracket(width, height);
        processAll();
        form->TabbedNotebook1->setCurrentIndex(2);
    }

    // Three exposures of a small picture with colour gradients and a few details, written as BMP.
    void openBracket(int width = 360, int height = 270) {
        QStringList files;
        const double gains[3] = {0.35, 0.7, 1.0};
        for (int k = 0; k < 3; ++k) {
            QImage image(width, height, QImage::Format_RGB32);
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    const double r = 255.0 * x / (width - 1), g = 255.0 * y / (height - 1);
                    const double b = ((x / 9 + y / 7) % 2) ? 200.0 : 40.0;
                    image.setPixel(x, y, qRgb(int(r * gains[k]), int(g * gains[k]), int(b * gains[k])));
                }
            const QString path = dir.filePath(QStringLiteral("exposure%1.bmp").arg(k));
            if (!image.save(path, "BMP")) qFatal("cannot write a test picture");
            files << path;
        }
        prompter.openChoices.push_back(files);
        form->Button4Click();
    }

    bool waitForJob(int timeoutMs = 20000) {
        QElapsedTimer t;
        t.start();
        while (form->jobRunning() || form->jobs().busy()) {
            if (t.elapsed() > timeoutMs) return false;
            QTest::qWait(20);
        }
        return true;
    }

    void processAll() {
        form->Button2Click();
        QVERIFY(waitForJob());
        QVERIFY(form->project.wholeImageProcessed);
    }

    Region whole() const { return Region{0, form->project.imageWidth, 0, form->project.imageHeight}; }
};

std::vector<float> regionSamples(const FloatImage& image, const Region& r) {
    std::vector<float> out;
    for (int y = r.y; y < r.bottom(); ++y)
        for (int x = r.x; x < r.right(); ++x)
            for (int c = 0; c < 3; ++c) out.push_back(image.at(x, y, c));
    return out;
}

QColor panelColour(const std::array<int, 3>& b) { return QColor(b[0], b[1], b[2]); }

// A mouse move with no button held (what hovering sends to a widget that tracks the mouse).
void hoverAt(QWidget* widget, QPoint pos) {
    QMouseEvent move(QEvent::MouseMove, QPointF(pos), widget->mapToGlobal(QPointF(pos)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

// Another panel dragged over `target`; returns whether the panel took the drag.
bool dragOver(QWidget* target, QMimeData* mime) {
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDragMoveEvent over(QPoint(6, 5), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &over);
    QDragLeaveEvent leave;
    QApplication::sendEvent(target, &leave);
    return enter.isAccepted() && over.isAccepted();
}

FloatImage copyOf(const FloatImage& image) {
    FloatImage copy(image.width(), image.height());
    copy.copyRegionFrom(image, image.bounds());
    return copy;
}

}  // namespace

class ProcessFilterTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English)); }

    // ---- Step 2: curve --------------------------------------------------------------------------
    void curveStartsStraightWithItsButtons();
    void curveDragLinearAndSmooth();
    void curveBoxFollowsTheDisplayScale();
    void hoverRebuildsOnlyOnChange();
    void pointCountLimits();
    // ---- Step 2: tone controls and histogram -----------------------------------------------------
    void gammaAndSaturationLabelsFollowTheLocale();
    void whiteBlackCrossingRule();
    void histogramDrawnAfterProcessAll();
    void autoStartsPreviewFromThePointsAtOnce();
    void autoPreviewThrottle();
    void curveDragWithAutoPreviews();
    // ---- Step 3 ------------------------------------------------------------------------------------
    void filterLabelsAndPicturesAtStart();
    void filterLabelsInPolishLocale();
    void previewApplyUndo();
    void twoAppliesThenUndo();
    void refreshRepaintsTheProcessedPicture();
    void accordionExpandsAndHovers();
    void eyedropperTakesOneSample();
    void eyedropperToggleAndCursor();
    void eyedropperSamplesWhileTheButtonIsHeld();
    void dragAndDoubleClickBetweenSamplePanels();
    void targetPanelOpensThePicker();
    void neutralAndBalanceJobs();
    void aboutFromHelpMenu();
    void languageSwitchReachesThePages();
};

// ---------------------------------------------------------------------------------------------------

void ProcessFilterTest::curveStartsStraightWithItsButtons() {
    Rig rig;
    TForm1& f = *rig.form;
    const auto& table = f.toneCurve->curveTable();
    QCOMPARE(int(table.size()), kCurveLevels);
    for (int x = 0; x < kCurveLevels; x += 97) QCOMPARE(table[x], float(x));
    QVERIFY(!f.SpeedButton1->isEnabled());
    QVERIFY(f.SpeedButton2->isEnabled());
    QVERIFY(!f.SpeedButton3->isEnabled());
    QVERIFY(f.SpeedButton4->isEnabled());
    QCOMPARE(f.Image1->size(), QSize(200, 200));
    // the box shows the diagonal in blue and the point at (99, 99) from the bottom
    const QImage& box = f.Image1->picture();
    QCOMPARE(box.size(), QSize(200, 200));
    QCOMPARE(box.pixel(99, 199 - 99), qRgb(0, 0, 255));
    QCOMPARE(box.pixel(5, 5), qRgb(255, 255, 255));
}

void ProcessFilterTest::curveDragLinearAndSmooth() {
    Rig rig;
    TForm1& f = *rig.form;
    for (const bool linear : {true, false}) {
        f.Button8Click();
        if (linear) QTest::mouseClick(f.SpeedButton2, Qt::LeftButton);
        else QTest::mouseClick(f.SpeedButton1, Qt::LeftButton);
        QCOMPARE(f.toneCurve->curveMode(), linear ? CurveMode::Linear : CurveMode::Smooth);
        QCOMPARE(f.SpeedButton1->isEnabled(), linear);
        QCOMPARE(f.SpeedButton2->isEnabled(), !linear);
        const int redraws = f.Image1->redrawCount();
        // P_1 sits at (99, 99): row 199 - 99 = 100 of the box. Drag it to (99, 150).
        QTest::mousePress(f.Image1, Qt::LeftButton, {}, QPoint(99, 100));
        QCOMPARE(f.toneCurve->dragPoint(), 1);
        QTest::mouseMove(f.Image1, QPoint(99, 70));
        QTest::mouseMove(f.Image1, QPoint(99, 49));
        QTest::mouseRelease(f.Image1, Qt::LeftButton, {}, QPoint(99, 49));
        QCOMPARE(f.toneCurve->dragPoint(), 0);
        QCOMPARE(f.toneCurve->controlPoints()[1], (CurvePoint{99, 150}));
        QVERIFY2(f.Image1->redrawCount() >= redraws + 2, "every drag move redraws the box");
        QCOMPARE(f.Label16->text(), QString("x = 99"));
        QCOMPARE(f.Label17->text(), QString("y = 150"));
        // the table is the engine's curve through (-1, -1), (99, 150), (199, 199)
        CurvePoints points{};
        points[0] = {-1, -1};
        points[1] = {99, 150};
        points[2] = {199, 199};
        const std::vector<float> expected = sampleCurve(points, 1, linear ? CurveMode::Linear : CurveMode::Smooth,
                                                        f.toneCurve->levelsPerPixel());
        QVERIFY(f.toneCurve->curveTable() == expected);
        const float U = 32768.0f / 200.0f;
        if (linear) {
            // the first segment runs through level 0 with slope 151/100
            QCOMPARE(f.toneCurve->curveTable()[5000], float(5000 * (151.0 / 100.0)));
        } else {
            QVERIFY(f.toneCurve->curveTable()[int(99 * U)] > 150 * U - 2);
        }
        // and the box shows the moved point: blue at column 99, row 199 - 150
        QCOMPARE(f.Image1->picture().pixel(99, 49), qRgb(0, 0, 255));
        QCOMPARE(f.Image1->picture().pixel(99, 100) == qRgb(0, 0, 255), false);
        if (linear) {
            // changing the mode keeps the points and resamples the curve
            QTest::mouseClick(f.SpeedButton1, Qt::LeftButton);
            QCOMPARE(f.toneCurve->controlPoints()[1], (CurvePoint{99, 150}));
            QVERIFY(f.toneCurve->curveTable() == sampleCurve(points, 1, CurveMode::Smooth, f.toneCurve->levelsPerPixel()));
        }
    }
}

void ProcessFilterTest::curveBoxFollowsTheDisplayScale() {
    Rig rig(120);  // 120 dots per inch: scale 1.23, a box of 246 pixels
    TForm1& f = *rig.form;
    QCOMPARE(f.toneCurve->displayScale(), 1.23f);
    QCOMPARE(f.Image1->size(), QSize(246, 246));
    QCOMPARE(f.Image1->picture().size(), QSize(246, 246));
    const CurvePoint p = f.toneCurve->controlPoints()[1];
    QCOMPARE(p.X, 122);  // trunc(246 / 2 - 1)
    // the markers use the scale too: 255 sits at 215 x 1.23 x 255 / 256 from the picture's left
    QCOMPARE(f.Shape12->x() - f.Image3->x(), int(255 * 215 * 1.23f / 256));
    QCOMPARE(f.Image3->width(), int(215 * 1.23));
    QCOMPARE(f.Image9->size(), QSize(60, 60));  // the range curve: trunc(49 x 1.23)
    QCOMPARE(f.Image9->image().size(), QSize(60, 60));
    // a drag in the larger box moves the point in box pixels
    const int L = 245;
    QTest::mousePress(f.Image1, Qt::LeftButton, {}, QPoint(p.X, L - p.Y));
    QTest::mouseMove(f.Image1, QPoint(p.X + 10, 40));
    QTest::mouseRelease(f.Image1, Qt::LeftButton, {}, QPoint(p.X + 10, 40));
    QCOMPARE(f.toneCurve->controlPoints()[1], (CurvePoint{p.X + 10, int(245.0000038 - 40)}));
    QCOMPARE(f.Label17->text(), QString("y = 159"));  // 199 - Y whatever the scale
}

void ProcessFilterTest::hoverRebuildsOnlyOnChange() {
    Rig rig;
    TForm1& f = *rig.form;
    const std::vector<float> before = f.toneCurve->curveTable();
    int redraws = f.Image1->redrawCount();
    hoverAt(f.Image1, QPoint(20, 20));
    hoverAt(f.Image1, QPoint(30, 25));
    QCOMPARE(f.Image1->redrawCount(), redraws);  // nothing hovered, nothing rebuilt
    QCOMPARE(f.Label16->text(), QString("x = 30"));
    QCOMPARE(f.Label17->text(), QString("y = 174"));
    hoverAt(f.Image1, QPoint(101, 102));  // within 7 pixels of P_1
    QCOMPARE(f.toneCurve->hoverPoint(), 1);
    QCOMPARE(f.Image1->redrawCount(), redraws + 1);
    // the hovered point is drawn large (9 x 9): a pixel 3 to the side of its centre is blue
    QCOMPARE(f.Image1->picture().pixel(99 + 3, 100), qRgb(0, 0, 255));
    hoverAt(f.Image1, QPoint(100, 99));  // still the same point
    QCOMPARE(f.Image1->redrawCount(), redraws + 1);
    hoverAt(f.Image1, QPoint(150, 30));  // away again
    QCOMPARE(f.toneCurve->hoverPoint(), 0);
    QCOMPARE(f.Image1->redrawCount(), redraws + 2);
    QVERIFY(f.toneCurve->curveTable() == before);  // hovering never changes the curve
}

void ProcessFilterTest::pointCountLimits() {
    Rig rig;
    TForm1& f = *rig.form;
    for (int n = 2; n <= 7; ++n) {
        QVERIFY(f.SpeedButton4->isEnabled());
        QTest::mouseClick(f.SpeedButton4, Qt::LeftButton);
        QCOMPARE(f.toneCurve->pointCount(), n);
        QVERIFY(f.SpeedButton3->isEnabled());
    }
    QVERIFY(!f.SpeedButton4->isEnabled());
    QTest::mouseClick(f.SpeedButton4, Qt::LeftButton);  // disabled: nothing happens
    QCOMPARE(f.toneCurve->pointCount(), 7);
    const int expectedX[9] = {-1, 24, 49, 74, 99, 124, 149, 174, 199};
    for (int j = 0; j < 9; ++j) QCOMPARE(f.toneCurve->controlPoints()[j].X, expectedX[j]);
    for (int x = 0; x < kCurveLevels; x += 101) QCOMPARE(f.toneCurve->curveTable()[x], float(x));
    for (int n = 6; n >= 1; --n) {
        QTest::mouseClick(f.SpeedButton3, Qt::LeftButton);
        QCOMPARE(f.toneCurve->pointCount(), n);
        QVERIFY(f.SpeedButton4->isEnabled());
    }
    QVERIFY(!f.SpeedButton3->isEnabled());
    // a bent curve comes back straight with a change of the point count
    QTest::mousePress(f.Image1, Qt::LeftButton, {}, QPoint(99, 100));
    QTest::mouseMove(f.Image1, QPoint(99, 10));
    QTest::mouseRelease(f.Image1, Qt::LeftButton, {}, QPoint(99, 10));
    QVERIFY(f.toneCurve->curveTable()[16000] != 16000.0f);
    QTest::mouseClick(f.SpeedButton4, Qt::LeftButton);
    QCOMPARE(f.toneCurve->curveTable()[16000], 16000.0f);
}

void ProcessFilterTest::gammaAndSaturationLabelsFollowTheLocale() {
    QLocale::setDefault(QLocale(QLocale::Polish, QLocale::Poland));
    {
        Rig rig;
        TForm1& f = *rig.form;
        QCOMPARE(f.Label24->text(), QString("1,00"));
        QCOMPARE(f.Label23->text(), QString("1,00"));
        f.TrackBar11->setValue(250);
        QCOMPARE(f.Label24->text(), QString("2,50"));
        f.TrackBar10->setValue(-99);
        QCOMPARE(f.Label23->text(), QString("0,01"));
        f.TrackBar10->setValue(300);
        QCOMPARE(f.Label23->text(), QString("4,00"));
    }
    QLocale::setDefault(QLocale(QLocale::English));
    Rig rig;
    rig.form->TrackBar11->setValue(1);
    QCOMPARE(rig.form->Label24->text(), QString("0.01"));
}

void ProcessFilterTest::whiteBlackCrossingRule() {
    Rig rig;
    TForm1& f = *rig.form;
    const int left = f.Image3->x();
    QCOMPARE(f.Shape12->x(), left + 214);
    QCOMPARE(f.Shape11->x(), left);
    f.TrackBar13->setValue(100);
    f.TrackBar12->setValue(80);
    QCOMPARE(f.TrackBar13->value(), 79);
    QCOMPARE(f.Shape11->x(), left + 79 * 215 / 256);
    QCOMPARE(f.Shape12->x(), left + 80 * 215 / 256);

    f.TrackBar13->setValue(0);
    f.TrackBar12->setValue(100);
    f.TrackBar13->setValue(120);
    QCOMPARE(f.TrackBar12->value(), 121);
    QCOMPARE(f.Shape12->x(), left + 121 * 215 / 256);

    f.TrackBar13->setValue(0);
    f.TrackBar12->setValue(0);
    QCOMPARE(f.TrackBar12->value(), 0);
    QCOMPARE(f.TrackBar13->value(), 0);
    // equal positions stay as they are
    f.TrackBar12->setValue(50);
    f.TrackBar13->setValue(50);
    QCOMPARE(f.TrackBar12->value(), 50);
    QCOMPARE(f.TrackBar13->value(), 50);
    // black at 255 pushes white to its end and no further
    f.TrackBar13->setValue(255);
    QCOMPARE(f.TrackBar12->value(), 255);
    QCOMPARE(f.TrackBar13->value(), 255);
    // a new project puts both back
    rig.openBracket(40, 30);
    rig.newProject();
    QCOMPARE(f.TrackBar12->value(), 255);
    QCOMPARE(f.TrackBar13->value(), 0);
    QCOMPARE(f.Shape12->x(), left + 214);
}

void ProcessFilterTest::histogramDrawnAfterProcessAll() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.openBracket(120, 90);
    // white and empty before any render
    QCOMPARE(f.Image3->image().pixel(100, 30), qRgb(255, 255, 255));
    rig.processAll();
    RenderHistogram expected;
    FloatImage processed(f.project.imageWidth, f.project.imageHeight);
    NullProgress none;
    renderRegion(f.project.stackBuffer, f.project.stackMax, rig.whole(), f.renderSnapshot(), processed, expected, none);
    QVERIFY(regionSamples(processed, rig.whole()) == regionSamples(f.project.processedBuffer, rig.whole()));
    const DisplayBitmap picture = drawHistogram(expected.histogram, expected.histogramPeak, 120 * 90, 255, 0);
    QCOMPARE(f.Image3->image(), copyOfBitmap(picture));
    // and the display shows the processed picture
    QCOMPARE(f.displayBitmap.at(60, 45) & 0xFFFFFFu,
             std::uint32_t(int(processed.at(60, 45, 0) * 255)) << 16 |
                 std::uint32_t(int(processed.at(60, 45, 1) * 255)) << 8 | std::uint32_t(int(processed.at(60, 45, 2) * 255)));
}

void ProcessFilterTest::autoStartsPreviewFromThePointsAtOnce() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.openBracket();
    f.TabbedNotebook1->setCurrentIndex(1);
    f.TrackBar12->setValue(200);  // "Auto" unticked: nothing starts
    QVERIFY(!f.jobRunning());
    f.CheckBox5->setChecked(true);
    f.TrackBar12->setValue(180);
    QVERIFY2(f.jobRunning(), "the white point starts the Preview job at once");
    QVERIFY(rig.waitForJob());
    QVERIFY(!f.project.wholeImageProcessed);
    const Region rect = f.project.previewRect;
    FloatImage expected(f.project.imageWidth, f.project.imageHeight);
    RenderHistogram h;
    NullProgress none;
    renderRegion(f.project.stackBuffer, f.project.stackMax, rect, f.renderSnapshot(), expected, h, none);
    QVERIFY(regionSamples(expected, rect) == regionSamples(f.project.processedBuffer, rect));
    // the black point too
    f.TrackBar13->setValue(20);
    QVERIFY(f.jobRunning());
    QVERIFY(rig.waitForJob());
}

void ProcessFilterTest::autoPreviewThrottle() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.openBracket();
    rig.processAll();
    f.Timer1->stop();  // the ticks are given by hand below
    f.CheckBox5->setChecked(true);
    const Region rect = f.project.previewRect;
    NullProgress none;
    auto rendered = [&] {
        FloatImage expected(f.project.imageWidth, f.project.imageHeight);
        RenderHistogram h;
        renderRegion(f.project.stackBuffer, f.project.stackMax, rect, f.renderSnapshot(), expected, h, none);
        return regionSamples(expected, rect);
    };
    // A quiet spell: three ticks allow one automatic preview.
    f.throttleCounter = 0;
    f.previewAllowed = false;
    f.TrackBar11->setValue(120);  // not allowed yet: not previewed
    QVERIFY(regionSamples(f.project.processedBuffer, rect) != rendered());
    QVERIFY(f.project.wholeImageProcessed);
    for (int i = 0; i < 3; ++i) f.Timer1Timer();
    QVERIFY(f.previewAllowed);
    f.TrackBar11->setValue(150);
    QVERIFY(regionSamples(f.project.processedBuffer, rect) == rendered());
    QVERIFY(!f.project.wholeImageProcessed);
    QVERIFY(!f.previewAllowed);
    // 100 ms later (one tick) the next move is not previewed, not even later.
    const std::vector<float> afterFirst = regionSamples(f.project.processedBuffer, rect);
    f.Timer1Timer();
    f.TrackBar10->setValue(80);
    QVERIFY(regionSamples(f.project.processedBuffer, rect) == afterFirst);
    f.Timer1Timer();
    QVERIFY(regionSamples(f.project.processedBuffer, rect) == afterFirst);
    // from the third tick after the last run it is allowed again
    f.Timer1Timer();
    f.TrackBar10->setValue(90);
    QVERIFY(regionSamples(f.project.processedBuffer, rect) == rendered());
    // the display shows the previewed rectangle
    const int x = rect.x + rect.width / 2, y = rect.y + rect.height / 2;
    QCOMPARE(int((f.displayBitmap.at(x, y) >> 8) & 0xFF), int(f.project.processedBuffer.at(x, y, 1) * 255));
    // unticked: gamma moves preview nothing
    f.CheckBox5->setChecked(false);
    for (int i = 0; i < 3; ++i) f.Timer1Timer();
    const std::vector<float> before = regionSamples(f.project.processedBuffer, rect);
    f.TrackBar11->setValue(300);
    QVERIFY(regionSamples(f.project.processedBuffer, rect) == before);
}

void ProcessFilterTest::curveDragWithAutoPreviews() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.openBracket();
    rig.processAll();
    f.Timer1->stop();
    f.CheckBox5->setChecked(true);
    for (int i = 0; i < 3; ++i) f.Timer1Timer();
    const Region rect = f.project.previewRect;
    const std::vector<float> before = regionSamples(f.project.processedBuffer, rect);
    hoverAt(f.Image1, QPoint(101, 101));  // hover only: no preview
    QCOMPARE(f.toneCurve->hoverPoint(), 1);
    QVERIFY(f.previewAllowed);
    QTest::mousePress(f.Image1, Qt::LeftButton, {}, QPoint(99, 100));
    QTest::mouseMove(f.Image1, QPoint(99, 40));
    QVERIFY(!f.previewAllowed);
    QVERIFY(regionSamples(f.project.processedBuffer, rect) != before);
    const std::vector<float> afterDrag = regionSamples(f.project.processedBuffer, rect);
    QTest::mouseMove(f.Image1, QPoint(99, 30));  // too soon: the table changes, the picture does not
    QTest::mouseRelease(f.Image1, Qt::LeftButton, {}, QPoint(99, 30));
    QCOMPARE(f.toneCurve->controlPoints()[1].Y, 169);
    QVERIFY(regionSamples(f.project.processedBuffer, rect) == afterDrag);
    // Reset straightens the curve but previews nothing, whatever "Auto" says
    for (int i = 0; i < 3; ++i) f.Timer1Timer();
    QTest::mouseClick(f.Button8, Qt::LeftButton);
    QCOMPARE(f.toneCurve->curveTable()[20000], 20000.0f);
    QVERIFY(f.previewAllowed);
    QVERIFY(regionSamples(f.project.processedBuffer, rect) == afterDrag);
}

// ---- Step 3 ---------------------------------------------------------------------------------------

void ProcessFilterTest::filterLabelsAndPicturesAtStart() {
    Rig rig;
    TForm1& f = *rig.form;
    QCOMPARE(f.Label8->text(), QString("100%"));
    QCOMPARE(f.Label9->text(), QString("1.0"));
    QCOMPARE(f.Label3->text(), QString("100%"));
    QCOMPARE(f.Label5->text(), QString("1.0"));
    QCOMPARE(f.Label30->text(), QString("100%"));
    QCOMPARE(f.Label35->text(), QString("0.80"));
    QCOMPARE(f.Label12->text(), QString("5"));
    QCOMPARE(f.Label15->text(), QString("100%"));
    QCOMPARE(f.Label18->text(), QString("1.0"));
    QCOMPARE(f.Label20->text(), QString("1.0"));
    QCOMPARE(f.ComboBox1->currentIndex(), 2);
    QCOMPARE(f.ComboBox2->currentIndex(), 2);
    QCOMPARE(f.ComboBox3->currentIndex(), 2);
    for (PictureBox* p : {f.Image7, f.Image6, f.Image11, f.Image8, f.Image9}) QVERIFY(!p->image().isNull());
    QCOMPARE(f.Image7->image().size(), QSize(33, 33));
    QCOMPARE(f.Image11->image().size(), QSize(5, 5));
    QCOMPARE(f.Image9->size(), QSize(49, 49));
    QCOMPARE(f.Panel14->toolTip(), QString("R:0, G:0, B:0"));
    // median mask "Cross" of size 5: the centre row and column white, corners black
    QCOMPARE(f.Image11->image().pixel(2, 0), qRgb(255, 255, 255));
    QCOMPARE(f.Image11->image().pixel(0, 0), qRgb(0, 0, 0));
    // sharpen picture: white centre on mid grey
    QCOMPARE(f.Image6->image().pixel(16, 16), qRgb(255, 255, 255));
    QCOMPARE(qRed(f.Image6->image().pixel(0, 0)), 128);
    // changing the blur opacity fades its picture; the kernel stays
    const QRgb centre = f.Image7->image().pixel(16, 16);
    f.TrackBar4->setValue(50);
    QCOMPARE(f.Label8->text(), QString("50%"));
    QCOMPARE(qRed(f.Image7->image().pixel(16, 16)), qRed(centre) / 2);
    f.TrackBar6->setValue(3);
    QCOMPARE(f.Label12->text(), QString("7"));
    QCOMPARE(f.Image11->image().size(), QSize(7, 7));
    f.ComboBox1->setCurrentIndex(3);  // Box: all white
    QCOMPARE(f.Image11->image().pixel(0, 0), qRgb(255, 255, 255));
    f.TrackBar14->setValue(50);
    QCOMPARE(f.Label30->text(), QString("50%"));
    QCOMPARE(f.Image11->image().pixel(0, 0), qRgb(127, 127, 127));
}

void ProcessFilterTest::filterLabelsInPolishLocale() {
    QLocale::setDefault(QLocale(QLocale::Polish, QLocale::Poland));
    Rig rig;
    TForm1& f = *rig.form;
    QCOMPARE(f.Label9->text(), QString("1,0"));
    QCOMPARE(f.Label35->text(), QString("0,80"));
    QCOMPARE(f.Label20->text(), QString("1,0"));
    f.TrackBar8->setValue(25);
    QCOMPARE(f.Label18->text(), QString("2,5"));
    f.TrackBar15->setValue(7);
    QCOMPARE(f.Label35->text(), QString("0,07"));
    QLocale::setDefault(QLocale(QLocale::English));
}

void ProcessFilterTest::previewApplyUndo() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.openBracket();
    rig.processAll();
    f.TabbedNotebook1->setCurrentIndex(2);
    QVERIFY(f.GroupBox8->isEnabled());
    const Region whole = rig.whole();
    const std::vector<float> original = regionSamples(f.project.processedBuffer, whole);
    QVERIFY(!f.Button17->isEnabled());

    // Preview: the display shows the blurred rectangle, processedBuffer is untouched
    f.TrackBar5->setValue(30);
    QTest::mouseClick(f.Button10, Qt::LeftButton);
    QVERIFY(f.jobRunning());
    QVERIFY(rig.waitForJob());
    QVERIFY(regionSamples(f.project.processedBuffer, whole) == original);
    QVERIFY(!f.Button17->isEnabled());
    QVERIFY(!f.Undo1->isEnabled());
    const Region rect = f.project.previewRect;
    {
        FloatImage P = copyOf(f.project.processedBuffer), N(P.width(), P.height()), C(P.width(), P.height());
        NullProgress none;
        gaussianBlur(FilterBuffers{P, N, C}, rect, GaussianBlurParams{30, 100}, none);
        const int x = rect.x + 5, y = rect.y + 7;
        QCOMPARE(int(f.displayBitmap.at(x, y) >> 16 & 0xFF), int(C.at(x, y, 0) * 255));
    }

    // Apply: processedBuffer changes, Undo comes on
    QTest::mouseClick(f.Button7, Qt::LeftButton);
    QVERIFY(rig.waitForJob());
    const std::vector<float> blurred = regionSamples(f.project.processedBuffer, whole);
    QVERIFY(blurred != original);
    {
        FloatImage P(f.project.imageWidth, f.project.imageHeight), N(P.width(), P.height()), C(P.width(), P.height());
        P.copyRegionFrom(f.project.newImageBuffer, whole);  // the Undo copy is the picture before
        QVERIFY(regionSamples(P, whole) == original);
        NullProgress none;
        gaussianBlur(FilterBuffers{P, N, C}, whole, GaussianBlurParams{30, 100}, none);
        QVERIFY(regionSamples(C, whole) == blurred);
    }
    QVERIFY(f.Button17->isEnabled());
    QVERIFY(f.Undo1->isEnabled());
    QVERIFY(f.ToolButton6->isEnabled());

    // Undo: back to the picture before the Apply, Undo off again
    QTest::mouseClick(f.Button17, Qt::LeftButton);
    QVERIFY(regionSamples(f.project.processedBuffer, whole) == original);
    QVERIFY(regionSamples(f.project.processedCopy, whole) == original);
    QVERIFY(!f.Button17->isEnabled());
    QCOMPARE(int(f.displayBitmap.at(3, 3) & 0xFF), int(f.project.processedBuffer.at(3, 3, 2) * 255));

    // Apply then Preview: Undo is off after the Preview
    QTest::mouseClick(f.Button6, Qt::LeftButton);  // sharpen apply
    QVERIFY(rig.waitForJob());
    QVERIFY(f.Button17->isEnabled());
    QTest::mouseClick(f.Button15, Qt::LeftButton);  // bilateral preview
    QVERIFY(rig.waitForJob());
    QVERIFY(!f.Button17->isEnabled());
}

void ProcessFilterTest::twoAppliesThenUndo() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.openBracket(120, 90);
    rig.processAll();
    f.TabbedNotebook1->setCurrentIndex(2);
    const Region whole = rig.whole();
    QTest::mouseClick(f.Button11, Qt::LeftButton);  // median apply
    QVERIFY(rig.waitForJob());
    f.TrackBar15->setValue(100);
    const std::vector<float> afterFirst = regionSamples(f.project.processedBuffer, whole);
    QTest::mouseClick(f.Button13, Qt::LeftButton);  // bilateral apply
    QVERIFY(rig.waitForJob());
    QVERIFY(regionSamples(f.project.processedBuffer, whole) != afterFirst);
    f.Undo1->trigger();
    QVERIFY(regionSamples(f.project.processedBuffer, whole) == afterFirst);
    QVERIFY(!f.Undo1->isEnabled());
}

void ProcessFilterTest::refreshRepaintsTheProcessedPicture() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.openBracket();
    // before any "Process all" Refresh does nothing
    const DisplayBitmap shown = f.displayBitmap;
    f.Button16Click();
    QVERIFY(std::equal(shown.data(), shown.data() + shown.width() * shown.height(), f.displayBitmap.data()));
    rig.processAll();
    f.TabbedNotebook1->setCurrentIndex(2);
    const DisplayBitmap processed = f.displayBitmap;
    QTest::mouseClick(f.Button12, Qt::LeftButton);  // a sharpen preview changes the display
    QVERIFY(rig.waitForJob());
    QVERIFY(!std::equal(processed.data(), processed.data() + processed.width() * processed.height(),
                        f.displayBitmap.data()));
    QTest::mouseClick(f.Button16, Qt::LeftButton);
    QVERIFY(std::equal(processed.data(), processed.data() + processed.width() * processed.height(),
                       f.displayBitmap.data()));
}

void ProcessFilterTest::accordionExpandsAndHovers() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.readyForStep3(40, 30);
    QCOMPARE(f.GroupBox17->height(), 152);
    QCOMPARE(f.GroupBox8->height(), 24);
    // a collapsed group shows only its caption: its buttons lie below its edge
    QVERIFY(f.Button10->geometry().top() >= f.GroupBox8->height());
    QTest::mouseClick(f.GroupBox8, Qt::LeftButton, {}, QPoint(40, 8));
    QCOMPARE(f.GroupBox8->height(), 120);
    QCOMPARE(f.GroupBox17->height(), 24);
    QVERIFY(f.Button10->geometry().bottom() < f.GroupBox8->height());
    QVERIFY(f.Button7->geometry().bottom() < f.GroupBox8->height());
    // every group's controls fit in its expanded height
    for (int i = 0; i < 6; ++i) {
        f.selectToolGroup(i);
        ToolGroup* g = f.toolGroups[i];
        for (QWidget* w : g->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            QVERIFY2(w->geometry().bottom() < g->height() && w->geometry().right() < g->width(),
                     qPrintable(w->objectName() + " does not fit in " + g->objectName()));
    }
    f.selectToolGroup(0);
    QTest::mouseMove(f.GroupBox10, QPoint(30, 10));
    f.hoverToolGroup(3);
    QVERIFY(f.GroupBox10->font().bold());
    QVERIFY(!f.Button15->font().bold());  // only the caption turns bold
    f.hoverToolGroup(0);                  // the expanded group never turns bold
    QVERIFY(!f.GroupBox8->font().bold());
    QVERIFY(!f.GroupBox10->font().bold());
}

void ProcessFilterTest::eyedropperTakesOneSample() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.openBracket();
    rig.processAll();
    f.TabbedNotebook1->setCurrentIndex(2);
    f.selectToolGroup(5);
    QVERIFY(!f.CheckBox3->isChecked());
    QTest::mouseClick(f.Image21, Qt::LeftButton);  // Midtones eyedropper
    QVERIFY(f.samplingActive);
    QCOMPARE(f.samplingSlot, 2);
    QVERIFY(f.CheckBox3->isChecked());
    QVERIFY(f.Shape3->isHidden());
    QCOMPARE(f.Panel27->frameShadow(), QFrame::Sunken);
    QCOMPARE(f.Image4->cursor().pixmap().cacheKey(), f.cursorTable[12].pixmap().cacheKey());

    // one click on the picture takes the 5 x 5 sample at the clicked pixel (zoom 100 %)
    const int zoom = f.TrackBar1->value();
    const int X = 150 * zoom / 10 + 1, Y = 100 * zoom / 10 + 1;
    QTest::mouseClick(f.Image4, Qt::LeftButton, {}, QPoint(X, Y));
    const Rgb expected =
        takeSample(f.project.processedBuffer, int(X / (zoom / 10.0)), int(Y / (zoom / 10.0)), 2);
    QCOMPARE(f.sampleColours[2], expected);
    const QColor colour = panelColour(sampleBytes(expected));
    QCOMPARE(f.Panel15->colour(), colour);
    QCOMPARE(f.Panel16->colour(), colour);  // the target takes the same colour
    QCOMPARE(f.Panel15->toolTip(), QString::fromStdString(sampleHint(expected)));
    QVERIFY(!f.samplingActive);
    QVERIFY(!f.Shape3->isHidden());
    QCOMPARE(f.Panel27->frameShadow(), QFrame::Raised);

    // a second click is an ordinary click of the view, not a sample
    QTest::mouseClick(f.Image4, Qt::LeftButton, {}, QPoint(10 * zoom / 10, 10 * zoom / 10));
    QCOMPARE(f.sampleColours[2], expected);

    // the neutral point: "Point" samples one pixel, the target is its grey
    f.selectToolGroup(4);
    f.ComboBox2->setCurrentIndex(0);
    QTest::qWait(QApplication::doubleClickInterval() + 50);  // the next click is not a double click
    QTest::mouseClick(f.Image12, Qt::LeftButton);
    QCOMPARE(f.Image4->cursor().pixmap().cacheKey(), f.cursorTable[10].pixmap().cacheKey());
    const int X2 = 40 * zoom / 10 + 1, Y2 = 60 * zoom / 10 + 1;
    const int px = int(X2 / (zoom / 10.0)), py = int(Y2 / (zoom / 10.0));
    QTest::mouseClick(f.Image4, Qt::LeftButton, {}, QPoint(X2, Y2));
    const Rgb point = {f.project.processedBuffer.at(px, py, 0), f.project.processedBuffer.at(px, py, 1),
                       f.project.processedBuffer.at(px, py, 2)};
    QCOMPARE(f.sampleColours[0], point);
    const int m = neutralGreyByte(point);
    QCOMPARE(f.Panel23->colour(), QColor(m, m, m));
    QCOMPARE(f.Panel20->colour(), panelColour(sampleBytes(point)));
    // clicks outside the picture take nothing
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QTest::mouseClick(f.Image12, Qt::LeftButton);
    QVERIFY(f.samplingActive);
    QTest::mouseClick(f.Image4, Qt::LeftButton, {}, QPoint(0, 20));  // X = 0 lies outside
    QCOMPARE(f.sampleColours[0], point);
}

void ProcessFilterTest::eyedropperToggleAndCursor() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.openBracket(60, 40);
    rig.processAll();
    f.TabbedNotebook1->setCurrentIndex(2);
    QTest::mouseClick(f.Image12, Qt::LeftButton);  // slot 0 again: it is the current slot, toggled on
    QVERIFY(f.samplingActive);
    QTest::mouseClick(f.Image12, Qt::LeftButton);  // pressed again: off, rectangle back
    QVERIFY(!f.samplingActive);
    QVERIFY(!f.Shape3->isHidden());
    QCOMPARE(f.Image4->cursor().pixmap().cacheKey(), f.cursorTable[3].pixmap().cacheKey());
    QTest::mouseClick(f.Image12, Qt::LeftButton);
    QTest::mouseClick(f.Image20, Qt::LeftButton);  // another slot: stays on
    QVERIFY(f.samplingActive);
    QCOMPARE(f.samplingSlot, 1);
    QCOMPARE(f.Panel25->frameShadow(), QFrame::Raised);
    QCOMPARE(f.Panel26->frameShadow(), QFrame::Sunken);
    f.ComboBox3->setCurrentIndex(4);
    QCOMPARE(f.Image4->cursor().pixmap().cacheKey(), f.cursorTable[14].pixmap().cacheKey());
    f.ComboBox2->setCurrentIndex(1);  // whichever slot samples, the changed box sets the cursor
    QCOMPARE(f.Image4->cursor().pixmap().cacheKey(), f.cursorTable[11].pixmap().cacheKey());
    // choosing a group ends the sampling
    f.selectToolGroup(1);
    QVERIFY(!f.samplingActive);
    QCOMPARE(f.Panel26->frameShadow(), QFrame::Raised);
    QVERIFY(!f.Shape3->isHidden());
    QCOMPARE(f.Image4->cursor().pixmap().cacheKey(), f.cursorTable[3].pixmap().cacheKey());
}

void ProcessFilterTest::eyedropperSamplesWhileTheButtonIsHeld() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.readyForStep3(120, 90);
    f.selectToolGroup(5);
    f.ComboBox3->setCurrentIndex(0);
    QTest::mouseClick(f.Image22, Qt::LeftButton);  // Highlights
    QVERIFY(f.CheckBox4->isChecked());
    const double z = f.TrackBar1->value() / 10.0;
    const QPoint a(int(10 * z) + 1, int(10 * z) + 1), b(int(90 * z) + 1, int(70 * z) + 1);
    QTest::mousePress(f.Image4, Qt::LeftButton, {}, a);
    const Rgb first = f.sampleColours[3];
    QCOMPARE(first, takeSample(f.project.processedBuffer, int(a.x() / z), int(a.y() / z), 0));
    QTest::mouseMove(f.Image4, b);
    QVERIFY(f.samplingActive);
    QTest::mouseRelease(f.Image4, Qt::LeftButton, {}, b);
    QVERIFY(!f.samplingActive);
    const Rgb last = takeSample(f.project.processedBuffer, int(b.x() / z), int(b.y() / z), 0);
    QVERIFY(last != first);
    QCOMPARE(f.sampleColours[3], last);
    QCOMPARE(f.Panel18->colour(), panelColour(sampleBytes(last)));
    QCOMPARE(f.Panel19->colour(), panelColour(sampleBytes(last)));

    // While "Process all" renders into processedBuffer the picture stays clickable, but the
    // eyedropper reads nothing until the job is over.
    QTest::mouseClick(f.Image22, Qt::LeftButton);
    QVERIFY(f.samplingActive);
    f.Button2Click();
    QVERIFY(f.jobRunning());
    QVERIFY(f.Image4->isEnabled());
    f.sampleAt(a.x(), a.y());
    QCOMPARE(f.sampleColours[3], last);
    QVERIFY(rig.waitForJob());
    f.sampleAt(a.x(), a.y());
    QCOMPARE(f.sampleColours[3], first);
}

void ProcessFilterTest::dragAndDoubleClickBetweenSamplePanels() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.readyForStep3(40, 30);
    f.selectToolGroup(5);
    f.sampleColours[1] = {0.5f, 0.25f, 0.125f};
    f.Panel14->setColour(QColor(127, 63, 31));
    f.Panel17->setColour(QColor(1, 1, 1));
    f.Panel16->setColour(QColor(2, 2, 2));
    // a drag of Panel14 over Panel15 copies colour and sample at once, the targets stay
    QMimeData mime;
    mime.setData(ColourPanel::kMimeType, QByteArray("Panel14"));
    QVERIFY(dragOver(f.Panel15, &mime));
    QCOMPARE(f.Panel15->colour(), QColor(127, 63, 31));
    QCOMPARE(f.sampleColours[2], (Rgb{0.5f, 0.25f, 0.125f}));
    QCOMPARE(f.Panel16->colour(), QColor(2, 2, 2));
    // a panel over itself, or another kind of drag, copies nothing
    QMimeData self;
    self.setData(ColourPanel::kMimeType, QByteArray("Panel18"));
    QVERIFY(!dragOver(f.Panel18, &self));
    QCOMPARE(f.sampleColours[3], (Rgb{0, 0, 0}));
    QMimeData text;
    text.setText("Panel14");
    QVERIFY(!dragOver(f.Panel18, &text));
    QCOMPARE(f.Panel18->colour(), QColor(0, 0, 0));
    // a double click gives the row's target the sample's colour
    QTest::mouseDClick(f.Panel14, Qt::LeftButton);
    QCOMPARE(f.Panel17->colour(), QColor(127, 63, 31));
}

void ProcessFilterTest::targetPanelOpensThePicker() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.readyForStep3(40, 30);
    f.selectToolGroup(5);
    f.Panel19->setColour(QColor(200, 100, 50));
    QTest::mouseClick(f.Panel19, Qt::LeftButton);
    QVERIFY(rig.picker.isVisible());
    QVERIFY(!f.isEnabled());
    QCOMPARE(rig.picker.target, 2);
    QCOMPARE(rig.picker.Panel1->colour(), QColor(200, 100, 50));
    QTest::mouseClick(rig.picker.Image1, Qt::LeftButton, {}, QPoint(199, 0));
    const QColor chosen = rig.picker.Panel20->colour();
    QTest::mouseClick(rig.picker.Button1, Qt::LeftButton);
    QVERIFY(!rig.picker.isVisible());
    QVERIFY(f.isEnabled());
    QCOMPARE(f.Panel19->colour(), chosen);
    // Cancel leaves the panel
    QTest::mouseClick(f.Panel17, Qt::LeftButton);
    QCOMPARE(rig.picker.target, 0);
    rig.picker.CSpinEdit1->setValue(77);
    QTest::mouseClick(rig.picker.Button2, Qt::LeftButton);
    QVERIFY(f.isEnabled());
    QCOMPARE(f.Panel17->colour(), QColor(0, 0, 0));
}

void ProcessFilterTest::neutralAndBalanceJobs() {
    Rig rig;
    TForm1& f = *rig.form;
    rig.openBracket(120, 90);
    rig.processAll();
    f.TabbedNotebook1->setCurrentIndex(2);
    const Region whole = rig.whole();
    const FloatImage before = copyOf(f.project.processedBuffer);
    f.sampleColours[0] = {0.8f, 0.6f, 0.4f};
    QTest::mouseClick(f.Button23, Qt::LeftButton);  // neutral apply
    QVERIFY(rig.waitForJob());
    {
        FloatImage N(before.width(), before.height()), C(before.width(), before.height());
        NullProgress none;
        neutralPoint(before, N, C, whole, Rgb{0.8f, 0.6f, 0.4f}, none);
        QVERIFY(regionSamples(C, whole) == regionSamples(f.project.processedBuffer, whole));
    }
    QVERIFY(f.Button17->isEnabled());
    // sample/target: Shadows ticked with a sample and a target
    const FloatImage afterNeutral = copyOf(f.project.processedBuffer);
    f.CheckBox2->setChecked(true);
    f.sampleColours[1] = {0.2f, 0.3f, 0.4f};
    f.Panel17->setColour(QColor(90, 60, 30));
    QTest::mouseClick(f.Button22, Qt::LeftButton);  // preview
    QVERIFY(rig.waitForJob());
    QVERIFY(regionSamples(f.project.processedBuffer, whole) == regionSamples(afterNeutral, whole));
    QVERIFY(!f.Button17->isEnabled());
    QTest::mouseClick(f.Button21, Qt::LeftButton);  // apply
    QVERIFY(rig.waitForJob());
    {
        BalanceParams params;
        params.ranges[0].ticked = true;
        params.ranges[0].sample = {0.2f, 0.3f, 0.4f};
        params.ranges[0].target = {90, 60, 30};
        FloatImage N(before.width(), before.height()), C(before.width(), before.height());
        NullProgress none;
        sampleTargetBalance(afterNeutral, N, C, whole, params, none);
        QVERIFY(regionSamples(C, whole) == regionSamples(f.project.processedBuffer, whole));
    }
    f.Undo1->trigger();
    QVERIFY(regionSamples(f.project.processedBuffer, whole) == regionSamples(afterNeutral, whole));
}

namespace {
// Stands in for the desktop's browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};
}  // namespace

void ProcessFilterTest::aboutFromHelpMenu() {
    Rig rig;
    UrlCatcher browser;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
    rig.form->Info1->trigger();  // Help > Home page
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QCOMPARE(browser.opened.size(), 1);
    QCOMPARE(browser.opened[0], QUrl(QString::fromLatin1(kHomePageUrl)));
    QCOMPARE(rig.form->Info1->shortcut(), QKeySequence(QStringLiteral("Ctrl+H")));

    rig.about.loadPicture(1.0);
    rig.about.Timer1Timer();  // the splash's tick has passed
    rig.form->About2->trigger();
    QVERIFY(rig.about.isVisible());
    rig.about.Timer1Timer();
    QVERIFY(rig.about.isVisible());
    QTest::mouseClick(rig.about.Image1, Qt::LeftButton);
    QVERIFY(!rig.about.isVisible());
}

void ProcessFilterTest::languageSwitchReachesThePages() {
    Rig rig;
    TForm1& f = *rig.form;
    f.ComboBox1->setCurrentIndex(3);
    f.ComboBox2->setCurrentIndex(4);
    f.Polish1Click();
    QCOMPARE(f.GroupBox2->title(), QString::fromUtf8("Krzywe"));
    QCOMPARE(f.Label21->text(), QString::fromUtf8("Nasycenie:"));
    QCOMPARE(f.Button2->text(), QString::fromUtf8("Wszystko"));
    QCOMPARE(f.Label6->text(), QString::fromUtf8("Pokrycie"));
    QCOMPARE(f.Label1->text(), QString::fromUtf8("Ilość"));
    QCOMPARE(f.Label33->text(), QString::fromUtf8("Poziom"));
    QCOMPARE(f.Button7->text(), QString::fromUtf8("Zastosuj"));
    QCOMPARE(f.Button22->text(), QString::fromUtf8("Podgląd"));
    QCOMPARE(f.CheckBox4->text(), QString::fromUtf8("Światła"));
    QCOMPARE(f.Label40->text(), QString::fromUtf8("Cały obraz"));
    QCOMPARE(f.Label42->text(), QString::fromUtf8("Typ pipety"));
    QCOMPARE(f.ComboBox1->itemText(2), QString::fromUtf8("Krzyż"));
    QCOMPARE(f.ComboBox1->currentIndex(), 3);  // the chosen shape stays chosen
    QCOMPARE(f.ComboBox2->itemText(0), QString::fromUtf8("Punkt"));
    QCOMPARE(f.ComboBox2->currentIndex(), 2);  // both tool lists back on "Gauss 5x5"
    QCOMPARE(f.ComboBox3->currentIndex(), 2);
    QCOMPARE(f.Image11->image().pixel(0, 0), qRgb(255, 255, 255));  // still the box mask
    f.English1Click();
    QCOMPARE(f.Label21->text(), QString("Saturation:"));
    QCOMPARE(f.CheckBox4->text(), QString("Highlight"));
    QCOMPARE(f.ComboBox1->itemText(2), QString("Cross"));
}

QTEST_MAIN(ProcessFilterTest)
#include "test_process_filter.moc"
