// Automatic alignment and ghost removal in the window: the Align button fills the offsets and
// shows the difference, a rotated pair is warned about, the Edit menu's automatic alignment aligns
// every file of a multi-file open and is remembered, "Remove ghosts" merges as the engine does and
// unticking brings the plain stack back bit for bit, and adding or removing keeps it on.
#include <QElapsedTimer>
#include <QSettings>

#include <cstring>

#include "ui_fixture.h"

#include "../support/bracket_scenes.h"
#include "stack/exposure_stack.h"
#include "operations/fusion_source.h"
#include "stack/ghost_removal.h"
#include "tone/fused_levels.h"

using namespace sv;
using svtest::Window;
using svtest::waitForJob;

namespace {

constexpr int kW = 160;
constexpr int kH = 120;

// One exposure of a procedural scene, shot with its top left at (ox, oy), as a BMP. `object`
// paints a dark block that only this exposure holds.
QString shot(Window& w, const QString& name, int ox, int oy, double ev, double rotation = 0.0, bool object = false) {
    static const FloatImage scene = test::proceduralScene(kW + 80, kH + 80, 6);
    FloatImage s = scene.clone();
    if (object) {
        for (int y = 80; y < 110; ++y)
            for (int x = 90; x < 120; ++x)
                for (int c = 0; c < 3; ++c) s.at(x, y, c) = c == 0 ? 0.02f : 0.004f;
    }
    const std::vector<unsigned char> rgb =
        test::shootRgb(s, {ox, oy, kW, kH, ev, rotation, 1.0, 2.0, 0, static_cast<unsigned>(name.size() + ox)});
    QImage img(kW, kH, QImage::Format_RGB32);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const unsigned char* p = &rgb[(static_cast<std::size_t>(y) * kW + x) * 3];
            img.setPixel(x, y, qRgb(p[0], p[1], p[2]));
        }
    const QString path = w.dir.filePath(name);
    img.save(path, "BMP");
    return path;
}

std::vector<float> samplesOf(const FloatImage& image) {
    return std::vector<float>(image.data(), image.data() + image.sampleCount());
}

// Three exposures of one view; the brightest holds an object the others do not.
QStringList ghostBracket(Window& w) {
    return {shot(w, QStringLiteral("a.bmp"), 40, 40, -1.0), shot(w, QStringLiteral("b.bmp"), 40, 40, 0.0),
            shot(w, QStringLiteral("c.bmp"), 40, 40, 1.0, 0.0, true)};
}

// The engine opening the same files together, as the window's multi-file open does.
Project engineTwin(const QStringList& files) {
    Project twin;
    NullProgress progress;
    std::vector<std::string> paths;
    for (const QString& s : files) paths.push_back(s.toStdString());
    openPictures(twin, paths, DecodeHooks{}, progress);
    return twin;
}

int storedKeys(const QString& path) { return QSettings(path, QSettings::IniFormat).allKeys().size(); }

}  // namespace

class AlignGhostsTest : public QObject {
    Q_OBJECT
private slots:
    void alignFillsTheOffsetsShowsTheDifferenceAndTheUserHasTheLastWord() {
        for (bool polish : {false, true}) {
            Window w;
            TForm1& f = *w.form;
            if (polish) f.Polish1->trigger();
            QCOMPARE(f.Button27->text(), polish ? QString::fromUtf8("Wyrównaj") : QStringLiteral("Align"));
            w.open({shot(w, QStringLiteral("a.bmp"), 40, 40, 0.0)});
            QVERIFY(!f.Button27->isEnabled());  // nothing to align with yet
            w.open({shot(w, QStringLiteral("b.bmp"), 40 + 11, 40 - 6, -1.0)});
            QVERIFY(f.Button27->isEnabled());
            QVERIFY(f.RadioButton1->isChecked());
            f.Button27->click();
            QVERIFY(waitForJob(f));
            QCOMPARE(f.Edit3->text(), QStringLiteral("11"));
            QCOMPARE(f.Edit4->text(), QStringLiteral("-6"));
            QVERIFY(f.RadioButton3->isChecked());
            QVERIFY(!f.Image13->isHidden());
            QVERIFY(f.alignmentStatus->isVisible());
            QVERIFY(f.alignmentStatus->text().startsWith(polish ? QString::fromUtf8("Błąd wyrównania: ")
                                                                : QStringLiteral("Alignment residual: ")));
            QVERIFY(w.prompter.texts(ScriptedPrompter::Kind::Message).isEmpty());
            // The status follows a change of language.
            if (polish) f.English1->trigger();
            else f.Polish1->trigger();
            QVERIFY(f.alignmentStatus->text().startsWith(polish ? QStringLiteral("Alignment residual: ")
                                                                : QString::fromUtf8("Błąd wyrównania: ")));
            // A shift typed afterwards wins over the suggestion.
            f.Edit3->setText(QStringLiteral("9"));
            f.Edit3Change();
            f.Button3->click();
            QCOMPARE(f.project.exposures[1].shiftX, 9);
            QCOMPARE(f.project.exposures[1].shiftY, -6);
            QVERIFY(!f.Button27->isEnabled());
            QCOMPARE(w.prompter.unexpected, 0);
        }
    }

    void aRotatedPairIsWarnedAboutInTheLanguageInForce() {
        Window w;
        TForm1& f = *w.form;
        f.Polish1->trigger();
        w.open({shot(w, QStringLiteral("a.bmp"), 40, 40, 0.0)});
        w.open({shot(w, QStringLiteral("b.bmp"), 44, 37, 1.0, 4.0)});
        f.Button27->click();
        QVERIFY(waitForJob(f));
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Message),
                 QStringList{QString::fromUtf8(
                     "Zdjęcia mogą być obrócone albo aparat się poruszył: sprawdź widok różnicy.")});
        QVERIFY(f.RadioButton3->isChecked());  // the user is shown the difference to judge
    }

    void automaticAlignmentAlignsEveryFileOfAnOpenAndIsRemembered() {
        Window w;
        TForm1& f = *w.form;
        QCOMPARE(f.Autoalign1->text(), QStringLiteral("Align new images automatically"));
        QVERIFY(!f.Autoalign1->isChecked());
        const QStringList files = {shot(w, QStringLiteral("a.bmp"), 40, 40, 0.0),
                                   shot(w, QStringLiteral("b.bmp"), 40 - 13, 40 + 5, -1.5),
                                   shot(w, QStringLiteral("c.bmp"), 40 + 20, 40 + 17, 1.5)};
        // Off: the files are added unshifted, as always.
        w.open(files);
        QVERIFY(!f.jobs().busy());
        QCOMPARE(f.project.exposureCount, 3);
        QCOMPARE(f.project.exposures[1].shiftX, 0);
        w.prompter.answers.push_back(true);
        f.New1Click();

        f.Autoalign1->trigger();
        QVERIFY(f.Autoalign1->isChecked());
        w.open(files);
        QVERIFY(waitForJob(f));
        QCOMPARE(f.project.exposureCount, 3);
        QCOMPARE(f.ListBox1->count(), 3);
        QCOMPARE(f.project.exposures[1].shiftX, -13);
        QCOMPARE(f.project.exposures[1].shiftY, 5);
        QCOMPARE(f.project.exposures[2].shiftX, 20);
        QCOMPARE(f.project.exposures[2].shiftY, 17);
        QVERIFY(!f.project.openInProgress);
        QVERIFY(f.Button4->isEnabled() && f.Button9->isEnabled());
        QVERIFY(!f.Button3->isEnabled());

        // A single file waits as usual, with the suggestion in the offsets and the difference shown.
        w.open({shot(w, QStringLiteral("d.bmp"), 40 + 3, 40 - 8, 0.5)});
        QVERIFY(waitForJob(f));
        QVERIFY(f.Button3->isEnabled());
        QCOMPARE(f.Edit3->text(), QStringLiteral("3"));
        QCOMPARE(f.Edit4->text(), QStringLiteral("-8"));
        QVERIFY(f.RadioButton3->isChecked());

        // Remembered in the settings; unticked, the store holds the five values alone again.
        w.prompter.answers.push_back(true);  // close with unsaved work
        f.close();
        QCOMPARE(QSettings(w.settingsPath(), QSettings::IniFormat).value(QStringLiteral("auto_align")).toInt(), 1);
        Window again(true, w.settingsPath());
        QVERIFY(again.form->Autoalign1->isChecked());
        again.form->Autoalign1->trigger();
        again.form->close();
        QCOMPARE(storedKeys(w.settingsPath()), 5);
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void removeGhostsMergesAsTheEngineAndUntickingRestoresThePlainStack() {
        Window w;
        TForm1& f = *w.form;
        const QStringList files = ghostBracket(w);
        w.open(files);
        QCOMPARE(f.project.exposureCount, 3);
        QVERIFY(f.CheckBox6->isEnabled());
        QVERIFY(!f.RadioButton4->isEnabled());
        const std::vector<float> plain = samplesOf(f.project.stackBuffer);
        const float plainMax = f.project.stackMax;

        f.ListBox1->setCurrentRow(1);
        f.TrackBar16->setValue(70);
        QVERIFY(!f.jobs().busy());  // moving the strength while it is off merges nothing
        f.CheckBox6->click();
        QVERIFY(waitForJob(f));
        QVERIFY(f.ghosts.active);
        QVERIFY(f.CheckBox6->isChecked());
        QCOMPARE(f.ghosts.params.reference, 1);
        QCOMPARE(f.ghosts.params.strength, 70);

        // The same merge through the engine on the same files.
        Project twin = engineTwin(files);
        NullProgress progress;
        GhostRemovalState state;
        QVERIFY(removeGhosts(twin, state, GhostRemovalParams{1, 70}, 3, exposureFiles(twin, DecodeHooks{}), progress).done);
        QVERIFY(samplesOf(f.project.stackBuffer) == samplesOf(twin.stackBuffer));
        QCOMPARE(f.project.stackMax, twin.stackMax);
        QVERIFY(samplesOf(f.project.stackBuffer) != plain);

        // The Ghosts view: the mask over the stack, red where the object was.
        QVERIFY(f.RadioButton4->isEnabled());
        f.RadioButton4->click();
        QCOMPARE(f.ghostBitmap.width(), kW);
        const std::uint32_t onObject = f.ghostBitmap.at(65, 55), away = f.ghostBitmap.at(5, 5);
        QVERIFY(f.ghosts.mask[55 * kW + 65] > 0.9f);
        QVERIFY(redOf(onObject) >= 150 && greenOf(onObject) <= 110);  // at least 0.54 of the way to red
        // Where nothing moved the view is the stack as the other views draw it (the mask's faint
        // tail may tint it by a level or two).
        const auto level = [&](int c) {
            return std::min(255, static_cast<int>(f.project.stackBuffer.at(5, 5, c) * 255.0f / f.project.stackMax));
        };
        QVERIFY(std::abs(redOf(away) - level(0)) <= 2);
        QVERIFY(std::abs(greenOf(away) - level(1)) <= 2);
        QVERIFY(std::abs(blueOf(away) - level(2)) <= 2);
        f.RadioButton1->click();  // back to the picture
        QVERIFY(f.RadioButton1->isChecked());

        // A stronger setting merges again.
        f.TrackBar16->setValue(90);
        QVERIFY(waitForJob(f));
        QCOMPARE(f.ghosts.params.strength, 90);

        // Unticking is the undo: the plain stack bit for bit.
        f.RadioButton4->click();
        f.CheckBox6->click();
        QVERIFY(!f.ghosts.active);
        QVERIFY(!f.jobs().busy());
        QVERIFY(samplesOf(f.project.stackBuffer) == plain);
        QCOMPARE(f.project.stackMax, plainMax);
        QVERIFY(!f.RadioButton4->isEnabled());
        QVERIFY(f.RadioButton1->isChecked());
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void fusionWhileGhostRemovalIsOnFusesTheCorrectedExposures() {
        Window w;
        TForm1& f = *w.form;
        w.open(ghostBracket(w));
        f.ListBox1->setCurrentRow(1);
        f.CheckBox6->click();
        QVERIFY(waitForJob(f));
        QVERIFY(f.ghosts.active);
        f.TabbedNotebook1->setCurrentIndex(1);
        f.RadioButtonFusion->click();
        QVERIFY(waitForJob(f));
        f.Button2Click();
        QVERIFY(waitForJob(f));
        QVERIFY(f.project.wholeImageProcessed);

        // Process all is the fusion of the exposures corrected as the stack was merged, not of
        // the files as they are (where the object that moved would come back).
        const Region whole{0, kW, 0, kH};
        NullProgress none;
        const auto fuse = [&](FileFusionSource source) {
            FloatImage out(kW, kH);
            RenderHistogram levels;
            if (!fusePicture(source, f.fusionSnapshot(), out, none).ok()) return std::vector<float>();
            fusedLevels(out, 0, 0, whole, f.TrackBar12->value(), f.TrackBar13->value(), out, levels, none);
            return samplesOf(out);
        };
        const std::vector<float> corrected = fuse(projectFusionSource(f.project, DecodeHooks{}, f.ghosts));
        const std::vector<float> plain = fuse(projectFusionSource(f.project, DecodeHooks{}));
        QVERIFY(!corrected.empty());
        QVERIFY(corrected == samplesOf(f.project.processedBuffer));
        QVERIFY(plain != corrected);
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void addingAndRemovingWhileOnKeepGhostRemovalOn() {
        Window w;
        TForm1& f = *w.form;
        const QStringList files = ghostBracket(w);
        const QString d = shot(w, QStringLiteral("d.bmp"), 40, 40, 0.5);
        w.open(files);
        f.ListBox1->setCurrentRow(0);
        f.CheckBox6->click();
        QVERIFY(waitForJob(f));
        QVERIFY(f.ghosts.active);

        // The twin without ghost removal: its stack is the plain one the window keeps.
        Project twin = engineTwin(QStringList(files) << d);
        NullProgress progress;

        w.open({d});  // alone: waits for Add; ghost removal cannot change meanwhile
        QVERIFY(!f.CheckBox6->isEnabled());
        QVERIFY(f.CheckBox6->isChecked());
        f.Button3->click();
        QVERIFY(waitForJob(f));
        QVERIFY(f.ghosts.active);
        QCOMPARE(f.project.exposureCount, 4);
        QVERIFY(!f.Button3->isEnabled());
        QVERIFY(samplesOf(f.ghosts.plainStack) == samplesOf(twin.stackBuffer));
        QCOMPARE(f.ghosts.mask.size(), std::size_t(kW) * kH);

        // Removing the reference hands over to the next line and merges again.
        f.ListBox1->setCurrentRow(0);
        w.prompter.answers.push_back(true);
        f.Button9->click();
        QVERIFY(waitForJob(f));
        QVERIFY(f.ghosts.active);
        QCOMPARE(f.project.exposureCount, 3);
        QCOMPARE(f.ListBox1->count(), 3);
        QVERIFY(removeExposure(twin, 0, DecodeHooks{}, progress).removed);
        QVERIFY(samplesOf(f.ghosts.plainStack) == samplesOf(twin.stackBuffer));

        // Several files opened together while on: each goes into the plain stack, then one merge.
        const QString e = shot(w, QStringLiteral("e.bmp"), 40, 40, -0.5), g = shot(w, QStringLiteral("g.bmp"), 40, 40, 1.5);
        w.open({e, g});
        QVERIFY(waitForJob(f));
        QVERIFY(f.ghosts.active);
        QCOMPARE(f.project.exposureCount, 5);
        QCOMPARE(f.ListBox1->count(), 5);
        openPictures(twin, {e.toStdString(), g.toStdString()}, DecodeHooks{}, progress);
        QVERIFY(samplesOf(f.ghosts.plainStack) == samplesOf(twin.stackBuffer));
        GhostRemovalState state;
        QVERIFY(removeGhosts(twin, state, f.ghosts.params, 5, exposureFiles(twin, DecodeHooks{}), progress).done);
        QVERIFY(samplesOf(f.project.stackBuffer) == samplesOf(twin.stackBuffer));
        QCOMPARE(w.prompter.unexpected, 0);
        QVERIFY(w.prompter.texts(ScriptedPrompter::Kind::Error).isEmpty());
    }
};

QTEST_MAIN(AlignGhostsTest)
#include "test_align_ghosts.moc"
