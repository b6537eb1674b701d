// The main window driven through its named controls, offscreen, with a scripted prompter:
// control states, opening, adding, removing, New, and the alignment of a new exposure.
#include "ui_fixture.h"

#include "imagefiles/tiff_writer.h"
#include "stack/alignment_view.h"

using namespace sv;
using svtest::Window;

namespace {

struct StateRow {
    const char* name;
    bool empty, pending, ready;  // enabled (or visible for the picture controls)
};

// The control-state table: on/off in the three states; -1 would be "unchanged" (not listed).
const StateRow kStates[] = {
    {"Button4", true, false, true},      {"ToolButton2", true, false, true},  {"Openimage1", true, false, true},
    {"Button3", false, true, false},     {"ToolButton12", false, true, false}, {"Addimage1", false, true, false},
    {"Button9", false, false, true},     {"Edit3", false, true, false},       {"CSpinButton2", false, true, false},
    {"Edit4", false, true, false},       {"CSpinButton3", false, true, false}, {"RadioButton1", false, true, false},
    {"RadioButton2", false, true, false}, {"RadioButton3", false, true, false}, {"Button1", false, false, true},
    {"Button2", false, false, true},     {"New1", false, false, true},        {"ToolButton1", false, false, true},
};

bool enabledOf(TForm1& form, const char* name) {
    if (auto* a = form.findChild<QAction*>(QString::fromLatin1(name))) return a->isEnabled();
    auto* w = form.findChild<QWidget*>(QString::fromLatin1(name));
    return w && w->isEnabled();
}

void checkStates(TForm1& form, int column) {
    for (const StateRow& row : kStates) {
        const bool want = column == 0 ? row.empty : column == 1 ? row.pending : row.ready;
        QVERIFY2(enabledOf(form, row.name) == want,
                 qPrintable(QStringLiteral("%1 in state %2").arg(QString::fromLatin1(row.name)).arg(column)));
    }
}

bool visible(QWidget* w) { return !w->isHidden(); }

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void emptyStateAfterStart() {
        Window w;
        TForm1& f = *w.form;
        QCOMPARE(f.windowTitle(), QStringLiteral("Sombrel Varno (freeware)"));
        QCOMPARE(f.statusPanelText(3), QStringLiteral("Size: 0x0"));
        QCOMPARE(f.statusPanelText(2), QStringLiteral("100%"));
        QCOMPARE(f.ListBox1->count(), 0);
        checkStates(f, 0);
        for (QObject* o : std::initializer_list<QObject*>{f.Save1, f.Saveas1, f.Copy1, f.Undo1})
            QVERIFY(!static_cast<QAction*>(o)->isEnabled());
        for (QWidget* x : std::initializer_list<QWidget*>{f.ToolButton4, f.ToolButton5, f.ToolButton3, f.ToolButton6,
                                                          f.Button17})
            QVERIFY(!x->isEnabled());
        QVERIFY(!visible(f.Image4) && !visible(f.Shape1) && !visible(f.Shape2) && !visible(f.Shape3));
        // The hidden controls exist and are kept disabled.
        for (QWidget* x : std::initializer_list<QWidget*>{f.Edit1, f.CSpinButton1, f.Button5, f.Label4}) {
            QVERIFY(x->isHidden());
        }
        QVERIFY(!f.Edit1->isEnabled() && !f.CSpinButton1->isEnabled() && !f.Button5->isEnabled());
        QCOMPARE(f.TabbedNotebook1->currentIndex(), 0);
        QCOMPARE(f.project.previewRect, (Region{0, 0, 0, 0}));
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void firstPictureIsAddedAtOnceThenASecondOneWaits() {
        Window w;
        TForm1& f = *w.form;
        const QString a = w.picture(QStringLiteral("a.bmp"), 100, 80, 1);
        const QString b = w.picture(QStringLiteral("b.bmp"), 100, 80, 60);
        w.open({a});
        QCOMPARE(f.project.exposureCount, 1);
        QCOMPARE(f.ListBox1->item(0)->text(), QStringLiteral("a.bmp [1.0x]"));
        QCOMPARE(f.project.previewRect, (Region{0, 100, 0, 80}));
        QCOMPARE(f.statusPanelText(3), QStringLiteral("Size: 100x80"));
        checkStates(f, 2);
        QVERIFY(f.Save1->isEnabled() && f.Saveas1->isEnabled() && f.Copy1->isEnabled());
        QVERIFY(visible(f.Image4) && visible(f.Shape1) && visible(f.Shape2) && visible(f.Shape3));
        QVERIFY(!visible(f.Panel11));
        QCOMPARE(f.Shape1->size(), QSize(102, 82));
        // The display shows the picture: pixel (3, 2) of a BMP is what was written.
        QCOMPARE(f.displayBitmap.at(3, 2) & 0xFFFFFFu, packRgb((1 + 21 + 2) % 256, (3 + 3) % 256, (1 + 10) % 256));
        // The stack holds v / 256 x weight.
        const float r = 24.0f / 256.0f, g = 6.0f / 256.0f, bl = 11.0f / 256.0f;
        const float weight = exposureWeightRef(r, g, bl);
        QCOMPARE(f.project.stackBuffer.at(3, 2, 0), weight * 1.0f * r);

        w.open({b});
        QCOMPARE(f.project.exposureCount, 2);
        QCOMPARE(f.ListBox1->item(1)->text(), QStringLiteral("* b.bmp [1.0x]"));
        checkStates(f, 1);
        QVERIFY(visible(f.Panel11) && visible(f.Image13));
        QVERIFY(f.RadioButton1->isChecked());
        QCOMPARE(f.Edit3->text(), QStringLiteral("0"));

        f.Button3->click();  // Add
        QCOMPARE(f.ListBox1->item(1)->text(), QStringLiteral("b.bmp [1.0x]"));
        checkStates(f, 2);
        QVERIFY(!visible(f.Panel11));
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void severalAtOnceWithOneOfAnotherSize() {
        Window w;
        TForm1& f = *w.form;
        const QString a = w.picture(QStringLiteral("a.bmp"), 30, 20, 1);
        const QString odd = w.picture(QStringLiteral("odd.bmp"), 31, 20, 2);
        const QString c = w.picture(QStringLiteral("c.bmp"), 30, 20, 3);
        w.open({a, odd, c});
        QCOMPARE(f.project.exposureCount, 2);
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error), QStringList{QStringLiteral("Wrong image size!")});
        QCOMPARE(f.ListBox1->count(), 2);
        QCOMPARE(f.ListBox1->item(0)->text(), QStringLiteral("a.bmp [1.0x]"));
        QCOMPARE(f.ListBox1->item(1)->text(), QStringLiteral("c.bmp [1.0x]"));
        // The first picture sizes the view even in a batch, so the merged picture is visible at once.
        const int z = f.TrackBar1->value();
        QCOMPARE(f.Image4->size(), QSize(static_cast<int>(30 * z * 0.1), static_cast<int>(20 * z * 0.1)));
        checkStates(f, 2);
        QVERIFY(!visible(f.Panel11));
        // Several files open unaligned: both shifts are 0 and the multipliers 1.0.
        QCOMPARE(f.project.exposures[1].shiftX, 0);
        QCOMPARE(f.project.exposures[1].multiplier, 1.0f);

        // A single picture of another size while the stack holds exposures.
        w.prompter.clear();
        w.open({odd});
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error), QStringList{QStringLiteral("Wrong image size!")});
        QCOMPARE(f.project.exposureCount, 2);
        checkStates(f, 2);
        // The message follows the language in force when it is shown.
        f.Polish1Click();
        w.prompter.clear();
        w.open({odd});
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error),
                 QStringList{QString::fromUtf8("Zły rozmiar zdjęcia!")});
    }

    void theHundredAndFirstPictureIsRefused() {
        Window w(false);
        TForm1& f = *w.form;
        QStringList files;
        for (int i = 0; i < 100; ++i) files << w.picture(QStringLiteral("p%1.bmp").arg(i), 4, 3, i);
        w.open(files);
        QCOMPARE(f.project.exposureCount, 100);
        QCOMPARE(f.ListBox1->count(), 100);
        QVERIFY(w.prompter.shown.size() == 1);  // only the open dialog
        w.open({w.picture(QStringLiteral("last.bmp"), 4, 3, 7)});
        QCOMPARE(f.project.exposureCount, 100);
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Message), QStringList{QStringLiteral("Too many images!")});
        checkStates(f, 2);
    }

    void alignmentViewsShowTheEnginePixels() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 60, 40, 5)});
        w.open({w.picture(QStringLiteral("b.bmp"), 60, 40, 90)});
        const Region r = f.project.previewRect;
        QCOMPARE(r, (Region{0, 60, 0, 40}));
        // New image
        DisplayBitmap expected = newImagePart(f.project.newImageBuffer, r, 0, 0);
        QCOMPARE(f.image13Bitmap.width(), 60);
        QVERIFY(std::equal(expected.data(), expected.data() + 60 * 40, f.image13Bitmap.data()));
        QCOMPARE(f.Image13->image().pixel(5, 7) & 0xFFFFFFu, expected.at(5, 7));
        QCOMPARE(f.visibleIndicator(), 0);
        // Current stack, shifted by the spin buttons
        f.RadioButton2->click();
        f.CSpinButton2->upButton()->click();
        f.CSpinButton2->upButton()->click();
        f.CSpinButton3->downButton()->click();
        QCOMPARE(f.Edit3->text(), QStringLiteral("2"));
        QCOMPARE(f.Edit4->text(), QStringLiteral("-1"));
        expected = stackPart(f.project.stackBuffer, f.project.stackMax, r, 2, -1);
        QVERIFY(std::equal(expected.data(), expected.data() + 60 * 40, f.image13Bitmap.data()));
        QCOMPARE(f.Panel11->pos(), QPoint(2, -1));
        QCOMPARE(f.Shape3->pos(), QPoint(1, -2));
        // Difference, with the indicator: the first view is the best so far.
        f.RadioButton3->click();
        AlignmentMeasures m;
        expected = differenceView(f.project.newImageBuffer, f.project.stackBuffer, f.project.stackMax, r, 2, -1, m);
        QVERIFY(std::equal(expected.data(), expected.data() + 60 * 40, f.image13Bitmap.data()));
        QCOMPARE(f.alignment.meanDifference, m.meanDifference);
        QCOMPARE(f.visibleIndicator(), 15);
        // The timer copies the mean into the threshold; a worse shift then shows Image16.
        f.Timer1Timer();
        QCOMPARE(f.alignment.differenceThreshold, m.meanDifference);
        float worst = m.meanDifference;
        for (int i = 0; i < 25; ++i) {
            f.CSpinButton2->upButton()->click();
            if (f.alignment.meanDifference > worst) break;
        }
        QVERIFY(f.alignment.meanDifference > f.alignment.differenceThreshold);
        QCOMPARE(f.visibleIndicator(), 16);
        // Back to "New image": the indicators go.
        f.RadioButton1->click();
        QCOMPARE(f.visibleIndicator(), 0);
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void shiftLimitsAndTypedShifts() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 400, 300, 5)});
        w.open({w.picture(QStringLiteral("b.bmp"), 400, 300, 6)});
        f.project.previewRect = Region{100, 50, 100, 50};
        ExposureRecord& rec = f.project.newestExposure();
        QTest::keyClicks(f.Edit3, QStringLiteral("abc"));
        QCOMPARE(f.Edit3->text(), QStringLiteral("0"));
        QCOMPARE(rec.shiftX, 0);
        f.Edit3->selectAll();
        QTest::keyClicks(f.Edit3, QStringLiteral("301"));
        QCOMPARE(rec.shiftX, 301);  // typing does not limit; the next refresh does
        f.CSpinButton3->upButton()->click();
        QCOMPARE(rec.shiftX, 299);
        QCOMPARE(f.Edit3->text(), QStringLiteral("299"));
        rec.shiftX = -151;
        f.alignmentRefresh();
        QCOMPARE(rec.shiftX, -150);
        rec.shiftX = 300;
        f.alignmentRefresh();
        QCOMPARE(rec.shiftX, 300);
        // A lone "-" is refused and the stored value written back.
        f.Edit4->selectAll();
        QTest::keyClicks(f.Edit4, QStringLiteral("-"));
        QCOMPARE(f.Edit4->text(), QString::number(rec.shiftY));
    }

    void markingARectangleWithTheMouse() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 200, 150, 5)});
        w.open({w.picture(QStringLiteral("b.bmp"), 200, 150, 6)});
        f.project.newestExposure().shiftX = 4;
        QTest::mousePress(f.Image4, Qt::LeftButton, {}, QPoint(20, 30));
        QCOMPARE(f.project.newestExposure().shiftX, 0);  // a new rectangle starts unshifted
        QVERIFY(!visible(f.Panel11));
        QTest::mouseMove(f.Image4, QPoint(60, 70));
        f.Image4MouseMove(Qt::LeftButton, 60, 70);
        QTest::mouseRelease(f.Image4, Qt::LeftButton, {}, QPoint(60, 70));
        // Marker (19, 29) of 60 - 19 + 3 = 44 by 70 - 29 + 3 = 44 pixels at 100 %.
        QCOMPARE(f.project.previewRect, (Region{19, 44, 29, 44}));
        QVERIFY(visible(f.Panel11));
        QVERIFY(f.Button5->isEnabled());
        QCOMPARE(f.image14Bitmap.width(), 44);
        QCOMPARE(f.Panel11->geometry(), QRect(19, 29, 44, 44));
        // A tiny marker gives 8 x 8.
        f.Image4MouseDown(Qt::LeftButton, 100, 100);
        f.Image4MouseMove(Qt::LeftButton, 102, 101);
        f.Image4MouseUp(Qt::LeftButton, 102, 101);
        QCOMPARE(f.project.previewRect, (Region{99, 8, 99, 8}));
        // A left press on the view goes back to marking: marker and view hidden.
        QTest::mousePress(f.Image13, Qt::LeftButton, {}, QPoint(2, 2));
        QVERIFY(!visible(f.Panel11) && !visible(f.Shape3));
    }

    void aNewRectangleLeavesAnAddedExposuresShiftAlone() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 60, 40, 5)});
        w.open({w.picture(QStringLiteral("b.bmp"), 60, 40, 6)});
        QCOMPARE(f.project.previewRect, (Region{0, 60, 0, 40}));
        for (int i = 0; i < 50; ++i) f.CSpinButton2DownClick();
        QCOMPARE(f.project.newestExposure().shiftX, -50);
        f.Button3->click();
        // A small rectangle at the left edge would limit a pending shift to -8; the added one stays.
        f.Image4MouseDown(Qt::LeftButton, 1, 1);
        f.Image4MouseUp(Qt::LeftButton, 1, 1);
        QCOMPARE(f.project.previewRect, (Region{0, 8, 0, 8}));
        QCOMPARE(f.project.exposures[1].shiftX, -50);
        // Removing it subtracts what was added: the stack goes back to the first exposure alone.
        FloatImage before = f.project.stackBuffer.clone();
        f.ListBox1->setCurrentRow(1);
        w.prompter.answers.push_back(true);
        f.Button9->click();
        QCOMPARE(f.project.exposureCount, 1);
        w.prompter.answers.push_back(true);
        f.ListBox1->setCurrentRow(0);
        f.Button9->click();
        float largest = 0;
        for (std::size_t i = 0; i < f.project.stackBuffer.sampleCount(); ++i)
            largest = std::max(largest, std::fabs(f.project.stackBuffer.data()[i]));
        QVERIFY(largest < 1e-5f);
        QVERIFY(!before.empty());
    }

    void rightDragInTheViewMovesTheShift() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 200, 150, 5)});
        w.open({w.picture(QStringLiteral("b.bmp"), 200, 150, 6)});
        f.project.previewRect = Region{50, 40, 40, 30};
        f.TrackBar1->setValue(20);  // 200 %
        f.alignmentRefresh();
        f.Image13MouseDown(Qt::RightButton, 10, 10);
        QVERIFY(!visible(f.Shape3));
        f.Image13MouseMove(Qt::RightButton, 16, 30);  // 6 and 20 view pixels: 3 and 10 picture pixels
        QCOMPARE(f.project.newestExposure().shiftX, 3);
        QCOMPARE(f.project.newestExposure().shiftY, 10);
        QCOMPARE(f.Edit3->text(), QStringLiteral("3"));
        f.Image13MouseUp(Qt::RightButton, 16, 30);
        QVERIFY(visible(f.Shape3));
        f.Button3->click();
        QCOMPARE(f.project.exposures[1].shiftX, 3);
        QCOMPARE(f.Edit3->text(), QStringLiteral("0"));
    }

    void removingAnExposure() {
        Window w;
        TForm1& f = *w.form;
        const QStringList files = {w.picture(QStringLiteral("a.bmp"), 20, 10, 1),
                                   w.picture(QStringLiteral("b.bmp"), 20, 10, 2),
                                   w.picture(QStringLiteral("c.bmp"), 20, 10, 3)};
        w.open(files);
        f.ListBox1->clearSelection();
        f.ListBox1->setCurrentRow(-1);
        f.Button9->click();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error),
                 QStringList{QStringLiteral("Choose image to be removed.")});
        f.ListBox1->setCurrentRow(1);
        w.prompter.answers.push_back(false);
        f.Button9->click();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::YesNo).last(),
                 QStringLiteral("Are you sure you want to remove b.bmp?"));
        QCOMPARE(f.project.exposureCount, 3);
        w.prompter.answers.push_back(true);
        f.Button9->click();
        QCOMPARE(f.project.exposureCount, 2);
        QCOMPARE(f.ListBox1->count(), 2);
        QCOMPARE(f.ListBox1->item(1)->text(), QStringLiteral("c.bmp [1.0x]"));
        QCOMPARE(QString::fromStdString(f.project.exposures[1].path), files[2]);
        QVERIFY(f.Button9->isEnabled());
        for (int i = 0; i < 2; ++i) {
            f.ListBox1->setCurrentRow(0);
            w.prompter.answers.push_back(true);
            f.Button9->click();
        }
        QCOMPARE(f.project.exposureCount, 0);
        QVERIFY(!f.Button9->isEnabled() && !f.Button1->isEnabled() && !f.Button2->isEnabled());
        QCOMPARE(f.project.stackMax, 1.0f);
        float largest = 0;
        for (std::size_t i = 0; i < f.project.stackBuffer.sampleCount(); ++i)
            largest = std::max(largest, std::fabs(f.project.stackBuffer.data()[i]));
        QVERIFY(largest < 1e-5f);
        // A first picture of any size is accepted again.
        w.open({w.picture(QStringLiteral("big.bmp"), 33, 21, 4)});
        QCOMPARE(f.project.imageWidth, 33);
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void newWithNoAndWithYes() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 20, 10, 1), w.picture(QStringLiteral("b.bmp"), 20, 10, 2)});
        f.saveFileName = QStringLiteral("x.tif");
        f.setWindowTitle(QStringLiteral("Sombrel Varno (freeware) [x.tif]"));
        w.prompter.answers.push_back(false);
        f.ToolButton1->click();
        QCOMPARE(w.prompter.texts().last(), QStringLiteral("Are you sure you want to start a new project?"));
        QCOMPARE(f.project.exposureCount, 2);
        QVERIFY(f.project.buffersAllocated);
        checkStates(f, 2);
        w.prompter.answers.push_back(true);
        f.New1->trigger();
        QCOMPARE(f.project.exposureCount, 0);
        QVERIFY(!f.project.buffersAllocated);
        QCOMPARE(f.ListBox1->count(), 0);
        QCOMPARE(f.statusPanelText(3), QStringLiteral("Size: 0x0"));
        QCOMPARE(f.windowTitle(), QStringLiteral("Sombrel Varno (freeware)"));
        QVERIFY(f.saveFileName.isEmpty());
        checkStates(f, 0);
        QVERIFY(!visible(f.Image4));
        // A second reset finds nothing to release.
        w.prompter.answers.push_back(true);
        f.New1Click();
        QVERIFY(!f.project.buffersAllocated);
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void sixteenBitTiffAsksTheGammaQuestionOnlyWhenOpenedAlone() {
        Window w;
        TForm1& f = *w.form;
        FloatImage source(16, 12);
        for (std::size_t i = 0; i < source.sampleCount(); ++i) source.data()[i] = float(i % 97) / 97.0f;
        NullProgress none;
        std::string error;
        const QString a = w.dir.filePath(QStringLiteral("a.tif"));
        const QString b = w.dir.filePath(QStringLiteral("b.TIFF"));
        QVERIFY(writeTiff(a.toStdString(), source, 16, 12, 16, TiffCompressionChoice::Deflate, none, error));
        QVERIFY(writeTiff(b.toStdString(), source, 16, 12, 16, TiffCompressionChoice::None, none, error));
        const QString question =
            QStringLiteral("Apply gamma correction? Useful if a HDR 48 or 96-bit TIFF is loaded.");
        w.open({a, b});  // together: corrected without asking
        QCOMPARE(f.project.exposureCount, 2);
        QVERIFY(w.prompter.texts(ScriptedPrompter::Kind::YesNo).isEmpty());
        const float corrected = f.project.newImageBuffer.at(3, 2, 1);
        w.prompter.answers.push_back(false);
        w.open({a});  // alone: asked, and No leaves the samples as read
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::YesNo), QStringList{question});
        QVERIFY(f.project.newImageBuffer.at(3, 2, 1) != corrected);
        f.Button3->click();
        // Removing reads the file again with the answer it was added with (corrected, for a file
        // that came in a batch): asking again could subtract other pixels than were added.
        f.ListBox1->setCurrentRow(1);
        w.prompter.answers.push_back(true);  // remove b.TIFF?
        f.Button9->click();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::YesNo).size(), 2);
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::YesNo).last(),
                 QStringLiteral("Are you sure you want to remove b.TIFF?"));
        QCOMPARE(f.project.exposureCount, 2);
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void multiplierStepsStayInRange() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 20, 10, 1)});
        w.open({w.picture(QStringLiteral("b.bmp"), 20, 10, 2)});
        for (int i = 0; i < 12; ++i) f.CSpinButton1DownClick();
        QCOMPARE(f.Edit1->text(), QStringLiteral("0.1"));
        QCOMPARE(f.ListBox1->item(1)->text(), QStringLiteral("* b.bmp [0.1x]"));
        for (int i = 0; i < 120; ++i) f.CSpinButton1UpClick();
        QCOMPARE(f.Edit1->text(), QStringLiteral("10.0"));
        QCOMPARE(f.project.newestExposure().multiplier, 10.0f);
    }

private:
    static float exposureWeightRef(float r, float g, float b) {
        const float l = std::max({0.0f, r, g, b});
        return static_cast<float>(1.0 / (0.7 * l + 1.0));
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_main_window.moc"
