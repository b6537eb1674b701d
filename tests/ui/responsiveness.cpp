// How the window keeps up while its jobs run on large pictures: ui_responsiveness FILE...
// opens the files in one go, runs Process all and saves a 16-bit Deflate TIFF, all through the
// window's own commands, while a 100 ms timer on the window's thread (as the window's own one)
// notes when it fires. Prints each job's time and the longest gap between two ticks. Not a test:
// a measurement for pictures far too large for the test run (end_to_end.sh makes such brackets).
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>

#include "mainwindow/controls.h"
#include "ui_fixture.h"

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
    svtest::Window w;
    sv::TForm1& form = *w.form;
    form.resize(1200, 820);
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

    w.prompter.openChoices.push_back(files);
    measure("open", [&] { form.Button4Click(); });
    measure("process all", [&] { QTest::mouseClick(form.Button2, Qt::LeftButton); });
    const QString out = w.dir.filePath(QStringLiteral("out.tif"));
    w.prompter.saveChoices.push_back(sv::Prompter::SaveChoice{out, 1});
    form.Saveas1Click();
    w.tiff->RadioGroup1->setItemIndex(1);  // Deflate
    w.tiff->RadioGroup2->setItemIndex(1);  // 16 bits
    measure("save tiff", [&] { QTest::mouseClick(w.tiff->Button2, Qt::LeftButton); });
    const bool saved = QFileInfo(out).size() > 0;
    std::printf("saved: %s, unexpected questions: %d\n", saved ? "yes" : "no", w.prompter.unexpected);
    return saved && w.prompter.unexpected == 0 ? 0 : 1;
}
