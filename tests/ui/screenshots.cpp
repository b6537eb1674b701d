// Takes pictures of the main window on each page in both languages after opening the sample
// bracket, for a person to look at: screenshots DIR [TAG] [DPI]. DPI > 0 overrides the screen's
// dots per inch (the display scale of the layout). Not a test.
//
// Besides the 1200 x 820 pictures it takes the window at its restored size (the design client
// area times the display scale), a Polish question box with Qt's own buttons and Qt's file
// dialogs in both languages.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QCheckBox>
#include <QRadioButton>
#include <QScrollBar>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

#include "mainwindow/about_box.h"
#include "mainwindow/colour_picker.h"
#include "mainwindow/jpeg_save_dialog.h"
#include "../imagefiles/dng_builder.h"
#include "mainwindow/main_form.h"
#include "mainwindow/png_save_dialog.h"
#include "mainwindow/prompter.h"
#include "mainwindow/tiff_save_dialog.h"

namespace {

// Saves the modal box or dialog that `ask` opens, then closes it.
void grabModal(const QString& path, const std::function<void()>& ask) {
    QTimer::singleShot(400, [path] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            box->grab().save(path);
            box->close();
        }
    });
    ask();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/work/screens");
    const QString tag = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("96");
    const double dpi = argc > 3 ? QString::fromLocal8Bit(argv[3]).toDouble() : 0.0;
    QDir().mkpath(out);
    QTemporaryDir dir;
    sv::ScriptedPrompter prompter;
    sv::FormOptions options;
    options.prompter = &prompter;
    options.settingsPath = dir.filePath(QStringLiteral("settings.ini"));
    options.showSplash = false;
    options.dpiOverride = dpi;
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
    const QString languages[2] = {QStringLiteral("en"), QStringLiteral("pl")};
    auto setLanguage = [&](int lang) {
        if (lang == 0) form.English1Click();
        else form.Polish1Click();
        QTest::qWait(30);
    };
    // Step 1 while the third exposure waits to be aligned, in both languages, at this size and at
    // the restored size.
    const QSize restored = form.restoredSize();
    for (int lang = 0; lang < 2; ++lang) {
        setLanguage(lang);
        shot(languages[lang] + QStringLiteral("_page1_aligning"));
        form.resize(restored);
        QTest::qWait(50);
        shot(QStringLiteral("restored_") + languages[lang] + QStringLiteral("_page1_aligning"));
        form.resize(1200, 820);
        QTest::qWait(50);
    }
    // Added and processed: every page in both languages.
    form.Button3Click();
    form.Button2Click();
    form.waitForJob();
    form.Timer1Timer();
    for (int lang = 0; lang < 2; ++lang) {
        setLanguage(lang);
        for (const QSize size : {QSize(1200, 820), restored}) {
            form.resize(size);
            QTest::qWait(50);
            const QString prefix = size == restored ? QStringLiteral("restored_") : QString();
            for (int page = 0; page < 3; ++page) {
                form.TabbedNotebook1->setCurrentIndex(page);
                QTest::qWait(30);
                shot(prefix + QStringLiteral("%1_page%2").arg(languages[lang]).arg(page + 1));
            }
        }
        // Step 2 with local contrast on, and in fusion mode, previewed, at both sizes.
        form.TabbedNotebook1->setCurrentIndex(1);
        for (const QSize size : {QSize(1200, 820), restored}) {
            form.resize(size);
            const QString prefix = size == restored ? QStringLiteral("restored_") : QString();
            form.CheckBoxLocalContrast->setChecked(true);
            form.Button1Click();
            form.waitForJob();
            form.Timer1Timer();
            QTest::qWait(50);
            shot(prefix + languages[lang] + QStringLiteral("_page2_local_contrast"));
            if (auto* bar = form.ScrollBox2->verticalScrollBar(); bar->maximum() > 0) {
                bar->setValue(bar->maximum());
                QTest::qWait(30);
                shot(prefix + languages[lang] + QStringLiteral("_page2_local_contrast_scrolled"));
                bar->setValue(0);
            }
            form.CheckBoxLocalContrast->setChecked(false);
            form.RadioButtonFusion->click();
            form.Button1Click();
            form.waitForJob();
            form.Timer1Timer();
            QTest::qWait(50);
            shot(prefix + languages[lang] + QStringLiteral("_page2_fusion"));
            form.RadioButtonToneCurve->click();
        }
        form.resize(1200, 820);
        tiff.showCentred();
        jpeg.showCentred();
        QTest::qWait(30);
        tiff.grab().save(QStringLiteral("%1/tiff_dialog_%2_%3dpi.png").arg(out, languages[lang], tag));
        jpeg.grab().save(QStringLiteral("%1/jpeg_dialog_%2_%3dpi.png").arg(out, languages[lang], tag));
        tiff.hide();
        jpeg.hide();
        form.pngDialog->showCentred();
        QTest::qWait(30);
        form.pngDialog->grab().save(QStringLiteral("%1/png_dialog_%2_%3dpi.png").arg(out, languages[lang], tag));
        form.pngDialog->hide();
        form.File->popup(form.mapToGlobal(QPoint(0, 20)));
        QTest::qWait(50);
        form.File->grab().save(QStringLiteral("%1/file_menu_%2_%3dpi.png").arg(out, languages[lang], tag));
        form.File->hide();

        // Qt's own boxes and dialogs, in the language of the window.
        sv::QtPrompter real;
        real.setLanguage(lang == 1);
        QDir::setCurrent(samples);
        grabModal(QStringLiteral("%1/question_%2_%3dpi.png").arg(out, languages[lang], tag),
                  [&] { real.askYesNo(&form, form.text(sv::Msg::ExitNow)); });
        grabModal(QStringLiteral("%1/open_dialog_%2_%3dpi.png").arg(out, languages[lang], tag),
                  [&] { real.chooseOpenFiles(&form, form.openDialogFilter); });
        grabModal(QStringLiteral("%1/save_dialog_%2_%3dpi.png").arg(out, languages[lang], tag),
                  [&] { real.chooseSaveFile(&form, form.saveDialogFilter + sv::pngSaveEntry(), 1, QStringLiteral("*.tif")); });
        grabModal(QStringLiteral("%1/save_hdr_dialog_%2_%3dpi.png").arg(out, languages[lang], tag),
                  [&] { real.chooseSaveFile(&form, sv::hdrSaveFilter(lang == 1), 2, QStringLiteral("*.exr")); });
    }
    // Step 1 with two camera raw exposures of our own making, the second selected: its EXIF in the
    // status bar and in the line's tooltip.
    for (int k = 0; k < 2; ++k) {
        sv::test::DngSpec spec;
        spec.exposureDen = k ? 60 : 250;
        spec.iso = k ? 400 : 200;
        const auto bytes = sv::test::buildDng(spec);
        QFile file(dir.filePath(QStringLiteral("shot%1.dng").arg(k)));
        if (file.open(QIODevice::WriteOnly))
            file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    }
    prompter.answers.push_back(true);  // the question of a new project
    form.New1Click();
    prompter.openChoices.push_back({dir.filePath(QStringLiteral("shot0.dng")), dir.filePath(QStringLiteral("shot1.dng"))});
    form.Button4Click();
    form.ListBox1->setCurrentRow(1);
    for (int lang = 0; lang < 2; ++lang) {
        setLanguage(lang);
        shot(languages[lang] + QStringLiteral("_page1_exif"));
        QLabel tip(form.ListBox1->item(1)->toolTip());
        tip.setFrameShape(QFrame::Box);
        tip.setMargin(4);
        tip.adjustSize();
        tip.grab().save(QStringLiteral("%1/exif_tooltip_%2_%3dpi.png").arg(out, languages[lang], tag));
    }
    qInfo("displayScale %.4f, logical dpi %.1f, device pixel ratio %.2f", form.displayScale,
          QGuiApplication::primaryScreen()->logicalDotsPerInch(), form.devicePixelRatioF());
    for (const QString& t : prompter.texts()) qInfo("shown: %s", qPrintable(t));
    return 0;
}
