// The picture view (zoom, fit, resize, copy), background jobs and the gauge, page switching and
// the Step 3 accordion, and the save commands with their dialogs.
#include "ui_fixture.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMenu>
#include <QStatusBar>
#include <QTimer>

#include <sys/stat.h>

#include <QSet>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>

#include "filters/filter_framework.h"
#include "filters/sharpen.h"
#include "tone/render.h"

using namespace sv;
using svtest::Window;

namespace {

QByteArray head(const QString& path, int n) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.read(n);
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The control's own enabled state, whatever its parents' (Button17 sits in a Step 3 group).
bool own(QWidget* w) { return !w->testAttribute(Qt::WA_ForceDisabled); }

void waitForFlag(TForm1& f) {
    f.waitForJob();
}

bool samePixels(const FloatImage& a, const FloatImage& b) {
    return a.sameSize(b) && std::equal(a.data(), a.data() + a.sampleCount(), b.data());
}

// The display bitmap is exactly `picture` drawn over the whole of it.
bool shows(TForm1& f, const FloatImage& picture) {
    DisplayBitmap expected(picture.width(), picture.height());
    NullProgress none;
    drawRegion(picture, Region{0, picture.width(), 0, picture.height()}, expected, none);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            if (expected.at(x, y) != f.displayBitmap.at(x, y)) return false;
    return true;
}

// Forwards to the gauge and runs out of memory after `rows` rows of work.
class FailingProgress final : public ProgressSink {
public:
    FailingProgress(ProgressSink& inner, std::int64_t rows) : inner_(inner), left_(rows) {}
    void setMaximum(std::int64_t m) override { inner_.setMaximum(m); }
    void setPosition(std::int64_t p) override { inner_.setPosition(p); }
    void setTextVisible(bool v) override { inner_.setTextVisible(v); }
    void advance(std::int64_t steps) override {
        inner_.advance(steps);
        if (left_.fetch_sub(steps) - steps <= 0) throw std::bad_alloc();
    }

private:
    ProgressSink& inner_;
    std::atomic<std::int64_t> left_;
};

// Two pictures stacked and processed as a whole: Step 3 may start.
void processedProject(Window& w) {
    w.open({w.picture(QStringLiteral("a.bmp"), 40, 30, 1), w.picture(QStringLiteral("b.bmp"), 40, 30, 77)});
    w.form->Button2Click();
    w.form->waitForJob();
    w.form->Timer1Timer();
    QVERIFY(w.form->project.wholeImageProcessed);
}

// A real Apply, finished by the timer.
void applySharpen(TForm1& f) {
    f.startFilterJob(JobKind::SharpenApply);
    f.waitForJob();
    f.Timer1Timer();
}

bool windowLiveAndAtRest(TForm1& f) {
    return !f.jobRunning() && !f.jobs().busy() && f.ToolBar1->isEnabled() && f.File->menuAction()->isEnabled() &&
           f.pageTabs->isEnabled() && f.Image4->isEnabled() && f.Shape3->isEnabled() && f.CGauge1->progress() == 0 &&
           !f.CGauge1->showText() && f.CGauge1->gaugeMaximum() == f.project.imageHeight;
}

bool undoEnabled(TForm1& f) { return f.Undo1->isEnabled() && own(f.Button17) && f.ToolButton6->isEnabled(); }

}  // namespace

class ViewJobsSaveTest : public QObject {
    Q_OBJECT
private slots:
    void zoomGeometry() {
        Window w;
        TForm1& f = *w.form;
        // No image: an empty picture and frames of 2 x 2.
        f.TrackBar1->setValue(25);
        QCOMPARE(f.Image4->size(), QSize(0, 0));
        QCOMPARE(f.Shape1->size(), QSize(2, 2));
        QCOMPARE(f.Shape2->size(), QSize(2, 2));
        f.Button25->click();
        QCOMPARE(f.zoom(), 10);

        w.open({w.picture(QStringLiteral("a.bmp"), 123, 77, 1)});
        f.TrackBar1->setValue(1);
        QCOMPARE(f.Image4->size(), QSize(12, 7));
        QCOMPARE(f.Panel10->size(), QSize(12, 7));
        QCOMPARE(f.statusPanelText(2), QStringLiteral("10%"));
        f.TrackBar1->setValue(40);
        QCOMPARE(f.Image4->size(), QSize(492, 308));
        QCOMPARE(f.Shape1->size(), QSize(494, 310));
        QCOMPARE(f.statusPanelText(2), QStringLiteral("400%"));
        // The preview rectangle's outline lies one pixel outside the region (stack ready: no shift).
        const Region r = f.project.previewRect;
        QCOMPARE(f.Shape3->geometry(), QRect(r.x * 4 - 1, r.y * 4 - 1, r.width * 4 + 2, r.height * 4 + 2));
        f.TrackBar1->setValue(15);
        QCOMPARE(f.Image4->size(), QSize(184, 115));  // trunc(123 x 1.5 = 184.5), trunc(77 x 1.5 = 115.5)
        f.Button25->click();
        QCOMPARE(f.zoom(), 10);
        QCOMPARE(f.Image4->size(), QSize(123, 77));
        QCOMPARE(f.statusPanelText(2), QStringLiteral("100%"));
        // The displayed picture is the display bitmap stretched over Image4.
        QCOMPARE(f.Image4->image().size(), QSize(123, 77));
    }

    void zoomToFit() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 400, 300, 1)});
        f.ScrollBox1->setFixedSize(1000, 700);
        f.Button26->click();
        QCOMPARE(f.zoom(), 21);  // min(trunc(1000 / 430 x 10), trunc(700 / 330 x 10)) = min(23, 21)
        QCOMPARE(f.statusPanelText(2), QStringLiteral("210%"));

        Window big;
        big.open({big.picture(QStringLiteral("wide.bmp"), 12000, 4, 1)});
        big.form->ScrollBox1->setFixedSize(300, 300);
        big.form->Button26->click();
        QCOMPARE(big.form->zoom(), 1);  // 0 or less is raised to the minimum
    }

    void resizeRuleForShortWindows() {
        Window w;
        TForm1& f = *w.form;
        f.resize(1100, 600);  // 742 x S = 742 > the outer height
        QTest::qWait(1);
        f.FormResize();
        QCOMPARE(f.TabbedNotebook1->height(), 635);
        QVERIFY(f.ScrollBox2->width() >= 278);
        f.resize(1100, 900);
        QTest::qWait(1);
        f.FormResize();
        QVERIFY(f.ScrollBox2->widgetResizable());
        QVERIFY(f.ScrollBox2->width() >= 261);
        QVERIFY(f.ScrollBox2->width() < 278 || f.TabbedNotebook1->minimumSizeHint().width() >= 278);
    }

    void copyPutsThePictureOnTheClipboard() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 31, 17, 9)});
        f.TrackBar1->setValue(30);
        f.ToolButton3->click();
        const QImage copied = QGuiApplication::clipboard()->image();
        QCOMPARE(copied.size(), QSize(31, 17));  // the zoom does not matter
        QCOMPARE(copied.pixel(4, 3) & 0xFFFFFFu, f.displayBitmap.at(4, 3));
    }

    void gaugeRules() {
        Gauge g(nullptr, QStringLiteral("CGauge1"));
        g.setGaugeMaximum(200);
        g.setShowText(true);
        const int before = g.repaintCount();
        g.setProgress(1);  // 0 %: no repaint
        QCOMPARE(g.repaintCount(), before);
        g.setProgress(2);  // 1 %
        QCOMPARE(g.repaintCount(), before + 1);
        g.setProgress(3);  // still 1 %
        QCOMPARE(g.repaintCount(), before + 1);
        g.setProgress(1000);  // clamped to the maximum
        QCOMPARE(g.progress(), 200);
        QCOMPARE(g.percent(), 100);
        g.setProgress(-5);
        QCOMPARE(g.progress(), 0);
        g.setGaugeMaximum(0);  // ignored
        QCOMPARE(g.gaugeMaximum(), 200);
        g.setGaugeMaximum(-3);
        QCOMPARE(g.gaugeMaximum(), 200);
        QVERIFY(g.isTextVisible());
        g.setShowText(false);
        QVERIFY(!g.isTextVisible());
    }

    void aJobsLife() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 40, 30, 1), w.picture(QStringLiteral("b.bmp"), 40, 30, 2)});
        f.Undo1->setEnabled(true);
        f.Button17->setEnabled(true);
        f.ToolButton6->setEnabled(true);
        std::atomic<bool> release{false};
        std::atomic<bool> done{false};
        QVERIFY(f.startJob(JobKind::BlurPreview, [&](ProgressSink& progress) {
            beginProgress(progress, 60);
            while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            progress.advance(30);
            done = true;
        }));
        // Running: pages, tool bar, File menu and the Undo controls are off; a second job is refused.
        QVERIFY(f.jobRunning());
        QVERIFY(!f.ToolBar1->isEnabled());
        QVERIFY(!f.File->menuAction()->isEnabled());
        QVERIFY(!f.Undo1->isEnabled() && !own(f.Button17) && !f.ToolButton6->isEnabled());
        QVERIFY(!f.Image4->isEnabled() && !f.Shape3->isEnabled());
        QVERIFY(f.Edit2->menuAction()->isEnabled() && f.Language1->menuAction()->isEnabled());
        QVERIFY(f.TrackBar1->isEnabled());
        QVERIFY(!f.startJob(JobKind::ProcessAll, [](ProgressSink&) {}));
        // Undo rewrites processedBuffer from newImageBuffer: never while the worker runs, even if
        // something left its controls enabled.
        f.project.processedBuffer.fill(0.3f);
        f.project.newImageBuffer.fill(0.9f);
        f.Undo1->setEnabled(true);
        f.Undo1Click();
        QCOMPARE(f.project.processedBuffer.at(3, 3, 1), 0.3f);
        f.Undo1->setEnabled(false);
        // Commands that rewrite the buffers do nothing while the job runs.
        w.prompter.answers.push_back(true);
        f.New1Click();
        QCOMPARE(f.project.exposureCount, 2);
        f.Timer1Timer();  // a tick before the flag: still running
        QVERIFY(f.jobRunning());
        release = true;
        waitForFlag(f);
        QVERIFY(done);
        QVERIFY(f.jobRunning());  // completed, not yet finished: until the tick
        f.Timer1Timer();
        QVERIFY(!f.jobRunning());
        QVERIFY(f.ToolBar1->isEnabled() && f.File->menuAction()->isEnabled());
        QVERIFY(f.Image4->isEnabled() && f.Shape3->isEnabled());
        // A filter preview leaves the Undo controls disabled.
        QVERIFY(!f.Undo1->isEnabled() && !own(f.Button17) && !f.ToolButton6->isEnabled());
        // With no job, the same Undo does its work.
        f.Undo1->setEnabled(true);
        f.Undo1Click();
        QCOMPARE(f.project.processedBuffer.at(3, 3, 1), 0.9f);
        // Gauge at rest.
        QCOMPARE(f.CGauge1->progress(), 0);
        QVERIFY(!f.CGauge1->showText());
        QCOMPARE(f.CGauge1->gaugeMaximum(), 30);

        // An Apply enables Undo and copies processedCopy into processedBuffer.
        f.project.processedCopy.fill(0.25f);
        QVERIFY(f.startJob(JobKind::SharpenApply, [](ProgressSink&) {}));
        waitForFlag(f);
        QVERIFY(f.jobs().flagSet(JobKind::SharpenApply));
        f.Timer1Timer();
        QVERIFY(!f.jobRunning());
        QVERIFY(f.Undo1->isEnabled() && own(f.Button17) && f.ToolButton6->isEnabled());
        QCOMPARE(f.project.processedBuffer.at(39, 29, 2), 0.25f);
        QCOMPARE(f.displayBitmap.at(0, 0), packRgb(63, 63, 63));
        // A tone job leaves them as they were.
        QVERIFY(f.startJob(JobKind::TonePreview, [](ProgressSink&) {}));
        QVERIFY(!f.Undo1->isEnabled());
        waitForFlag(f);
        f.Timer1Timer();
        QVERIFY(f.Undo1->isEnabled());
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void noColourSampleIsTakenWhileAWholePictureJobRuns() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 20, 10, 1)});
        f.project.processedBuffer.fill(0.5f);
        std::atomic<bool> release{false};
        QVERIFY(f.startJob(JobKind::ProcessAll, [&](ProgressSink&) {
            while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }));
        QVERIFY(f.Image4->isEnabled());  // whole-picture jobs leave the picture live
        f.samplingActive = true;
        f.samplingSlot = 0;
        f.sampleColours[0] = Rgb{0.0f, 0.0f, 0.0f};
        f.Image4MouseDown(Qt::LeftButton, 5, 5);
        f.Image4MouseMove(Qt::LeftButton, 6, 5);
        QCOMPARE(f.sampleColours[0][0], 0.0f);
        release = true;
        waitForFlag(f);
        f.Timer1Timer();
        f.samplingActive = true;
        f.Image4MouseDown(Qt::LeftButton, 5, 5);
        QVERIFY(f.sampleColours[0][0] > 0.0f);  // afterwards the sample is taken
    }

    void processAllAndPreviewRenderTheStack() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 50, 36, 1), w.picture(QStringLiteral("b.bmp"), 50, 36, 99)});
        f.project.previewRect = Region{10, 20, 5, 12};
        f.Button1->click();  // Preview
        QVERIFY(f.jobRunning());
        QVERIFY(!f.Image4->isEnabled());
        waitForFlag(f);
        QCOMPARE(f.jobs().progress().maximum(), 24);  // 2 passes x 12 rows
        f.Timer1Timer();
        QVERIFY(!f.project.wholeImageProcessed);
        QVERIFY(f.Image4->isEnabled());
        QCOMPARE(f.CGauge1->gaugeMaximum(), 36);
        QVERIFY(!f.CGauge1->showText());

        f.Button2->click();  // Process all
        waitForFlag(f);
        QCOMPARE(f.jobs().progress().maximum(), 72);
        f.Timer1Timer();
        QVERIFY(f.project.wholeImageProcessed);
        // The display is the processed picture drawn with the render's own conversion.
        DisplayBitmap expected(50, 36);
        NullProgress none;
        drawRegion(f.project.processedBuffer, Region{0, 50, 0, 36}, expected, none);
        QVERIFY(std::equal(expected.data(), expected.data() + 50 * 36, f.displayBitmap.data()));
        // The histogram counted every pixel of the picture.
        std::int64_t total = 0;
        for (auto c : f.histogramData.histogram) total += c;
        QCOMPARE(total, std::int64_t{50 * 36});
    }

    void previewThrottle() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 30, 20, 1), w.picture(QStringLiteral("b.bmp"), 30, 20, 70)});
        f.project.previewRect = Region{5, 10, 4, 6};
        f.CheckBox5->setChecked(true);
        f.throttleCounter = 0;
        f.previewAllowed = false;
        auto rendered = [&f] { return f.project.processedBuffer.at(5, 4, 0) >= 0.0f; };
        auto forget = [&f] { f.project.processedBuffer.fill(-1.0f); };
        forget();
        f.autoPreview();
        QVERIFY(!rendered());  // not allowed yet
        f.Timer1Timer();
        f.Timer1Timer();
        QVERIFY(!f.previewAllowed);
        f.Timer1Timer();  // the third tick allows one
        QVERIFY(f.previewAllowed);
        f.autoPreview();
        QVERIFY(rendered());
        QCOMPARE(f.project.processedBuffer.at(4, 4, 0), -1.0f);  // only the rectangle
        QVERIFY(!f.project.wholeImageProcessed);
        QVERIFY(!f.previewAllowed);
        QCOMPARE(f.throttleCounter, 0);
        // A change 100 ms later is not previewed, not even late.
        forget();
        f.Timer1Timer();
        f.autoPreview();
        QVERIFY(!rendered());
        f.Timer1Timer();
        f.Timer1Timer();
        QVERIFY(!rendered());
        // Never while a job runs.
        std::atomic<bool> release{false};
        QVERIFY(f.startJob(JobKind::TonePreview, [&](ProgressSink&) {
            while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }));
        QVERIFY(f.previewAllowed);
        f.autoPreview();
        release = true;
        waitForFlag(f);
        QVERIFY(!rendered());
        f.Timer1Timer();
        // Unticked "Auto": nothing.
        f.CheckBox5->setChecked(false);
        f.previewAllowed = true;
        forget();
        f.autoPreview();
        QVERIFY(!rendered());
    }

    void closingDuringAJobWaitsForTheWorker() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 20, 10, 1)});
        std::atomic<bool> done{false};
        QVERIFY(f.startJob(JobKind::BlurApply, [&](ProgressSink&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            done = true;
        }));
        f.close();
        QVERIFY(done.load());
    }

    void pageSwitchQuestion() {
        Window w;
        TForm1& f = *w.form;
        // No image: no question, the groups are off.
        f.TabbedNotebook1->setCurrentIndex(2);
        QVERIFY(w.prompter.shown.empty());
        QVERIFY(!f.GroupBox8->isEnabled() && !f.GroupBox12->isEnabled() && !f.GroupBox16->isEnabled());
        f.TabbedNotebook1->setCurrentIndex(0);
        w.open({w.picture(QStringLiteral("a.bmp"), 24, 16, 1)});
        w.open({w.picture(QStringLiteral("b.bmp"), 24, 16, 2)});
        // A new image pending: no question, off.
        f.TabbedNotebook1->setCurrentIndex(2);
        QCOMPARE(w.prompter.texts().size(), 2);  // the two open dialogs
        QVERIFY(!f.GroupBox8->isEnabled());
        f.TabbedNotebook1->setCurrentIndex(0);
        f.Button3->click();
        // Only previewed: the question; Cancel leaves the groups off.
        w.prompter.answers.push_back(false);
        f.TabbedNotebook1->setCurrentIndex(2);
        QCOMPARE(w.prompter.texts().last(),
                 QStringLiteral("To begin working with the filters you have to stack the whole image first."));
        QVERIFY(!f.GroupBox8->isEnabled());
        QVERIFY(!f.jobRunning());
        // OK starts "Process all": the page control is off until the job has finished.
        f.TabbedNotebook1->setCurrentIndex(1);
        w.prompter.answers.push_back(true);
        f.TabbedNotebook1->setCurrentIndex(2);
        QVERIFY(f.jobRunning());
        waitForFlag(f);
        f.Timer1Timer();
        QVERIFY(f.project.wholeImageProcessed);
        QVERIFY(f.GroupBox8->isEnabled() && f.GroupBox17->isEnabled() && f.GroupBox12->isEnabled());
        // Afterwards: no question.
        const auto asked = w.prompter.shown.size();
        f.TabbedNotebook1->setCurrentIndex(0);
        f.TabbedNotebook1->setCurrentIndex(2);
        QCOMPARE(w.prompter.shown.size(), asked);
        QVERIFY(f.GroupBox8->isEnabled());
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void accordion() {
        Window w;
        TForm1& f = *w.form;
        QCOMPARE(f.GroupBox17->height(), 152);
        QCOMPARE(f.GroupBox8->height(), 24);
        f.selectToolGroup(0);
        QCOMPARE(f.GroupBox8->height(), 120);
        QCOMPARE(f.GroupBox17->height(), 24);
        f.selectToolGroup(0);  // the expanded one stays expanded
        QCOMPARE(f.GroupBox8->height(), 120);
        f.hoverToolGroup(2);
        QVERIFY(f.GroupBox9->font().bold());
        f.hoverToolGroup(0);  // the expanded group's caption never turns bold
        QVERIFY(!f.GroupBox8->font().bold());
        QVERIFY(!f.GroupBox9->font().bold());
        f.hoverToolGroup(3);
        f.hoverToolGroup(-1);  // the picture area: every caption normal
        for (ToolGroup* g : f.toolGroups) QVERIFY(!g->font().bold());
        // Collapsed groups put their controls away; expanding brings back those that were showing.
        auto children = [](QWidget* g) { return g->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly); };
        for (QWidget* c : children(f.GroupBox9)) QVERIFY(c->isHidden());
        QWidget* keptHidden = new QWidget(f.GroupBox9);
        keptHidden->hide();
        f.selectToolGroup(2);
        QVERIFY(keptHidden->isHidden());
        int shown = 0;
        for (QWidget* c : children(f.GroupBox9)) shown += c->isHidden() ? 0 : 1;
        QCOMPARE(shown, int(children(f.GroupBox9).size()) - 1);
        f.selectToolGroup(5);
        QCOMPARE(f.GroupBox16->height(), 200);
        QCOMPARE(f.GroupBox8->height(), 24);
        QVERIFY(f.expanded[5] && !f.expanded[0]);
    }

    void savePaths() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 20, 12, 1)});
        const QString target = w.dir.filePath(QStringLiteral("out.tif"));
        // Save with no name behaves as Save as; the BMP entry writes a BMP whatever the extension.
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{target, 3});
        f.Save1->trigger();
        QCOMPARE(w.prompter.lastSaveFilterIndex, 1);
        QCOMPARE(head(target, 2), QByteArray("BM"));
        QCOMPARE(f.saveDefaultExtension, QStringLiteral("*.bmp"));
        QCOMPARE(f.windowTitle(), QStringLiteral("Sombrel Varno (freeware) [") + target + QStringLiteral("]"));
        QVERIFY(w.prompter.texts(ScriptedPrompter::Kind::YesNo).isEmpty());
        // Save as over an existing file asks; No writes nothing.
        QFile::resize(target, 10);
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{target, 3});
        w.prompter.answers.push_back(false);
        f.Saveas1Click();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::YesNo),
                 QStringList{QStringLiteral("The file already exists, overwrite?")});
        QCOMPARE(QFileInfo(target).size(), 10);
        // Save after Save as never asks.
        f.Save1Click();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::YesNo).size(), 1);
        QVERIFY(QFileInfo(target).size() > 10);
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::SaveFile).size(), 2);
        QCOMPARE(w.prompter.lastSaveFilterIndex, 3);  // the dialog keeps the entry chosen

        // The TIFF entry shows the TIFF dialog; the caption takes the new name only once the
        // file is written, not when the dialog shows nor when the user cancels.
        const QString tiff = w.dir.filePath(QStringLiteral("picture.jpg"));
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{tiff, 1});
        f.Saveas1Click();
        QVERIFY(w.tiff->isVisible());
        QCOMPARE(f.windowTitle(), QStringLiteral("Sombrel Varno (freeware) [") + target + QStringLiteral("]"));
        w.tiff->Button1->click();
        QVERIFY(!w.tiff->isVisible());
        QVERIFY(!QFile::exists(tiff));
        QCOMPARE(f.windowTitle(), QStringLiteral("Sombrel Varno (freeware) [") + target + QStringLiteral("]"));
        f.Save1Click();
        w.tiff->RadioGroup1->setItemIndex(0);
        w.tiff->Button2->click();
        QVERIFY(!w.tiff->isVisible());
        QVERIFY(f.windowTitle().endsWith(QStringLiteral("[") + tiff + QStringLiteral("]")));
        QCOMPARE(head(tiff, 4), QByteArray("II*\0", 4));
        QCOMPARE(QFileInfo(tiff).size(), 171 + 20 * 12 * 3 + 8);
        // Save as TIFF over the file asks in the language in force; No keeps it.
        f.Polish1Click();
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{tiff, 1});
        f.Saveas1Click();
        w.prompter.answers.push_back(false);
        QFile::resize(tiff, 5);
        w.tiff->Button2Click();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::YesNo).last(), QString::fromUtf8("Plik już istnieje, nadpisać?"));
        QCOMPARE(QFileInfo(tiff).size(), 5);
        f.English1Click();

        // The JPEG entry: cjpeg writes the file; a failing encoder is reported.
        const QString jpeg = w.dir.filePath(QStringLiteral("picture.bmp"));
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{jpeg, 2});
        f.Saveas1Click();
        QVERIFY(w.jpeg->isVisible());
        w.jpeg->setQuality(80);
        f.jpegEncoderPath.clear();
        w.jpeg->Button2->click();
        QVERIFY(!w.jpeg->isVisible());
        QCOMPARE(head(jpeg, 2), QByteArray("\xFF\xD8", 2));
        QCOMPARE(f.saveDefaultExtension, QStringLiteral("*.jpg"));
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error).size(), 0);
        f.jpegEncoderPath = QStringLiteral("/bin/false");
        f.Save1Click();
        w.jpeg->Button2Click();
        const QStringList errors = w.prompter.texts(ScriptedPrompter::Kind::Error);
        QCOMPARE(errors.size(), 1);
        QVERIFY(errors[0].startsWith(QStringLiteral("The JPEG file could not be written: ")));
        QCOMPARE(head(jpeg, 2), QByteArray("\xFF\xD8", 2));  // the earlier file is left whole
        QCOMPARE(w.prompter.unexpected, 0);
    }

    // Opening and writing run beside the window's thread: what was due (a timer's tick, a request
    // to close the window) is handled while the files are read or written, closing is refused until
    // the work is done, and the project, the file, the caption and the gauge end as ever.
    void openingAndWritingLeaveTheWindowLive() {
        Window w;
        TForm1& f = *w.form;
        struct Seen {
            bool ticked = false;
            bool closeAccepted = true;
        };
        const auto withEventsDue = [&](const std::function<bool()>& work) {
            Seen seen;
            QTimer::singleShot(0, &f, [&] {
                seen.ticked = true;
                QCloseEvent close;
                QCoreApplication::sendEvent(&f, &close);
                seen.closeAccepted = close.isAccepted();
            });
            QVERIFY(work());
            QVERIFY2(seen.ticked, "the tick waited for the work");
            QVERIFY(!seen.closeAccepted);
            QVERIFY(f.isVisible());
            QVERIFY(windowLiveAndAtRest(f));
        };
        const QStringList files = {w.picture(QStringLiteral("a.bmp"), 40, 30, 1),
                                   w.picture(QStringLiteral("b.bmp"), 40, 30, 77)};
        withEventsDue([&] {
            w.open(files);
            return f.project.exposureCount == 2;
        });
        QCOMPARE(f.ListBox1->count(), 2);
        QVERIFY(f.Button4->isEnabled() && !f.Button3->isEnabled() && !f.project.openInProgress);
        f.Button2Click();
        f.waitForJob();
        f.Timer1Timer();
        QVERIFY(f.project.wholeImageProcessed);

        const QString expected = w.dir.filePath(QStringLiteral("before.tif"));
        QVERIFY(f.writeTiffFile(expected, 16, 1));
        const QString tiff = w.dir.filePath(QStringLiteral("live.tif"));
        withEventsDue([&] { return f.writeTiffFile(tiff, 16, 1); });
        QCOMPARE(readAll(tiff), readAll(expected));
        QVERIFY(f.windowTitle().endsWith(QStringLiteral("[") + tiff + QStringLiteral("]")));
        const QString png = w.dir.filePath(QStringLiteral("live.png"));
        withEventsDue([&] { return f.writePngFile(png, 16, false); });
        QCOMPARE(head(png, 4), QByteArray("\x89PNG", 4));
        const QString hdr = w.dir.filePath(QStringLiteral("live.pfm"));
        withEventsDue([&] { return f.writeHdrFile(hdr, 5); });
        QCOMPARE(head(hdr, 2), QByteArray("PF"));
    }

    // A failed save: the box stands over the options dialog that asked for the write (while that is
    // still shown), speaks one language throughout, and the caption keeps the name it had.
    void saveFailuresStandAboveTheirDialogInOneLanguage() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 20, 12, 1)});
        f.Button2Click();  // Process all, for the TIFF
        f.waitForJob();
        f.Timer1Timer();
        const QString caption = f.windowTitle();
        f.jpegEncoderPath = QStringLiteral("/bin/true");
        QVERIFY(QDir(w.dir.path()).mkdir(QStringLiteral("teczka.tif")));
        const QString pipe = w.dir.filePath(QStringLiteral("potok.bmp"));
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0644), 0);
        const auto lastError = [&] {
            for (auto it = w.prompter.shown.rbegin(); it != w.prompter.shown.rend(); ++it)
                if (it->kind == ScriptedPrompter::Kind::Error) return *it;
            return ScriptedPrompter::Shown{ScriptedPrompter::Kind::Message, QString()};
        };

        f.Polish1Click();
        const QString missing = w.dir.filePath(QStringLiteral("brak/zdjęcie.jpg"));
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{missing, 2});
        f.Saveas1Click();
        w.jpeg->Button2->click();
        ScriptedPrompter::Shown error = lastError();
        QCOMPARE(error.text, QString::fromUtf8("Nie udało się zapisać pliku JPEG: folder nie istnieje"));
        QCOMPARE(error.parent, static_cast<QWidget*>(w.jpeg.get()));
        QVERIFY(error.parentVisible);
        QVERIFY(!w.jpeg->isVisible());

        const QString folder = w.dir.filePath(QStringLiteral("teczka.tif"));
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{folder, 1});
        f.Saveas1Click();
        w.tiff->Button2->click();  // a folder is not a file to overwrite: no question
        error = lastError();
        QCOMPARE(error.text,
                 QString::fromUtf8("Nie udało się zapisać pliku: ") + folder + QStringLiteral(" (to jest folder)"));
        QCOMPARE(error.parent, static_cast<QWidget*>(w.tiff.get()));
        QVERIFY(error.parentVisible);

        // BMP has no options dialog: its box stands over the main window.
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{pipe, 3});
        f.Saveas1Click();
        error = lastError();
        QCOMPARE(error.text, QString::fromUtf8("Nie udało się zapisać pliku: ") + pipe +
                                 QString::fromUtf8(" (to nie jest zwykły plik)"));
        QCOMPARE(error.parent, static_cast<QWidget*>(&f));
        QCOMPARE(f.windowTitle(), caption);

        // The same failures in English.
        f.English1Click();
        f.Save1Click();
        QCOMPARE(lastError().text, QStringLiteral("The file could not be written: ") + pipe +
                                       QStringLiteral(" (it is not a regular file)"));
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{missing, 2});
        f.Saveas1Click();
        w.jpeg->Button2->click();
        QCOMPARE(lastError().text, QStringLiteral("The JPEG file could not be written: the folder does not exist"));
        QCOMPARE(f.windowTitle(), caption);
        QVERIFY(w.prompter.texts(ScriptedPrompter::Kind::YesNo).isEmpty());
        QVERIFY(std::filesystem::is_fifo(QFile::encodeName(pipe).toStdString()));
        QCOMPARE(w.prompter.unexpected, 0);

        // Every reason a write can fail with has its own text in each language.
        QSet<QString> polishTexts;
        for (int r = static_cast<int>(WriteFailure::NoSpace); r <= static_cast<int>(WriteFailure::System); ++r) {
            const WriteError e{static_cast<WriteFailure>(r), EIO, {}};
            const QString english = writeFailureText(e, false), polish = writeFailureText(e, true);
            QVERIFY2(!polish.isEmpty() && polish != english, qPrintable(english));
            polishTexts.insert(polish);
        }
        QCOMPARE(polishTexts.size(), static_cast<int>(WriteFailure::System));
        QCOMPARE(writeFailureText(WriteError{WriteFailure::System, EIO, {}}, true),
                 QString::fromUtf8("błąd systemowy EIO"));
        // The encoder's own (English) words go with the English text only.
        const WriteError encoder{WriteFailure::JpegEncoderFailed, 0, "Empty input file"};
        QCOMPARE(writeFailureText(encoder, false), QStringLiteral("the JPEG encoder failed: Empty input file"));
        QCOMPARE(writeFailureText(encoder, true), QString::fromUtf8("koder JPEG zgłosił błąd"));
    }

    // A job whose body runs out of memory ends as a job ends: the window is live again, the gauge
    // at rest, the user told in the language in force, and the picture is the one from before.
    void anApplyThatRunsOutOfMemoryKeepsThePicture() {
        Window w;
        TForm1& f = *w.form;
        processedProject(w);
        applySharpen(f);  // Undo has something to bring back
        QVERIFY(undoEnabled(f));
        const FloatImage picture = f.project.processedBuffer.clone();
        Project* p = &f.project;
        QVERIFY(f.startJob(JobKind::BlurApply, [p](ProgressSink& progress) {
            // Half of the output and of the working copy are written when memory runs out.
            beginProgress(progress, 60);
            progress.advance(17);
            for (int y = 0; y < 15; ++y)
                for (int x = 0; x < 40; ++x)
                    for (int c = 0; c < 3; ++c) {
                        p->processedCopy.at(x, y, c) = 0.77f;
                        p->newImageBuffer.at(x, y, c) = 0.11f;
                    }
            throw std::bad_alloc();
        }));
        waitForFlag(f);
        f.Timer1Timer();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error), QStringList{QStringLiteral("Not enough memory!")});
        QVERIFY(windowLiveAndAtRest(f));
        QVERIFY(samePixels(f.project.processedBuffer, picture));
        QVERIFY(samePixels(f.project.processedCopy, picture));  // the half-written output is gone
        QVERIFY(shows(f, picture));
        // The Undo copy may be half overwritten: Undo is off rather than bring back a mixture.
        QVERIFY(!undoEnabled(f));
        QVERIFY(f.project.wholeImageProcessed);

        // Told in Polish once Polish is chosen; a preview that fails keeps the picture too.
        f.Polish1Click();
        QVERIFY(f.startJob(JobKind::SharpenPreview, [p](ProgressSink&) {
            p->processedCopy.fill(0.5f);
            throw std::bad_alloc();
        }));
        waitForFlag(f);
        f.Timer1Timer();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error).last(), QString::fromUtf8("Za mało pamięci!"));
        QVERIFY(windowLiveAndAtRest(f));
        const Region r = f.project.previewRect;
        QCOMPARE(f.project.processedCopy.at(r.x, r.y, 0), picture.at(r.x, r.y, 0));
        QVERIFY(shows(f, picture));

        // The project goes on: the next Apply works as ever.
        f.startFilterJob(JobKind::BlurApply);
        waitForFlag(f);
        f.Timer1Timer();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error).size(), 2);
        QVERIFY(!samePixels(f.project.processedBuffer, picture));
        QVERIFY(samePixels(f.project.processedCopy, f.project.processedBuffer));
        QVERIFY(undoEnabled(f));
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void aRealFilterStoppedHalfWayLeavesNoTrace() {
        Window w;
        TForm1& f = *w.form;
        processedProject(w);
        const FloatImage picture = f.project.processedBuffer.clone();
        Project* p = &f.project;
        for (const std::int64_t rows : {1, 20, 45}) {
            QVERIFY(f.startJob(JobKind::SharpenApply, [p, rows](ProgressSink& progress) {
                FailingProgress failing(progress, rows);
                sharpen(FilterBuffers{p->processedBuffer, p->newImageBuffer, p->processedCopy},
                        Region{0, 40, 0, 30}, SharpenParams{200, 20}, failing);
            }));
            waitForFlag(f);
            f.Timer1Timer();
            QVERIFY(windowLiveAndAtRest(f));
            QVERIFY(samePixels(f.project.processedBuffer, picture));
            QVERIFY(samePixels(f.project.processedCopy, picture));
            QVERIFY(shows(f, picture));
        }
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error).size(), 3);
    }

    void aRenderThatFailsShowsWhatItLeftAndSaysSo() {
        Window w;
        TForm1& f = *w.form;
        processedProject(w);
        applySharpen(f);
        f.TabbedNotebook1->setCurrentIndex(2);
        QVERIFY(f.GroupBox8->isEnabled());
        Project* p = &f.project;
        QVERIFY(f.startJob(JobKind::ProcessAll, [p](ProgressSink& progress) {
            beginProgress(progress, 60);
            for (int y = 0; y < 10; ++y)
                for (int x = 0; x < 40; ++x)
                    for (int c = 0; c < 3; ++c) p->processedBuffer.at(x, y, c) = 0.5f;
            throw std::runtime_error("the disk is on fire");
        }));
        waitForFlag(f);
        QTest::ignoreMessage(QtWarningMsg, "job failed: the disk is on fire");
        f.Timer1Timer();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error),
                 QStringList{QStringLiteral("The operation could not be finished because of an unexpected error.")});
        QVERIFY(windowLiveAndAtRest(f));
        // Part of a new render is in the picture: not a whole render any more, and shown as it is.
        QVERIFY(!f.project.wholeImageProcessed);
        QVERIFY(!f.GroupBox8->isEnabled());
        QVERIFY(shows(f, f.project.processedBuffer));
        QCOMPARE(f.displayBitmap.at(3, 3), packRgb(127, 127, 127));
        QVERIFY(undoEnabled(f));  // a render never touches the Undo copy
        // Whatever is thrown, not only standard exceptions.
        f.Polish1Click();
        QVERIFY(f.startJob(JobKind::TonePreview, [](ProgressSink&) { throw 7; }));
        waitForFlag(f);
        f.Timer1Timer();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error).last(),
                 QString::fromUtf8("Nie udało się dokończyć operacji z powodu nieoczekiwanego błędu."));
        QVERIFY(windowLiveAndAtRest(f));
        QCOMPARE(w.prompter.unexpected, 0);
    }
};

QTEST_MAIN(ViewJobsSaveTest)
#include "test_view_jobs_save.moc"
