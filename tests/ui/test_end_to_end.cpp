// The three steps on the sample bracket of samples/: open, tone-map, filter and balance, then
// save TIFF, BMP and JPEG through Save as, and have another program (Python's PIL) read each file.
// With SV_SCREENSHOT_DIR set, the two working pages are also grabbed in both languages.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <memory>

#include "mainwindow/about_box.h"
#include "mainwindow/colour_panel.h"
#include "mainwindow/colour_picker.h"
#include "mainwindow/controls.h"
#include "mainwindow/curve_box.h"
#include "mainwindow/jpeg_save_dialog.h"
#include "mainwindow/main_form.h"
#include "mainwindow/picture_box.h"
#include "mainwindow/prompter.h"
#include "mainwindow/tiff_save_dialog.h"

using namespace sv;

namespace {

bool waitForJob(TForm1& f, int timeoutMs = 60000) {
    QElapsedTimer t;
    t.start();
    while (f.jobRunning() || f.jobs().busy()) {
        if (t.elapsed() > timeoutMs) return false;
        QTest::qWait(20);
    }
    return true;
}

// Runs /usr/bin/python3 with PIL on a file: "WIDTH HEIGHT MODE" and the RGB of a few pixels.
QStringList readWithPil(const QString& path, const QList<QPoint>& pixels) {
    QString script = QStringLiteral(
        "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\nim.load()\n"
        "print(im.format, im.size[0], im.size[1], im.mode)\nrgb = im.convert('RGB')\n"
        "for a in sys.argv[2:]:\n    x, y = map(int, a.split(','))\n    print(*rgb.getpixel((x, y)))\n");
    QStringList args{QStringLiteral("-c"), script, path};
    for (const QPoint& p : pixels) args << QStringLiteral("%1,%2").arg(p.x()).arg(p.y());
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), args);
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        qWarning() << python.readAllStandardError();
        return {};
    }
    return QString::fromUtf8(python.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

int byteOf(float v) { return std::clamp(static_cast<int>(v * 255), 0, 255); }

}  // namespace

class EndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void threeStepsAndThreeFormats();
};

void EndToEndTest::threeStepsAndThreeFormats() {
    QLocale::setDefault(QLocale(QLocale::English));
    QTemporaryDir dir;
    ScriptedPrompter prompter;
    TForm2 about;
    TOKBottomDlg jpeg;
    TForm5 tiff;
    TForm14 picker;
    FormOptions options;
    options.prompter = &prompter;
    options.settingsPath = dir.filePath(QStringLiteral("settings.ini"));
    options.companionFiles.clear();
    options.showSplash = false;
    options.endProgram = [](int) {};
    auto form = std::make_unique<TForm1>(options);
    TForm1& f = *form;
    // The dialogs are windows owned by the main window, as in the program; they are handed back
    // before the main window goes, however the test ends.
    for (QWidget* w : std::initializer_list<QWidget*>{&jpeg, &tiff, &picker}) w->setParent(form.get(), w->windowFlags());
    struct Unparent {
        std::initializer_list<QWidget*> windows;
        ~Unparent() {
            for (QWidget* w : windows) w->setParent(nullptr);
        }
    } unparent{{&jpeg, &tiff, &picker}};
    f.setSecondaryWindows(&about, &jpeg, &tiff, &picker);
    about.loadPicture(1.0);
    f.resize(1100, 860);
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));

    // Step 1: the bracket, all three at once.
    const QString samples = QStringLiteral(SV_SOURCE_DIR "/samples/");
    prompter.openChoices.push_back({samples + "bracket_minus2.jpg", samples + "bracket_0.jpg", samples + "bracket_plus2.jpg"});
    f.Button4Click();
    QCOMPARE(f.project.exposureCount, 3);
    QCOMPARE(f.project.imageWidth, 640);
    QVERIFY(f.Button1->isEnabled());
    QTest::mouseClick(f.Button25, Qt::LeftButton);  // "1:1": the picture at its own size
    QCOMPARE(f.Image4->size(), QSize(640, 480));

    // Step 2: gamma, saturation, a bent curve, the points; then the whole picture.
    f.TabbedNotebook1->setCurrentIndex(1);
    f.TrackBar11->setValue(160);
    f.TrackBar10->setValue(40);
    QTest::mouseClick(f.SpeedButton4, Qt::LeftButton);  // two movable points
    const CurvePoint p1 = f.toneCurve->controlPoints()[1];
    QTest::mousePress(f.Image1, Qt::LeftButton, {}, QPoint(p1.X, 199 - p1.Y));
    QTest::mouseMove(f.Image1, QPoint(p1.X, 199 - p1.Y - 25));
    QTest::mouseRelease(f.Image1, Qt::LeftButton, {}, QPoint(p1.X, 199 - p1.Y - 25));
    f.TrackBar12->setValue(245);
    f.TrackBar13->setValue(6);
    QTest::mouseClick(f.Button2, Qt::LeftButton);
    QVERIFY(waitForJob(f));
    QVERIFY(f.project.wholeImageProcessed);
    QVERIFY(prompter.unexpected == 0);

    // Step 3: sharpen, a neutral point sampled from the picture, a shadows balance.
    f.TabbedNotebook1->setCurrentIndex(2);
    QVERIFY(f.GroupBox11->isEnabled());
    f.selectToolGroup(1);
    f.TrackBar2->setValue(60);
    QTest::mouseClick(f.Button6, Qt::LeftButton);
    QVERIFY(waitForJob(f));
    f.selectToolGroup(4);
    const double z = f.TrackBar1->value() / 10.0;
    QTest::mouseClick(f.Image12, Qt::LeftButton);
    QTest::mouseClick(f.Image4, Qt::LeftButton, {}, QPoint(int(320 * z) + 1, int(200 * z) + 1));
    QVERIFY(f.Panel20->colour() != QColor(0, 0, 0));
    QTest::mouseClick(f.Button23, Qt::LeftButton);
    QVERIFY(waitForJob(f));
    f.selectToolGroup(5);
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QTest::mouseClick(f.Image20, Qt::LeftButton);
    QTest::mouseClick(f.Image4, Qt::LeftButton, {}, QPoint(int(100 * z) + 1, int(400 * z) + 1));
    QVERIFY(f.CheckBox2->isChecked());
    QTest::mouseClick(f.Panel17, Qt::LeftButton);  // a target from the picker
    QVERIFY(picker.isVisible());
    QTest::mouseClick(picker.Image2, Qt::LeftButton, {}, QPoint(5, 120));
    QTest::mouseClick(picker.Image1, Qt::LeftButton, {}, QPoint(120, 60));
    QTest::mouseClick(picker.Button1, Qt::LeftButton);
    QVERIFY(f.isEnabled());
    QTest::mouseClick(f.Button21, Qt::LeftButton);
    QVERIFY(waitForJob(f));
    QVERIFY(f.Button17->isEnabled());
    QVERIFY(prompter.unexpected == 0);

    if (const QString shots = qEnvironmentVariable("SV_SCREENSHOT_DIR"); !shots.isEmpty()) {
        QDir().mkpath(shots);
        for (const bool polish : {false, true}) {
            polish ? f.Polish1Click() : f.English1Click();
            for (const int page : {1, 2}) {
                f.TabbedNotebook1->setCurrentIndex(page);
                if (page == 2) f.selectToolGroup(polish ? 2 : 5);
                QTest::qWait(150);
                const QString name = QStringLiteral("%1/step%2_%3.png").arg(shots).arg(page + 1).arg(polish ? "pl" : "en");
                QVERIFY(f.grab().save(name));
                // the whole page column too, scrolled or not
                const QString column = QStringLiteral("%1/step%2_%3_column.png").arg(shots).arg(page + 1).arg(polish ? "pl" : "en");
                QVERIFY(f.TabbedNotebook1->currentWidget()->grab().save(column));
            }
        }
        // each tool group expanded, in both languages
        for (const bool polish : {false, true}) {
            polish ? f.Polish1Click() : f.English1Click();
            f.TabbedNotebook1->setCurrentIndex(2);
            for (int i = 0; i < 6; ++i) {
                f.selectToolGroup(i);
                QTest::qWait(50);
                QVERIFY(f.toolGroups[i]->grab().save(
                    QStringLiteral("%1/step3_group%2_%3.png").arg(shots).arg(i).arg(polish ? "pl" : "en")));
            }
        }
        // the colour picker on a target colour, in both languages, and the About box
        f.selectToolGroup(5);
        for (const bool polish : {false, true}) {
            polish ? f.Polish1Click() : f.English1Click();
            QTest::mouseClick(f.Panel19, Qt::LeftButton);
            QVERIFY(picker.isVisible());
            QTest::mouseClick(picker.Image2, Qt::LeftButton, {}, QPoint(5, 150));
            QTest::mouseClick(picker.Image1, Qt::LeftButton, {}, QPoint(150, 40));
            QTest::qWait(100);
            QVERIFY(picker.grab().save(QStringLiteral("%1/picker_%2.png").arg(shots).arg(polish ? "pl" : "en")));
            QTest::mouseClick(picker.Button2, Qt::LeftButton);
        }
        f.About2Click();
        QTest::qWait(100);
        QVERIFY(about.grab().save(QStringLiteral("%1/about.png").arg(shots)));
        QTest::mouseClick(about.Image1, Qt::LeftButton);
        QVERIFY(!about.isVisible());
        f.English1Click();
        f.TabbedNotebook1->setCurrentIndex(2);
    }

    // Save as TIFF (entry 1, through its dialog), BMP (entry 3, at once), JPEG (entry 2, dialog).
    const QString tif = dir.filePath(QStringLiteral("result.tif"));
    const QString bmp = dir.filePath(QStringLiteral("result.bmp"));
    const QString jpg = dir.filePath(QStringLiteral("result.jpg"));
    prompter.saveChoices.push_back(Prompter::SaveChoice{tif, 1});
    f.Saveas1Click();
    QVERIFY(tiff.isVisible());
    QTest::mouseClick(tiff.Button2, Qt::LeftButton);
    QVERIFY(QFileInfo::exists(tif));
    prompter.saveChoices.push_back(Prompter::SaveChoice{bmp, 3});
    f.Saveas1Click();
    QVERIFY(QFileInfo::exists(bmp));
    prompter.saveChoices.push_back(Prompter::SaveChoice{jpg, 2});
    f.Saveas1Click();
    QVERIFY(jpeg.isVisible());
    QTest::mouseClick(jpeg.Button2, Qt::LeftButton);
    QVERIFY(QFileInfo::exists(jpg));
    QCOMPARE(prompter.unexpected, 0);
    QVERIFY(prompter.texts(ScriptedPrompter::Kind::Error).isEmpty());

    const QList<QPoint> probes{QPoint(0, 0), QPoint(320, 240), QPoint(639, 479), QPoint(100, 400)};
    // The TIFF holds processedBuffer, the BMP and JPEG the display bitmap; all three agree here
    // because the display shows the whole processed picture after the last Apply.
    for (const QString& file : {tif, bmp, jpg}) {
        const QStringList lines = readWithPil(file, probes);
        QCOMPARE(lines.size(), 1 + probes.size());
        const QStringList head = lines[0].split(' ');
        QCOMPARE(head[0], file == tif ? QString("TIFF") : file == bmp ? QString("BMP") : QString("JPEG"));
        QCOMPARE(head[1], QString("640"));
        QCOMPARE(head[2], QString("480"));
        QCOMPARE(head[3], QString("RGB"));
        for (int i = 0; i < probes.size(); ++i) {
            const QStringList rgb = lines[1 + i].split(' ');
            const QPoint p = probes[i];
            const std::uint32_t word = f.displayBitmap.at(p.x(), p.y());
            const int shown[3] = {int(word >> 16 & 0xFF), int(word >> 8 & 0xFF), int(word & 0xFF)};
            for (int c = 0; c < 3; ++c) {
                const int read = rgb[c].toInt();
                if (file == bmp) {
                    QCOMPARE(read, shown[c]);
                } else if (file == tif) {
                    QVERIFY(std::abs(read - byteOf(f.project.processedBuffer.at(p.x(), p.y(), c))) <= 1);
                } else {
                    QVERIFY2(std::abs(read - shown[c]) <= 24, qPrintable(QString("JPEG far from the picture at %1,%2")
                                                                            .arg(p.x()).arg(p.y())));
                }
            }
        }
    }
}

QTEST_MAIN(EndToEndTest)
#include "test_end_to_end.moc"
