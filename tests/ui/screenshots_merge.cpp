// Pictures of automatic alignment and ghost removal for a person to look at, in both languages:
// screenshots_merge DIR. The sample bracket, its brightest exposure moved by a few pixels and,
// for the ghosts, a dark figure painted into one exposure. Not a test.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
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
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/work/screens/i12");
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
    // The brightest exposure taken 14 pixels further right and 9 higher: its content moves left/down.
    const QImage bright(samples + QStringLiteral("bracket_plus2.jpg"));
    const QString moved = dir.filePath(QStringLiteral("bracket_plus2_moved.bmp"));
    bright.copy(14, -9, bright.width(), bright.height()).save(moved, "BMP");
    // A dark figure that walked into the middle exposure.
    QImage middle(samples + QStringLiteral("bracket_0.jpg"));
    {
        QPainter p(&middle);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 30, 30));
        p.drawEllipse(QRect(middle.width() / 3, middle.height() / 3, middle.width() / 10, middle.height() / 4));
    }
    const QString figure = dir.filePath(QStringLiteral("bracket_0_figure.bmp"));
    middle.save(figure, "BMP");

    const QString languages[2] = {QStringLiteral("en"), QStringLiteral("pl")};
    auto setLanguage = [&](int lang) {
        if (lang == 0) form.English1Click();
        else form.Polish1Click();
        QTest::qWait(30);
    };
    auto shot = [&](const QString& what) { form.grab().save(QStringLiteral("%1/%2.png").arg(out, what)); };
    auto finish = [&] {
        form.waitForJob();
        form.Timer1Timer();
        QTest::qWait(50);
    };

    prompter.openChoices.push_back({samples + QStringLiteral("bracket_minus2.jpg"), samples + QStringLiteral("bracket_0.jpg")});
    form.Button4Click();
    prompter.openChoices.push_back({moved});
    form.Button4Click();
    for (int lang = 0; lang < 2; ++lang) {
        setLanguage(lang);
        form.Edit3->setText(QStringLiteral("0"));
        form.Edit3Change();
        form.Edit4->setText(QStringLiteral("0"));
        form.Edit4Change();
        form.RadioButton3->click();
        form.alignmentRefresh();
        QTest::qWait(50);
        shot(languages[lang] + QStringLiteral("_align_button"));
        form.Button27->click();
        finish();
        shot(languages[lang] + QStringLiteral("_align_difference"));
    }
    form.Button3Click();

    // Ghosts: a new project of the bracket with the figure in the middle exposure.
    prompter.answers.push_back(true);
    form.New1Click();
    prompter.openChoices.push_back({samples + QStringLiteral("bracket_minus2.jpg"), figure,
                                    samples + QStringLiteral("bracket_plus2.jpg")});
    form.Button4Click();
    form.ListBox1->setCurrentRow(0);
    form.CheckBox6->click();
    finish();
    form.RadioButton4->click();
    QTest::qWait(50);
    for (int lang = 0; lang < 2; ++lang) {
        setLanguage(lang);
        shot(languages[lang] + QStringLiteral("_ghosts_view"));
    }
    for (const QString& t : prompter.texts()) qInfo("shown: %s", qPrintable(t));
    return 0;
}
