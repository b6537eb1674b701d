#pragma once

// A real main window with its four small windows, a scripted prompter and a settings store of
// its own in a temporary folder; small test pictures written there.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <memory>

#ifdef SV_TBB_SERIAL
#include <tbb/global_control.h>
inline tbb::global_control svSerialTbb(tbb::global_control::max_allowed_parallelism, 1);
#endif

#include "mainwindow/about_box.h"
#include "mainwindow/colour_picker.h"
#include "mainwindow/controls.h"
#include "mainwindow/jpeg_save_dialog.h"
#include "mainwindow/main_form.h"
#include "mainwindow/picture_box.h"
#include "mainwindow/prompter.h"
#include "mainwindow/tiff_save_dialog.h"

namespace svtest {

struct Window {
    QTemporaryDir dir;
    sv::ScriptedPrompter prompter;
    int endedWith = -100;
    std::unique_ptr<sv::TForm1> form;
    std::unique_ptr<sv::TForm2> about;
    std::unique_ptr<sv::TOKBottomDlg> jpeg;
    std::unique_ptr<sv::TForm5> tiff;
    std::unique_ptr<sv::TForm14> picker;

    double dpi = 96;  // the screen's dots per inch as the window sees them

    explicit Window(bool show = true, QString settings = {}, double dotsPerInch = 96) : dpi(dotsPerInch) {
        create(show, settings);
    }

    QString settingsPath() const { return dir.filePath(QStringLiteral("settings.ini")); }

    void create(bool show, QString settings = {}) {
        sv::FormOptions options;
        options.prompter = &prompter;
        options.settingsPath = settings.isEmpty() ? settingsPath() : settings;
        options.companionFiles.clear();
        options.showSplash = false;
        options.endProgram = [this](int code) { endedWith = code; };
        options.dpiOverride = dpi;
        form = std::make_unique<sv::TForm1>(options);
        about = std::make_unique<sv::TForm2>();
        jpeg = std::make_unique<sv::TOKBottomDlg>(form.get());
        tiff = std::make_unique<sv::TForm5>(form.get());
        picker = std::make_unique<sv::TForm14>(form.get());
        form->setSecondaryWindows(about.get(), jpeg.get(), tiff.get(), picker.get());
        form->resize(1100, 800);
        if (show) {
            form->show();
            QTest::qWait(1);
        }
    }

    ~Window() {
        if (form) form->waitForJob();
        picker.reset();
        tiff.reset();
        jpeg.reset();
        form.reset();
    }

    // A picture of w x h whose pixel (x, y) is (seed + x * 7 + y) % 256, (seed * 3 + x) % 256,
    // (seed + y * 5) % 256, written as a BMP.
    QString picture(const QString& name, int w, int h, int seed) {
        QImage img(w, h, QImage::Format_RGB32);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                img.setPixel(x, y, qRgb((seed + x * 7 + y) % 256, (seed * 3 + x) % 256, (seed + y * 5) % 256));
        const QString path = dir.filePath(name);
        img.save(path, "BMP");
        return path;
    }

    void open(const QStringList& files) {
        prompter.openChoices.push_back(files);
        form->Button4Click();
    }
};

// Lets the event loop run until the window's job has ended and its results were applied (the
// 100 ms timer finishes jobs on the UI thread); false when it takes longer than `timeoutMs`.
inline bool waitForJob(sv::TForm1& f, int timeoutMs = 30000) {
    QElapsedTimer t;
    t.start();
    while (f.jobRunning() || f.jobs().busy()) {
        if (t.elapsed() > timeoutMs) return false;
        QTest::qWait(20);
    }
    return true;
}

}  // namespace svtest
