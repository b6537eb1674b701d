// Takes pictures of the main window on each page in both languages after opening the sample
// bracket, for a person to look at: screenshots DIR [DPI]. Not a test.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include "mainwindow/about_box.h"
#include "mainwindow/colour_picker.h"
#include "mainwindow/jpeg_save_dialog.h"
#include "mainwindow/main_form.h"
#include "mainwindow/prompter.h"
#include "mainwindow/tiff_save_dialog.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/work/screens");
    const QString tag = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("96");
    QDir().mkpath(out);
    QTemporaryDir dir;
    sv::ScriptedPrompter prompter;
    sv::FormOptions options;
    options.prompter = &prompter;
    options.settingsPath = dir.filePath(QStringLiteral("settings.ini"));
    options.showSplash = false;
    sv::TForm1 form(options);
    sv::TForm2 about;
    sv::TOKBottomDlg jpeg(&form);
    sv::TForm5 tiff(&form);
    sv::TForm14 picker(&form);
    form.setSecondaryWindows(&about, &jpeg, &tiff, &picker);
    form.resize(1200, 820);
    form.show();
    QTest::qWait(50);
    const QString samples = QStringLiteral(SV_SOURCE_DIR "/samples/");
    prompter.openChoices.push_back({samples + QStringLiteral("bracket_minus2.jpg"),
                                    samples + QStringLiteral("bracket_0.jpg")});
    form.Button4Click();
    prompter.openChoices.push_back({samples + QStringLiteral("bracket_plus2.jpg")});
    form.Button4Click();
    form.RadioButton3->click();
    QTest::qWait(50);
    auto shot = [&](const QString& what) {
        form.grab().save(QStringLiteral("%1/window_%2_%3dpi.png").arg(out, what, tag));
    };
    // Step 1 while the third exposure waits to be aligned, in both languages.
    form.English1Click();
    QTest::qWait(30);
    shot(QStringLiteral("en_page1_aligning"));
    form.Polish1Click();
    QTest::qWait(30);
    shot(QStringLiteral("pl_page1_aligning"));
    // Added and processed: every page in both languages.
    form.Button3Click();
    form.Button2Click();
    form.waitForJob();
    form.Timer1Timer();
    for (int lang = 0; lang < 2; ++lang) {
        if (lang == 0) form.English1Click();
        else form.Polish1Click();
        for (int page = 0; page < 3; ++page) {
            form.TabbedNotebook1->setCurrentIndex(page);
            QTest::qWait(30);
            shot(QStringLiteral("%1_page%2").arg(lang ? QStringLiteral("pl") : QStringLiteral("en")).arg(page + 1));
        }
        tiff.showCentred();
        jpeg.showCentred();
        QTest::qWait(30);
        tiff.grab().save(QStringLiteral("%1/tiff_dialog_%2_%3dpi.png").arg(out, lang ? "pl" : "en", tag));
        jpeg.grab().save(QStringLiteral("%1/jpeg_dialog_%2_%3dpi.png").arg(out, lang ? "pl" : "en", tag));
        tiff.hide();
        jpeg.hide();
    }
    qInfo("displayScale %.4f, logical dpi %.1f, device pixel ratio %.2f", form.displayScale,
          QGuiApplication::primaryScreen()->logicalDotsPerInch(), form.devicePixelRatioF());
    for (const QString& t : prompter.texts()) qInfo("shown: %s", qPrintable(t));
    return 0;
}
