// Opening through the engine's open sequence and the command states that follow: a multi-file
// open with a file of another size and a missing one tells why in file order and builds the
// engine's stack; the alignment overlay is live again after the Align job; and a ghost merge
// (on, off, adding or removing with it on) drops what was kept for the old stack.
#include "ui_fixture.h"

#include <QLocale>

#include <functional>

#include <cstring>

#include "stack/exposure_stack.h"
#include "tone/local_contrast.h"

using namespace sv;
using svtest::Window;
using svtest::waitForJob;

namespace {

bool sameStack(const Project& a, const Project& b) {
    return a.exposureCount == b.exposureCount && a.stackMax == b.stackMax && a.stackBuffer.sameSize(b.stackBuffer) &&
           std::memcmp(a.stackBuffer.data(), b.stackBuffer.data(), a.stackBuffer.sampleCount() * sizeof(float)) == 0;
}

}  // namespace

class OpenStatesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English)); }

    // Undo restores the processed picture from the working copy; an open reads the new picture
    // into that copy, so after it Undo must be off instead of bringing back the new exposure.
    void openingAfterAnApplyTakesUndoAway() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 60, 40, 1), w.picture(QStringLiteral("b.bmp"), 60, 40, 2)});
        f.Button2Click();
        QVERIFY(waitForJob(f));
        f.TabbedNotebook1->setCurrentIndex(2);
        QTest::mouseClick(f.Button7, Qt::LeftButton);  // blur, Apply
        QVERIFY(waitForJob(f));
        QVERIFY(f.Undo1->isEnabled() && f.Button17->isEnabled());

        f.TabbedNotebook1->setCurrentIndex(0);
        w.open({w.picture(QStringLiteral("c.bmp"), 60, 40, 3)});
        QVERIFY(f.Button3->isEnabled());  // waits for Add
        QVERIFY(!f.Undo1->isEnabled() && !f.Button17->isEnabled() && !f.ToolButton6->isEnabled());
        const FloatImage before = f.project.processedBuffer.clone();
        f.Undo1Click();
        QVERIFY(std::memcmp(before.data(), f.project.processedBuffer.data(), before.sampleCount() * sizeof(float)) == 0);
    }

    void severalFilesTellWhyInTheirOrderAndBuildTheEnginesStack() {
        for (bool polish : {false, true}) {
            Window w;
            TForm1& f = *w.form;
            if (polish) f.Polish1->trigger();
            const QStringList files = {w.picture(QStringLiteral("a.bmp"), 60, 40, 1),
                                       w.picture(QStringLiteral("small.bmp"), 30, 40, 2),
                                       w.dir.filePath(QStringLiteral("missing.bmp")),
                                       w.picture(QStringLiteral("b.bmp"), 60, 40, 3)};
            w.open(files);
            const QStringList errors = w.prompter.texts(ScriptedPrompter::Kind::Error);
            QCOMPARE(errors.size(), 2);
            QCOMPARE(errors[0], engineMessageText(Message{MessageId::WrongImageSize}, polish));
            QVERIFY(errors[1].contains(QStringLiteral("missing.bmp")));
            QCOMPARE(f.ListBox1->count(), 2);
            QVERIFY(f.ListBox1->item(1)->text().startsWith(QStringLiteral("b.bmp")));
            // Both added: the stack is ready, nothing pending.
            QVERIFY(f.Button4->isEnabled() && !f.Button3->isEnabled() && f.Button9->isEnabled());
            QVERIFY(f.Button1->isEnabled() && f.New1->isEnabled() && f.Save1->isEnabled());
            QVERIFY(!f.project.openInProgress);

            Project twin;
            NullProgress progress;
            std::vector<std::string> paths;
            for (const QString& s : files) paths.push_back(s.toStdString());
            openPictures(twin, paths, DecodeHooks{}, progress);
            QVERIFY(sameStack(f.project, twin));
            QCOMPARE(w.prompter.unexpected, 0);
        }
    }

    void theOverlayIsLiveAgainAfterAlign() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 80, 60, 1)});
        w.open({w.picture(QStringLiteral("b.bmp"), 80, 60, 2)});
        QVERIFY(f.Panel11->isVisible() && f.Panel11->isEnabled());
        f.Button27->click();
        QVERIFY(!f.Panel11->isEnabled());  // the worker reads the new image and the stack
        QVERIFY(waitForJob(f));
        // The shift can be dragged in the overlay again, and the pending image is still pending.
        QVERIFY(f.Panel11->isEnabled() && f.Image13->isEnabled());
        QVERIFY(f.Image4->isEnabled() && f.Shape3->isEnabled());
        QVERIFY(f.Button3->isEnabled() && !f.Button4->isEnabled());
    }

    void aGhostMergeDropsWhatWasKeptForTheOldStack() {
        Window w;
        TForm1& f = *w.form;
        const QStringList files = {w.picture(QStringLiteral("a.bmp"), 80, 60, 1),
                                   w.picture(QStringLiteral("b.bmp"), 80, 60, 40),
                                   w.picture(QStringLiteral("c.bmp"), 80, 60, 90)};
        w.open(files.mid(0, 2));
        f.CheckBoxLocalContrast->setChecked(true);
        // A render of the stack as it stands keeps the local contrast model of that stack.
        auto buildModel = [&] {
            f.Button2Click();
            QVERIFY(waitForJob(f));
            QVERIFY(f.localContrastModel);
        };
        auto mergedAgain = [&](const std::function<void()>& start, int exposures) {
            buildModel();
            start();
            QVERIFY(waitForJob(f));
            QCOMPARE(f.project.exposureCount, exposures);
            QVERIFY(f.ghosts.active);
            QVERIFY(!f.localContrastModel);
        };
        mergedAgain([&] { f.CheckBox6->click(); }, 2);
        // Added and removed while ghost removal stays on: merged again each time.
        mergedAgain([&] {
            w.open({files[2]});
            QVERIFY(f.Button3->isEnabled());
            f.Button3Click();
        }, 3);
        mergedAgain([&] {
            f.ListBox1->setCurrentRow(2);
            w.prompter.answers.push_back(true);
            f.Button9Click();
        }, 2);
        // Off: the plain stack comes back, and with it a model to build again.
        buildModel();
        f.CheckBox6->click();
        QVERIFY(!f.ghosts.active);
        QVERIFY(!f.localContrastModel);
        QCOMPARE(w.prompter.unexpected, 0);
    }
};

QTEST_MAIN(OpenStatesTest)
#include "test_open_states.moc"
