// What a user of a Linux desktop expects of the window: closing asks before unsaved work is lost,
// Qt's own texts speak Polish with the program, menus open with Alt and their letter, Ctrl and the
// wheel zoom, Escape closes the About box, and the file types of the dialogs read cleanly.
#include "ui_fixture.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSet>
#include <QSettings>
#include <QThread>
#include <QWheelEvent>

#include <atomic>
#include <cstdlib>
#include <cstring>

using namespace sv;
using svtest::Window;

namespace {

QString settingsLanguage(const QString& path) {
    return QSettings(path, QSettings::IniFormat).value(QStringLiteral("language")).toString();
}

void finishJob(TForm1& f) {
    f.waitForJob();
    f.Timer1Timer();
}

// "&Yes" -> "Yes"
QString plain(const QString& caption) { return shownCaption(caption); }

QString buttonText(QMessageBox::StandardButton which) {
    QMessageBox box(QMessageBox::Question, QString(), QStringLiteral("?"), QMessageBox::Yes | QMessageBox::No);
    return plain(box.button(which)->text());
}

QString fileTypeLabel(QFileDialog& dialog) {
    auto* label = dialog.findChild<QLabel*>(QStringLiteral("fileTypeLabel"));
    return label ? label->text() : QString();
}

// A wheel turn of `delta` eighths of a degree over the picture, at `at` in Image4's coordinates.
// The picture itself passes wheel events on; Qt hands a real one on to the picture area's
// viewport, where it arrives here (a sent event is not passed on by Qt).
void turnWheel(TForm1& f, int delta, Qt::KeyboardModifiers modifiers, QPoint at = QPoint(5, 5)) {
    QWheelEvent overPicture(at, f.Image4->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, modifiers,
                            Qt::NoScrollPhase, false);
    QApplication::sendEvent(f.Image4, &overPicture);
    QVERIFY(!overPicture.isAccepted());
    QWidget* viewport = f.ScrollBox1->viewport();
    const QPoint inView = f.Image4->mapTo(viewport, at);
    QWheelEvent event(inView, viewport->mapToGlobal(inView), QPoint(), QPoint(0, delta), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &event);
}

}  // namespace

class DesktopHabitsTest : public QObject {
    Q_OBJECT
private slots:
    // ---------------------------------------------------------------- closing with unsaved work

    void aCleanProjectClosesAtOnce() {
        Window w;
        w.form->close();
        QVERIFY(!w.form->isVisible());
        QVERIFY(w.prompter.shown.empty());
        QVERIFY(QFile::exists(w.settingsPath()));  // closing still writes the settings
    }

    void closingAsksWhileWorkIsUnsaved() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 40, 30, 1), w.picture(QStringLiteral("b.bmp"), 40, 30, 60)});
        QVERIFY(f.unsavedWork());
        // No: the window stays, nothing is written.
        w.prompter.answers.push_back(false);
        f.close();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::YesNo), QStringList{QStringLiteral("Exit now?")});
        QVERIFY(f.isVisible());
        QVERIFY(!QFile::exists(w.settingsPath()));

        // Saved: nothing to lose, the window closes at once.
        const QString out = w.dir.filePath(QStringLiteral("out.bmp"));
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{out, 3});
        f.Saveas1Click();
        QVERIFY(QFile::exists(out));
        QVERIFY(!f.unsavedWork());
        // What changes the picture a save writes makes the work unsaved again; a preview does not.
        f.Button2Click();
        finishJob(f);
        QVERIFY(f.unsavedWork());
        f.Save1Click();
        QVERIFY(!f.unsavedWork());
        f.startFilterJob(JobKind::SharpenPreview);
        finishJob(f);
        QVERIFY(!f.unsavedWork());
        f.startFilterJob(JobKind::SharpenApply);
        finishJob(f);
        QVERIFY(f.unsavedWork());
        f.Save1Click();
        f.Undo1Click();
        QVERIFY(f.unsavedWork());
        f.Save1Click();
        f.TrackBar11->setValue(150);  // a control moved, nothing rendered: the picture is the saved one
        f.English1Click();
        QVERIFY(!f.unsavedWork());

        // Asked in the language in force; Yes closes and writes the settings as closing does.
        f.Button1Click();
        finishJob(f);
        QVERIFY(f.unsavedWork());
        f.Polish1Click();
        w.prompter.answers.push_back(true);
        f.close();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::YesNo).last(), QString::fromUtf8("Chcesz zamknąć program?"));
        QVERIFY(!f.isVisible());
        QCOMPARE(settingsLanguage(w.settingsPath()), QStringLiteral("1"));
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void aFailedSaveLeavesTheWorkUnsaved() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 20, 10, 1)});
        w.prompter.saveChoices.push_back(
            Prompter::SaveChoice{w.dir.filePath(QStringLiteral("no-such-folder/out.bmp")), 3});
        f.Saveas1Click();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error).size(), 1);
        QVERIFY(f.unsavedWork());
    }

    void nothingToLoseAfterNewOrRemovingEveryPicture() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 20, 10, 1)});
        w.prompter.answers.push_back(true);
        f.New1Click();
        QVERIFY(!f.unsavedWork());
        w.open({w.picture(QStringLiteral("b.bmp"), 20, 10, 2)});
        QVERIFY(f.unsavedWork());
        f.ListBox1->setCurrentRow(0);
        w.prompter.answers.push_back(true);
        f.Button9Click();
        QCOMPARE(f.project.exposureCount, 0);
        QVERIFY(!f.unsavedWork());
        f.close();
        QVERIFY(!f.isVisible());
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::YesNo).size(), 2);  // New and Remove only
    }

    void exitAsksOnceAndTheCloseThatFollowsDoesNot() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 20, 10, 1)});
        w.prompter.answers.push_back(true);
        f.Exit1Click();
        QCOMPARE(w.endedWith, 0);
        f.close();  // the end of the loop closes the window
        QVERIFY(!f.isVisible());
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::YesNo).size(), 1);
        QVERIFY(!QFile::exists(w.settingsPath()));  // File > Exit writes no settings
    }

    void closingDuringAJobAsksOnceItHasEnded() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 20, 10, 1)});
        std::atomic<bool> done{false};
        QVERIFY(f.startJob(JobKind::ProcessAll, [&](ProgressSink&) {
            QThread::msleep(100);
            done = true;
        }));
        w.prompter.answers.push_back(false);
        f.close();
        QVERIFY(done.load());
        QVERIFY(f.isVisible());
        f.Timer1Timer();  // the job is finished as usual afterwards
        QVERIFY(!f.jobRunning());
    }

    // ---------------------------------------------------------------- Qt's own texts in Polish

    void qtTextsFollowTheLanguage() {
        const QString qm = QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_pl.qm");
        QVERIFY2(QFile::exists(qm), "qtbase_pl.qm is missing: tools/install_deps.sh installs qt6-translations-l10n");
        Window w;
        TForm1& f = *w.form;
        QCOMPARE(buttonText(QMessageBox::Yes), QStringLiteral("Yes"));
        QFileDialog open(&f);
        open.setOption(QFileDialog::DontUseNativeDialog, true);
        const QString englishType = fileTypeLabel(open);
        QCOMPARE(englishType, QStringLiteral("Files of type:"));

        f.Polish1Click();
        QCOMPARE(buttonText(QMessageBox::Yes), QStringLiteral("Tak"));
        QCOMPARE(buttonText(QMessageBox::No), QStringLiteral("Nie"));
        // A dialog already open changes its language with the program.
        QCoreApplication::processEvents();
        QVERIFY(fileTypeLabel(open) != englishType);
        QFileDialog save(&f);
        save.setOption(QFileDialog::DontUseNativeDialog, true);
        QCOMPARE(fileTypeLabel(save), fileTypeLabel(open));

        f.English1Click();
        QCOMPARE(buttonText(QMessageBox::Yes), QStringLiteral("Yes"));
        QCoreApplication::processEvents();
        QCOMPARE(fileTypeLabel(open), englishType);
        f.Polish1Click();  // and back again
        QCOMPARE(buttonText(QMessageBox::No), QStringLiteral("Nie"));
        // Another window choosing English takes away only its own translation.
        {
            Window other;
            other.form->Polish1Click();
            other.form->English1Click();
        }
        QCOMPARE(buttonText(QMessageBox::No), QStringLiteral("Nie"));
        f.English1Click();
        QCOMPARE(buttonText(QMessageBox::No), QStringLiteral("No"));
    }

    // ---------------------------------------------------------------- desktop habits

    void altAndTheMarkedLetterOpenTheMenus() {
        Window w;
        TForm1& f = *w.form;
        f.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        struct Case {
            bool polish;
            Qt::Key key;
            QMenu* menu;
        };
        const Case cases[] = {{false, Qt::Key_F, f.File},      {false, Qt::Key_E, f.Edit2},
                              {false, Qt::Key_L, f.Language1}, {false, Qt::Key_H, f.Help1},
                              {true, Qt::Key_P, f.File},       {true, Qt::Key_E, f.Edit2},
                              {true, Qt::Key_J, f.Language1},  {true, Qt::Key_C, f.Help1}};
        for (const Case& c : cases) {
            if (c.polish) f.Polish1Click();
            else f.English1Click();
            QTest::keyClick(&f, c.key, Qt::AltModifier);
            QTRY_VERIFY2(c.menu->isVisible(), qPrintable(c.menu->objectName()));
            c.menu->close();
            QTRY_VERIFY(!c.menu->isVisible());
            QVERIFY(QTest::qWaitForWindowActive(&f));
        }
        // Each language marks four different letters, and without the mark every title is the
        // caption of the language table.
        for (bool polish : {false, true}) {
            QSet<QChar> letters;
            for (const MenuAccessKey& key : menuAccessKeys()) {
                const QString text = QString::fromUtf8(polish ? key.polish : key.english);
                QCOMPARE(text.count(QLatin1Char('&')), 1);
                letters.insert(text.at(text.indexOf(QLatin1Char('&')) + 1).toLower());
                bool found = false;
                for (const CaptionRow& row : captionTable())
                    if (std::strcmp(row.control, key.control) == 0) {
                        QCOMPARE(shownCaption(text), QString::fromUtf8(polish ? row.polish : row.english));
                        found = true;
                    }
                QVERIFY(found);
            }
            QCOMPARE(letters.size(), int(menuAccessKeys().size()));
        }
        QCOMPARE(shownCaption(QStringLiteral("white && black")), QStringLiteral("white & black"));
        QCOMPARE(shownCaption(QStringLiteral("Pomo&c")), QStringLiteral("Pomoc"));
    }

    void ctrlAndTheWheelZoomThroughTheTrackBar() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 300, 200, 1)});
        QCOMPARE(f.zoom(), 10);
        turnWheel(f, 120, Qt::ControlModifier);
        QCOMPARE(f.zoom(), 11);
        QCOMPARE(f.Image4->size(), QSize(330, 220));  // relaid out as the track bar does it
        QCOMPARE(f.statusPanelText(2), QStringLiteral("110%"));
        turnWheel(f, -240, Qt::ControlModifier);
        QCOMPARE(f.zoom(), 9);
        // A fine wheel adds up to one notch.
        turnWheel(f, 60, Qt::ControlModifier);
        QCOMPARE(f.zoom(), 9);
        turnWheel(f, 60, Qt::ControlModifier);
        QCOMPARE(f.zoom(), 10);
        // Without Ctrl the wheel does not zoom.
        turnWheel(f, 120, Qt::NoModifier);
        QCOMPARE(f.zoom(), 10);
        // The track bar's limits hold.
        f.TrackBar1->setValue(40);
        turnWheel(f, 360, Qt::ControlModifier);
        QCOMPARE(f.zoom(), 40);
        f.TrackBar1->setValue(1);
        turnWheel(f, -120, Qt::ControlModifier);
        QCOMPARE(f.zoom(), 1);

        // The point of the picture under the pointer stays under it.
        f.ScrollBox1->setFixedSize(400, 300);
        f.TrackBar1->setValue(20);
        QTest::qWait(5);
        QScrollBar* h = f.ScrollBox1->horizontalScrollBar();
        QScrollBar* v = f.ScrollBox1->verticalScrollBar();
        h->setValue(150);
        v->setValue(100);
        const QPoint at(120, 80);  // in Image4
        const QPoint inView = f.Image4->mapTo(f.ScrollBox1->viewport(), at);
        turnWheel(f, 240, Qt::ControlModifier, at);
        QCOMPARE(f.zoom(), 22);
        const QPoint after = f.Image4->mapFrom(f.ScrollBox1->viewport(), inView);
        // Picture pixel (60, 40) was under the pointer at 200 %; at 220 % it is at (132, 88).
        QVERIFY2(std::abs(after.x() - 132) <= 1 && std::abs(after.y() - 88) <= 1,
                 qPrintable(QStringLiteral("%1,%2").arg(after.x()).arg(after.y())));
    }

    void escapeClosesTheAboutBox() {
        TForm2 about;
        about.loadPicture(1.0);
        about.showSplash();
        QTest::keyClick(&about, Qt::Key_Escape);
        QVERIFY(about.isVisible());  // the splash belongs to its timer
        about.Timer1Timer();
        QVERIFY(!about.isVisible());
        about.About2Click();
        QTest::keyClick(&about, Qt::Key_A);
        QVERIFY(about.isVisible());
        QTest::keyClick(&about, Qt::Key_Escape);
        QVERIFY(!about.isVisible());
    }

    void fileTypesListTheirPatternsOnce() {
        const QRegularExpression entry(QStringLiteral("^([^()]+) \\(([^()]+)\\)$"));
        const QRegularExpression unhyphenated(QStringLiteral("\\dbit"));
        for (const QString& table : {saveFilter(), openFilter(false), openFilter(true), designOpenFilter(),
                                     designSaveFilter()}) {
            QVERIFY2(!unhyphenated.match(table).hasMatch(), qPrintable(table));
            const QStringList parts = table.split(QLatin1Char('|'));
            const QStringList entries = qtFilterFromTable(table).split(QStringLiteral(";;"));
            QCOMPARE(entries.size(), parts.size() / 2);
            for (int i = 0; i < entries.size(); ++i) {
                const QRegularExpressionMatch m = entry.match(entries[i]);
                QVERIFY2(m.hasMatch(), qPrintable(entries[i]));  // one list of patterns, at the end
                QString patterns = parts[2 * i + 1];
                patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
                QCOMPARE(m.captured(2), patterns.simplified());
            }
            // Qt's own dialog shows them as given and reads the patterns from them.
            QFileDialog dialog;
            dialog.setOption(QFileDialog::DontUseNativeDialog, true);
            dialog.setNameFilters(entries);
            auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            QVERIFY(types);
            QCOMPARE(types->count(), int(entries.size()));
            for (int i = 0; i < types->count(); ++i) QCOMPARE(types->itemText(i), entries[i]);
        }
        QCOMPARE(qtFilterFromTable(saveFilter()),
                 QStringLiteral("TIFF 24/48-bit (*.tif *.tiff);;JPEG 24-bit (*.jpg *.jpeg);;BMP 24-bit (*.bmp)"));
        // A name whose parentheses say something else keeps them.
        QCOMPARE(qtFilterFromTable(QStringLiteral("Old (1990)|*.x; *.y")), QStringLiteral("Old (1990) (*.x *.y)"));
        QCOMPARE(qtFilterFromTable(QStringLiteral("All|*.a;*.b;")), QStringLiteral("All (*.a *.b)"));
    }
};

QTEST_MAIN(DesktopHabitsTest)
#include "test_desktop_habits.moc"
