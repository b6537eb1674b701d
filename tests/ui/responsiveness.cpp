// How the window keeps up while its jobs run on large pictures: ui_responsiveness FILE...
// opens the files in one go, runs Process all and saves a 16-bit Deflate TIFF, all through the
// window's own commands, while a 100 ms timer on the window's thread (as the window's own one)
// notes when it fires. Prints each job's time and the longest gap between two ticks. Not a test:
// a measurement for pictures far too large for the test run (end_to_end.sh makes such brackets).
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>

#include "mainwindow/about_box.h"
#include "mainwindow/colour_picker.h"
#include "mainwindow/controls.h"
#include "mainwindow/jpeg_save_dialog.h"
#include "mainwindow/main_form.h"
#include "mainwindow/prompter.h"
#include "mainwindow/tiff_save_dialog.h"

namespace {

struct Ticks {
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    int count = 0;
    void start() {
        clock.start();
        last = 0;
        longest = 0;
        count = 0;
    }
    void tick() {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
        ++count;
    }
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_responsiveness FILE...\n");
        return 2;
    }
    QStringList files;
    for (int i = 1; i < argc; ++i) files << QString::fromLocal8Bit(argv[i]);
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

    Ticks ticks;
    QTimer timer;
    timer.setInterval(100);
    QObject::connect(&timer, &QTimer::timeout, [&] { ticks.tick(); });
    timer.start();

    // Each step: start it, then let the event loop run until the window's job is over.
    const auto measure = [&](const char* what, auto&& start) {
        ticks.start();
        start();
        QTest::qWait(20);
        while (form.jobRunning() || form.jobs().busy()) QTest::qWait(20);
        const double seconds = static_cast<double>(ticks.clock.elapsed()) / 1000.0;
        std::printf("%-12s %7.2f s  %4d ticks of 100 ms, longest gap %lld ms\n", what, seconds, ticks.count,
                    static_cast<long long>(ticks.longest));
        std::fflush(stdout);
    };

    prompter.openChoices.push_back(files);
    measure("open", [&] { form.Button4Click(); });
    measure("process all", [&] { QTest::mouseClick(form.Button2, Qt::LeftButton); });
    const QString out = dir.filePath(QStringLiteral("out.tif"));
    prompter.saveChoices.push_back(sv::Prompter::SaveChoice{out, 1});
    form.Saveas1Click();
    tiff.RadioGroup1->setItemIndex(1);  // Deflate
    tiff.RadioGroup2->setItemIndex(1);  // 16 bits
    measure("save tiff", [&] { QTest::mouseClick(tiff.Button2, Qt::LeftButton); });
    const bool saved = QFileInfo(out).size() > 0;
    std::printf("saved: %s, unexpected questions: %d\n", saved ? "yes" : "no", prompter.unexpected);
    return saved && prompter.unexpected == 0 ? 0 : 1;
}
