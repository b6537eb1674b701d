// Start-up, settings, the two ways out, the companion-file check and the language tables.
#include "ui_fixture.h"

#include <QFile>
#include <QSettings>
#include <QTextStream>


using namespace sv;
using svtest::Window;

namespace {

void writeIni(const QString& path, const QString& body) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QTextStream(&f) << "[General]\n" << body;
}

QMap<QString, QString> readIni(const QString& path) {
    QSettings s(path, QSettings::IniFormat);
    QMap<QString, QString> out;
    for (const QString& k : s.allKeys()) out[k] = s.value(k).toString();
    return out;
}

QString expectedRowText(const CaptionRow& row, bool polish, QObject* target) {
    QString text = QString::fromUtf8(polish ? row.polish : row.english);
    if (qobject_cast<QLabel*>(target)) text.replace(QStringLiteral("&&"), QStringLiteral("&"));
    return text;
}

}  // namespace

class SettingsLanguageTest : public QObject {
    Q_OBJECT
private slots:
    void firstStartUsesDefaultsAndClosingWritesAllFive() {
        Window w;
        TForm1& f = *w.form;
        QVERIFY(!QFile::exists(w.settingsPath()));
        QVERIFY(f.English1->isChecked());
        QCOMPARE(f.Info1->text(), QStringLiteral("Home page"));
        QCOMPARE(w.jpeg->quality(), 95);
        QCOMPARE(w.jpeg->Label2->text(), QStringLiteral("95"));
        QCOMPARE(w.tiff->RadioGroup1->itemIndex(), 1);
        QCOMPARE(w.tiff->RadioGroup2->itemIndex(), 0);
        QVERIFY(!f.CheckBox5->isChecked());
        QVERIFY(!QFile::exists(w.settingsPath()));  // nothing written before the first close
        w.jpeg->setQuality(70);
        w.tiff->RadioGroup2->setItemIndex(1);
        f.CheckBox5->setChecked(true);
        f.Polish1->trigger();
        f.close();
        const auto stored = readIni(w.settingsPath());
        QCOMPARE(stored.value(QStringLiteral("language")), QStringLiteral("1"));
        QCOMPARE(stored.value(QStringLiteral("JPEG_quality")), QStringLiteral("70"));
        QCOMPARE(stored.value(QStringLiteral("TIFF_compression")), QStringLiteral("1"));
        QCOMPARE(stored.value(QStringLiteral("TIFF_bitdepth")), QStringLiteral("1"));
        QCOMPARE(stored.value(QStringLiteral("auto_preview")), QStringLiteral("1"));
        QCOMPARE(stored.size(), 5);

        // The next start restores them.
        Window again(true, w.settingsPath());
        QVERIFY(again.form->Polish1->isChecked());
        QCOMPARE(again.jpeg->quality(), 70);
        QCOMPARE(again.jpeg->Label2->text(), QStringLiteral("70"));
        QCOMPARE(again.tiff->RadioGroup2->itemIndex(), 1);
        QVERIFY(again.form->CheckBox5->isChecked());
    }

    void readingStopsAtTheFirstMissingOrBadValue() {
        {
            QTemporaryDir dir;
            const QString ini = dir.filePath(QStringLiteral("s.ini"));
            // Names in any case; "JPEG_quality" missing: the later values keep their defaults.
            writeIni(ini, QStringLiteral("LANGUAGE=1\nTIFF_compression=0\nTIFF_bitdepth=1\nauto_preview=1\n"));
            Window w(true, ini);
            QVERIFY(w.form->Polish1->isChecked());
            QCOMPARE(w.form->Button4->text(), QString::fromUtf8("Otwórz"));
            QCOMPARE(w.jpeg->quality(), 95);
            QCOMPARE(w.tiff->RadioGroup1->itemIndex(), 1);
            QCOMPARE(w.tiff->RadioGroup2->itemIndex(), 0);
            QVERIFY(!w.form->CheckBox5->isChecked());
        }
        {
            QTemporaryDir dir;
            const QString ini = dir.filePath(QStringLiteral("s.ini"));
            writeIni(ini, QStringLiteral("language=0\njpeg_quality=40\nTIFF_compression=zip\nTIFF_bitdepth=1\n"));
            Window w(true, ini);
            QVERIFY(w.form->English1->isChecked());
            QCOMPARE(w.jpeg->quality(), 40);
            QCOMPARE(w.tiff->RadioGroup1->itemIndex(), 1);
            QCOMPARE(w.tiff->RadioGroup2->itemIndex(), 0);
            // Closing writes one value per name, "language" in lower case.
            w.form->close();
            const auto stored = readIni(ini);
            QCOMPARE(stored.size(), 5);
            QVERIFY(stored.contains(QStringLiteral("language")));
            QVERIFY(stored.contains(QStringLiteral("JPEG_quality")));
            QVERIFY(!stored.contains(QStringLiteral("jpeg_quality")));
        }
    }

    void aLanguageNumberOtherThanZeroOrOneKeepsTheDesignCaptions() {
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("s.ini"));
        writeIni(ini, QStringLiteral("Language=7\n"));
        Window w(true, ini);
        TForm1& f = *w.form;
        QVERIFY(f.English1->isChecked());
        QCOMPARE(f.Info1->text(), QStringLiteral("Info"));
        QCOMPARE(f.ToolButton2->toolTip(), QStringLiteral("Add image"));
        QCOMPARE(f.ToolButton12->toolTip(), QStringLiteral("Add"));
        QCOMPARE(f.ToolButton3->toolTip(), QStringLiteral("Copy to clipboard"));
        QCOMPARE(f.Button4->text(), QStringLiteral("Open"));
        QVERIFY(f.openDialogFilter != openFilter(false));
        // The design save list keeps the three entries in their order.
        QCOMPARE(f.saveDialogFilter.split(QLatin1Char('|')).size(), 6);
        f.English1Click();
        QCOMPARE(f.Info1->text(), QStringLiteral("Home page"));
        QCOMPARE(f.openDialogFilter, openFilter(false));
    }

    void exitWritesNothingClosingWritesEverything() {
        Window w;
        TForm1& f = *w.form;
        f.Polish1Click();
        w.prompter.answers.push_back(false);
        f.Exit1->trigger();
        QCOMPARE(w.prompter.texts().last(), QString::fromUtf8("Chcesz zamknąć program?"));
        QCOMPARE(w.endedWith, -100);
        w.prompter.answers.push_back(true);
        f.Exit1Click();
        QCOMPARE(w.endedWith, 0);
        f.close();  // the end of the loop closes the window; the Exit path still writes nothing
        QVERIFY(!QFile::exists(w.settingsPath()));

        Window other;
        other.form->Polish1Click();
        other.form->close();
        QCOMPARE(readIni(other.settingsPath()).value(QStringLiteral("language")), QStringLiteral("1"));
        QCOMPARE(other.prompter.unexpected, 0);
    }

    void everyMissingCompanionFileGetsItsBoxThenTheProgramEnds() {
        QTemporaryDir dir;
        ScriptedPrompter prompter;
        int ended = -100;
        FormOptions options;
        options.prompter = &prompter;
        options.settingsPath = dir.filePath(QStringLiteral("s.ini"));
        options.showSplash = false;
        options.companionFolders = {dir.path()};
        options.companionFiles = {QStringLiteral("sv-missing-one"), QStringLiteral("present"),
                                  QStringLiteral("sv-missing-two")};
        options.searchPath = false;
        options.endProgram = [&ended](int code) { ended = code; };
        QFile present(dir.filePath(QStringLiteral("present")));
        QVERIFY(present.open(QIODevice::WriteOnly));
        present.close();
        TForm1 form(options);
        form.Polish1Click();
        form.show();
        QTest::qWait(1);
        QCOMPARE(prompter.texts(ScriptedPrompter::Kind::Error),
                 (QStringList{QStringLiteral("Error! Could not find: sv-missing-one"),
                              QStringLiteral("Error! Could not find: sv-missing-two")}));
        QCOMPARE(ended, 1);

        // cjpeg found on PATH: no box, and the JPEG save knows where it is.
        ScriptedPrompter quiet;
        options.prompter = &quiet;
        options.companionFiles = {QStringLiteral("cjpeg")};
        options.searchPath = true;
        ended = -100;
        TForm1 found(options);
        found.show();
        QTest::qWait(1);
        QCOMPARE(quiet.shown.size(), std::size_t{0});
        QCOMPARE(ended, -100);
        QVERIFY(found.jpegEncoderPath.endsWith(QStringLiteral("cjpeg")));
    }

    void displayScaleFromDotsPerInch() {
        QTemporaryDir dir;
        ScriptedPrompter prompter;
        FormOptions options;
        options.prompter = &prompter;
        options.settingsPath = dir.filePath(QStringLiteral("s.ini"));
        options.companionFiles.clear();
        options.dpiOverride = 120;
        TForm1 at120(options);
        QCOMPARE(at120.displayScale, 1.23f);
        options.dpiOverride = 144;
        TForm1 at144(options);
        QCOMPARE(at144.displayScale, static_cast<float>(144 * 0.010416666666666666));
        // Sizes scaled by S are truncated: the status panel 0 is 198 x 1.23 = 243.54 -> 243.
        QCOMPARE(at120.statusPanels[0]->width(), 243);
        // Step 3: group 5 expanded when selected is 200 x S high, the others 24 x S.
        at120.selectToolGroup(5);
        QCOMPARE(at120.GroupBox16->height(), static_cast<int>(1.23f * 200));
        QCOMPARE(at120.GroupBox8->height(), static_cast<int>(1.23f * 24));
    }

    void languageRoundTripOverEveryRow() {
        Window w;
        TForm1& f = *w.form;
        w.open({w.picture(QStringLiteral("a.bmp"), 12, 9, 3)});
        auto* combo1 = f.findChild<QComboBox*>(QStringLiteral("ComboBox1"));
        if (combo1) combo1->setCurrentIndex(3);
        const auto windows = std::vector<LanguageWindow>{
            {"TForm1", w.form.get()}, {"TOKBottomDlg", w.jpeg.get()}, {"TForm5", w.tiff.get()},
            {"TForm14", w.picker.get()}};
        for (bool polishFirst : {true, false}) {
            for (int step = 0; step < 2; ++step) {
                const bool polish = step == 0 ? polishFirst : !polishFirst;
                if (polish) f.Polish1->trigger();
                else f.English1->trigger();
                QCOMPARE(f.Polish1->isChecked(), polish);
                QCOMPARE(f.English1->isChecked(), !polish);
                int checked = 0;
                for (const CaptionRow& row : captionTable()) {
                    QObject* target = findRowTarget(row, windows);
                    QVERIFY2(target, row.control);  // every row names a control that exists
                    QCOMPARE(currentRowText(row, windows), expectedRowText(row, polish, target));
                    ++checked;
                }
                QCOMPARE(checked, int(captionTable().size()));
                QCOMPARE(f.statusPanelText(3), polish ? QStringLiteral("Wymiary: 12x9") : QStringLiteral("Size: 12x9"));
                QCOMPARE(f.openDialogFilter, openFilter(polish));
                QCOMPARE(f.saveDialogFilter, saveFilter());
                if (combo1) QCOMPARE(combo1->currentIndex(), 3);
                for (const char* name : {"ComboBox2", "ComboBox3"})
                    if (auto* c = f.findChild<QComboBox*>(QString::fromLatin1(name))) QCOMPARE(c->currentIndex(), 2);
            }
        }
        // The Polish open filter's first pattern list ends with ";" and the English one does not.
        QVERIFY(openFilter(true).startsWith(QString::fromUtf8("Wszystkie obsługiwane formaty|*.bmp; *.jpg; *.jpeg; "
                                                              "*.tif; *.tiff; *.hdr;|")));
        QVERIFY(openFilter(false).startsWith(
            QStringLiteral("All supported images|*.bmp; *.jpg; *.jpeg; *.tif; *.tiff; *.hdr|TIFF")));
    }

    void everyMessageFollowsTheLanguageInForceWhenShown() {
        Window w;
        TForm1& f = *w.form;
        for (const MessageRow& row : messageTable()) {
            f.English1Click();
            const QString en = f.text(row.id, QStringLiteral("X"));
            f.Polish1Click();
            const QString pl = f.text(row.id, QStringLiteral("X"));
            QVERIFY(en.startsWith(QString::fromUtf8(row.english)));
            QVERIFY(pl.startsWith(QString::fromUtf8(row.polish)));
            if (row.id == Msg::CompanionMissing || row.id == Msg::TiffErrorNumber) QCOMPARE(pl, en);
        }
        QCOMPARE(messageText(Msg::RemoveConfirm, true, QStringLiteral("a.jpg")),
                 QString::fromUtf8("Czy na pewno usunąć a.jpg?"));
        QCOMPARE(messageText(Msg::TiffErrorNumber, true, QStringLiteral("5")), QStringLiteral("TIFF error #5"));
        QCOMPARE(engineMessageText(Message{MessageId::TiffError, 7}, true), QStringLiteral("TIFF error #7"));
        QCOMPARE(engineMessageText(Message{MessageId::TooManyImages}, true), QString::fromUtf8("Za dużo zdjęć!"));
        // Through the window: New asks in the language checked at that moment.
        w.open({w.picture(QStringLiteral("a.bmp"), 12, 9, 3)});
        f.English1Click();
        w.prompter.answers.push_back(false);
        f.New1Click();
        QCOMPARE(w.prompter.texts().last(), QStringLiteral("Are you sure you want to start a new project?"));
        f.Polish1Click();
        w.prompter.answers.push_back(false);
        f.New1Click();
        QCOMPARE(w.prompter.texts().last(), QString::fromUtf8("Na pewno chcesz rozpocząć od nowa?"));
    }
};

QTEST_MAIN(SettingsLanguageTest)
#include "test_settings_language.moc"
