// Step 2's exposure fusion and local contrast, driven through their named controls offscreen:
// the mode choice, the background fusion jobs, preview rectangles equal to "Process all" there,
// the kept local contrast model and its gauge, and nothing changed while both are off.
#include "ui_fixture.h"

#include <QElapsedTimer>
#include <QGroupBox>
#include <QLocale>
#include <QTimer>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "tone/exposure_fusion.h"
#include "tone/fused_levels.h"
#include "operations/fusion_source.h"
#include "tone/local_contrast.h"
#include "tone/render.h"

using namespace sv;
using svtest::Window;
using svtest::waitForJob;

namespace {

// Three exposures of one scene (a lit corner, gradients, a checker texture) as BMP files, big
// enough that the preview rectangle (320 x 240) lies inside the picture.
QStringList writeBracket(Window& w, int width = 400, int height = 290) {
    QStringList files;
    const double gains[3] = {0.3, 0.8, 2.2};
    for (int k = 0; k < 3; ++k) {
        QImage image(width, height, QImage::Format_RGB32);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const double light = (x > width * 2 / 3 && y < height / 3) ? 4.0 : 1.0;
                const double texture = ((x / 5 + y / 3) % 2) ? 1.15 : 0.85;
                auto v = [&](double base) { return std::min(255, int(base * light * texture * gains[k])); };
                image.setPixel(x, y, qRgb(v(30 + 0.3 * x), v(25 + 0.4 * y), v(60)));
            }
        files << w.dir.filePath(QStringLiteral("bracket%1.bmp").arg(k));
        if (!image.save(files.back(), "BMP")) qFatal("cannot write a test picture");
    }
    return files;
}

std::vector<float> samplesOf(const FloatImage& image, const Region& r) {
    std::vector<float> out;
    for (int y = r.y; y < r.bottom(); ++y)
        for (int x = r.x; x < r.right(); ++x)
            for (int c = 0; c < 3; ++c) out.push_back(image.at(x, y, c));
    return out;
}

float largestDifference(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return INFINITY;
    float most = 0.0f;
    for (std::size_t i = 0; i < a.size(); ++i) most = std::max(most, std::fabs(a[i] - b[i]));
    return most;
}

Region wholeOf(const TForm1& f) { return Region{0, f.project.imageWidth, 0, f.project.imageHeight}; }

// Process all, finished by the timer as in the program.
void processAll(TForm1& f) {
    f.Button2Click();
    QVERIFY(waitForJob(f));
    QVERIFY(f.project.wholeImageProcessed);
}

}  // namespace

class ProcessModesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English)); }

    void modeChoiceShowsItsOwnControls() {
        Window w;
        TForm1& f = *w.form;
        f.TabbedNotebook1->setCurrentIndex(1);
        QTest::qWait(5);
        QVERIFY(f.RadioButtonToneCurve->isChecked());
        QVERIFY(!f.fusionMode());
        for (QWidget* g : std::initializer_list<QWidget*>{f.GroupBox2, f.GroupBox6, f.CheckBoxLocalContrast})
            QVERIFY2(g->isVisible(), qPrintable(g->objectName()));
        QVERIFY(!f.GroupBoxFusion->isVisible());
        // Local contrast is off, its settings out of the way, until ticked.
        QVERIFY(!f.CheckBoxLocalContrast->isChecked());
        QVERIFY(!f.GroupBoxLocalContrast->isVisible());
        f.CheckBoxLocalContrast->click();
        QVERIFY(f.GroupBoxLocalContrast->isVisible());
        QVERIFY(f.renderSnapshot().localContrast.enabled);
        // The choice stands on the caption line of the group on top.
        QCOMPARE(f.RadioButtonFusion->parentWidget()->parentWidget(), static_cast<QWidget*>(f.GroupBox2));
        f.RadioButtonFusion->click();
        QVERIFY(f.fusionMode());
        for (QWidget* g : std::initializer_list<QWidget*>{f.GroupBox2, f.GroupBox6, f.GroupBoxLocalContrast})
            QVERIFY2(!g->isVisible(), qPrintable(g->objectName()));
        QVERIFY(f.GroupBoxFusion->isVisible());
        QVERIFY(f.RadioButtonFusion->isVisible());
        QCOMPARE(f.RadioButtonFusion->parentWidget()->parentWidget(), static_cast<QWidget*>(f.GroupBoxFusion));
        for (QWidget* c : std::initializer_list<QWidget*>{f.GroupBox5, f.Button1, f.Button2, f.CheckBox5, f.GroupBox4})
            QVERIFY2(c->isVisible(), qPrintable(c->objectName()));

        // The bars come from the descriptions; the labels follow the position and the locale.
        for (std::size_t i = 0; i < 3; ++i) {
            QCOMPARE(f.fusionBars[i]->minimum(), 0);
            QCOMPARE(f.fusionBars[i]->maximum(), 200);
            QCOMPARE(f.fusionBars[i]->value(), 100);
            QCOMPARE(f.fusionValues[i]->text(), QStringLiteral("1.00"));
        }
        f.fusionBars[1]->setValue(137);
        QCOMPARE(f.fusionValues[1]->text(), QStringLiteral("1.37"));
        QCOMPARE(f.fusionSnapshot().saturationPosition, 137);
        QCOMPARE(f.localBars[2]->minimum(), 5);
        QCOMPARE(f.localValues[2]->text(), QStringLiteral("2.0 %"));
        f.localBars[2]->setValue(5);
        QCOMPARE(f.localValues[2]->text(), QStringLiteral("0.5 %"));
        QCOMPARE(f.localValues[1]->text(), QStringLiteral("100 %"));
        QCOMPARE(f.localValues[0]->text(), QStringLiteral("50"));
        QLocale::setDefault(QLocale(QLocale::Polish));
        f.fusionBars[0]->setValue(5);
        QCOMPARE(f.fusionValues[0]->text(), QStringLiteral("0,05"));
        QLocale::setDefault(QLocale(QLocale::English));

        f.Polish1Click();
        QCOMPARE(f.RadioButtonToneCurve->text(), QString::fromUtf8("Krzywa tonalna"));
        QCOMPARE(f.RadioButtonFusion->text(), QString::fromUtf8("Fuzja"));
        QCOMPARE(f.fusionCaptions[0]->text(), QString::fromUtf8("Waga kontrastu:"));
        QCOMPARE(f.GroupBoxLocalContrast->title(), QString::fromUtf8("Kontrast lokalny"));
        QCOMPARE(f.localCaptions[2]->text(), QString::fromUtf8("Promień:"));
        f.English1Click();
        QCOMPARE(f.fusionCaptions[2]->text(), QStringLiteral("Exposure weight:"));
        QCOMPARE(f.CheckBoxLocalContrast->text(), QStringLiteral("Local contrast"));
        f.RadioButtonToneCurve->click();
        QVERIFY(f.GroupBox2->isVisible());
        QVERIFY(f.GroupBoxLocalContrast->isVisible());  // still ticked
        QVERIFY(!f.GroupBoxFusion->isVisible());
    }

    void fusionPreviewEqualsProcessAllThere() {
        Window w;
        TForm1& f = *w.form;
        w.open(writeBracket(w));
        QCOMPARE(f.project.exposureCount, 3);
        f.TabbedNotebook1->setCurrentIndex(1);
        f.RadioButtonFusion->click();
        f.fusionBars[0]->setValue(130);
        f.fusionBars[1]->setValue(60);
        f.fusionBars[2]->setValue(170);
        f.TrackBar12->setValue(235);
        f.TrackBar13->setValue(9);
        const Region rect = f.project.previewRect;
        QVERIFY(rect.width < f.project.imageWidth && rect.height < f.project.imageHeight);

        // A background job: the window is inert but not frozen while it runs.
        f.Button1Click();
        QVERIFY(f.jobRunning());
        QVERIFY(!f.Image4->isEnabled());
        QVERIFY(waitForJob(f));
        QVERIFY(!f.project.wholeImageProcessed);
        const std::vector<float> preview = samplesOf(f.project.processedBuffer, rect);
        const RenderHistogram previewHistogram = f.histogramData;
        const std::uint32_t previewPixel = f.displayBitmap.at(rect.x + 7, rect.y + 5);

        processAll(f);
        const float most = largestDifference(preview, samplesOf(f.project.processedBuffer, rect));
        qInfo("fusion: largest difference between the preview rectangle and Process all there: %g", double(most));
        QCOMPARE(most, 0.0f);
        QCOMPARE(f.displayBitmap.at(rect.x + 7, rect.y + 5), previewPixel);

        // Process all is the engine's fusion of the files with the white and black points.
        FileFusionSource source = projectFusionSource(f.project, DecodeHooks{});
        FloatImage expected(f.project.imageWidth, f.project.imageHeight);
        NullProgress none;
        QVERIFY(fusePicture(source, f.fusionSnapshot(), expected, none).ok());
        RenderHistogram levels;
        fusedLevels(expected, 0, 0, wholeOf(f), 235, 9, expected, levels, none);
        QVERIFY(samplesOf(expected, wholeOf(f)) == samplesOf(f.project.processedBuffer, wholeOf(f)));
        QVERIFY(levels.histogram == f.histogramData.histogram);
        QCOMPARE(levels.histogramPeak, f.histogramData.histogramPeak);
        // The preview's histogram counted the rectangle's pixels only.
        std::int64_t counted = 0;
        for (std::int64_t n : previewHistogram.histogram) counted += n;
        QCOMPARE(counted, std::int64_t(rect.width) * rect.height);

        // Step 3 opens on the fused picture without asking for another Process all.
        f.TabbedNotebook1->setCurrentIndex(2);
        QCOMPARE(w.prompter.unexpected, 0);
        QVERIFY(f.GroupBox8->isEnabled());
    }

    void fusionControlsStartThePreviewJobWithAuto() {
        Window w;
        TForm1& f = *w.form;
        w.open(writeBracket(w, 360, 260));
        f.TabbedNotebook1->setCurrentIndex(1);
        f.RadioButtonFusion->click();  // "Auto" unticked: nothing starts
        QVERIFY(!f.jobRunning());
        f.CheckBox5->setChecked(true);
        f.fusionBars[2]->setSliderDown(true);  // dragging: no job per step
        f.fusionBars[2]->setValue(80);
        QVERIFY(!f.jobRunning());
        f.fusionBars[2]->setSliderDown(false);  // let go: one preview
        QVERIFY(f.jobRunning());
        QVERIFY(waitForJob(f));
        const Region rect = f.project.previewRect;
        QCOMPARE(f.fusionCache.region(), rect);
        QVERIFY(f.fusionCache.holds(f.fusionSnapshot(), rect, fusionBracketKey(f.project)));

        // A point moved: a Preview job that reuses the fused rectangle with the new stretch.
        f.TrackBar12->setValue(200);
        QVERIFY(f.jobRunning());
        QVERIFY(waitForJob(f));
        FloatImage expected(f.project.imageWidth, f.project.imageHeight);
        RenderHistogram levels;
        NullProgress none;
        fusedLevels(f.fusionCache.fused(), rect.x, rect.y, rect, 200, 0, expected, levels, none);
        QVERIFY(samplesOf(expected, rect) == samplesOf(f.project.processedBuffer, rect));

        // Back to the tone curve: the kept exposures go, and the preview is the render again.
        QVERIFY(f.fusionCache.keptBytes() > 0);
        f.RadioButtonToneCurve->click();
        QVERIFY(f.jobRunning());
        QVERIFY(waitForJob(f));
        QCOMPARE(f.fusionCache.keptBytes(), std::uint64_t{0});
        RenderHistogram h;
        renderRegion(f.project.stackBuffer, f.project.stackMax, rect, f.renderSnapshot(), expected, h, none);
        QVERIFY(samplesOf(expected, rect) == samplesOf(f.project.processedBuffer, rect));
    }

    void aFusionThatCannotReadAnExposureSaysWhich() {
        Window w;
        TForm1& f = *w.form;
        const QStringList files = writeBracket(w, 120, 90);
        w.open(files);
        f.TabbedNotebook1->setCurrentIndex(1);
        f.RadioButtonFusion->click();
        QVERIFY(QFile::remove(files[1]));
        f.Button2Click();
        QVERIFY(waitForJob(f));
        QVERIFY(!f.project.wholeImageProcessed);
        QVERIFY(f.TabbedNotebook1->isEnabled());
        QVERIFY(f.Image4->isEnabled());
        QVERIFY(!w.prompter.texts().isEmpty());
        QCOMPARE(w.prompter.texts().last(), messageText(Msg::CannotReadFile, false, QStringLiteral("bracket1.bmp")));
    }

    void localContrastPreviewEqualsProcessAll() {
        Window w;
        TForm1& f = *w.form;
        w.open(writeBracket(w));
        f.TabbedNotebook1->setCurrentIndex(1);
        f.Timer1->stop();  // the throttle's ticks are given by hand
        f.TrackBar11->setValue(130);
        f.CheckBoxLocalContrast->setChecked(true);
        f.localBars[0]->setValue(75);
        f.localBars[1]->setValue(160);
        f.localBars[2]->setValue(33);
        const Region rect = f.project.previewRect;

        // The automatic preview (on the UI thread) and the Preview job give the same rectangle,
        // and Process all gives it again.
        f.CheckBox5->setChecked(true);
        for (int i = 0; i < 3; ++i) f.Timer1Timer();
        f.localBars[1]->setValue(150);
        QVERIFY(!f.previewAllowed);  // it ran
        const std::vector<float> automatic = samplesOf(f.project.processedBuffer, rect);
        f.CheckBox5->setChecked(false);
        f.Button1Click();
        QVERIFY(f.jobRunning());
        f.waitForJob();
        f.Timer1Timer();
        QVERIFY(automatic == samplesOf(f.project.processedBuffer, rect));
        f.Button2Click();
        f.waitForJob();
        f.Timer1Timer();
        QVERIFY(f.project.wholeImageProcessed);
        const float most = largestDifference(automatic, samplesOf(f.project.processedBuffer, rect));
        qInfo("local contrast: largest difference between the preview rectangle and Process all there: %g",
              double(most));
        QCOMPARE(most, 0.0f);

        // Process all is the engine's render with local contrast (its own model of the stack).
        RenderParams params = f.renderSnapshot();
        QVERIFY(params.localContrast.enabled);
        QCOMPARE(params.localContrast.detailPosition, 150);
        FloatImage expected(f.project.imageWidth, f.project.imageHeight);
        RenderHistogram h;
        NullProgress none;
        renderRegion(f.project.stackBuffer, f.project.stackMax, wholeOf(f), params, expected, h, none);
        QVERIFY(samplesOf(expected, wholeOf(f)) == samplesOf(f.project.processedBuffer, wholeOf(f)));
        params.localContrast.enabled = false;
        renderRegion(f.project.stackBuffer, f.project.stackMax, wholeOf(f), params, expected, h, none);
        QVERIFY(samplesOf(expected, rect) != automatic);  // it did change the picture
    }

    void theModelIsKeptUntilTheStackOrRadiusChangesAndTheGaugeCoversItsBuild() {
        Window w;
        TForm1& f = *w.form;
        const QStringList files = writeBracket(w, 200, 150);
        w.open(files.mid(0, 2));
        f.TabbedNotebook1->setCurrentIndex(1);
        f.Timer1->stop();
        f.CheckBoxLocalContrast->setChecked(true);
        const int H = f.project.imageHeight;
        auto run = [&](JobKind kind) {
            if (kind == JobKind::ProcessAll) f.Button2Click();
            else f.Button1Click();
            f.waitForJob();  // the worker has ended; the tick that finishes the job has not come
        };
        // The first render builds the model: one pass of the stack's rows more on the gauge.
        run(JobKind::ProcessAll);
        QCOMPARE(f.jobs().progress().maximum(), std::int64_t(3 * H));
        QCOMPARE(f.jobs().progress().position(), std::int64_t(2 * H));
        f.Timer1Timer();
        const LocalContrastModel* first = f.localContrastModel.get();
        QVERIFY(first);
        // Compression and detail change the mapping only: the same model, no building pass.
        f.localBars[0]->setValue(20);
        f.localBars[1]->setValue(40);
        run(JobKind::ProcessAll);
        QCOMPARE(f.jobs().progress().maximum(), std::int64_t(2 * H));
        f.Timer1Timer();
        QCOMPARE(f.localContrastModel.get(), first);
        // The radius: built again.
        f.localBars[2]->setValue(60);
        run(JobKind::TonePreview);
        QCOMPARE(f.jobs().progress().maximum(), std::int64_t(2 * f.project.previewRect.height + H));
        f.Timer1Timer();
        QVERIFY(f.localContrastModel.get() != first);
        QCOMPARE(f.localContrastModel->radiusPosition(), 60);
        // An exposure added: the model of the old stack is dropped at once.
        w.prompter.openChoices.push_back({files[2]});
        f.Button4Click();
        f.Button3Click();
        QCOMPARE(f.project.exposureCount, 3);
        QVERIFY(!f.localContrastModel);
        run(JobKind::ProcessAll);
        f.Timer1Timer();
        QVERIFY(f.localContrastModel);
        QCOMPARE(f.localContrastModel->stackMax(), f.project.stackMax);
        // Removed again: dropped too.
        f.ListBox1->setCurrentRow(2);
        w.prompter.answers.push_back(true);
        f.Button9Click();
        QCOMPARE(f.project.exposureCount, 2);
        QVERIFY(!f.localContrastModel);
    }

    void withBothOffTheRenderIsTheGlobalOne() {
        Window w;
        TForm1& f = *w.form;
        w.open(writeBracket(w, 160, 120));
        f.TabbedNotebook1->setCurrentIndex(1);
        // Settings moved while local contrast is off, and a visit to fusion and back, change nothing.
        f.localBars[0]->setValue(90);
        f.localBars[2]->setValue(70);
        f.RadioButtonFusion->click();
        f.fusionBars[0]->setValue(10);
        f.RadioButtonToneCurve->click();
        f.TrackBar11->setValue(170);
        processAll(f);
        RenderParams plain;
        plain.gammaPosition = 170;
        QVERIFY(!f.renderSnapshot().localContrast.enabled);
        FloatImage expected(f.project.imageWidth, f.project.imageHeight);
        RenderHistogram h;
        NullProgress none;
        renderRegion(f.project.stackBuffer, f.project.stackMax, wholeOf(f), plain, expected, h, none);
        QCOMPARE(std::memcmp(expected.data(), f.project.processedBuffer.data(), expected.sampleCount() * sizeof(float)),
                 0);
        QVERIFY(h.histogram == f.histogramData.histogram);
        QVERIFY(!f.localContrastModel);  // never built
    }
};

QTEST_MAIN(ProcessModesTest)
#include "test_process_modes.moc"
