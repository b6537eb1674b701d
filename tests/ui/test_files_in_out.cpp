// Files in and out through the window: Save HDR as with its five entries, PNG and the "Keep
// metadata" options of the save dialogs, the EXIF of each exposure in Step 1, the open dialog's
// file types, and damaged files of the newer formats refused with the project left as it was.
#include "ui_fixture.h"

#include <QFile>
#include <QFileInfo>
#include <QStatusBar>

#include <cmath>
#include <string>

#include "../imagefiles/dng_builder.h"
#include "imagefiles/hdr_save.h"
#include "imagefiles/picture_decoder.h"
#include "mainwindow/png_save_dialog.h"

using namespace sv;
using svtest::Window;

namespace {

QByteArray bytesOf(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QString dng(Window& w, const QString& name, std::uint32_t exposureDen, std::uint16_t iso) {
    test::DngSpec spec;
    spec.exposureDen = exposureDen;
    spec.iso = iso;
    const auto bytes = test::buildDng(spec);
    const QString path = w.dir.filePath(name);
    writeFile(path, QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
    return path;
}

// The largest difference between a saved HDR read back by our reader and the stack divided by
// stackMax, relative to the value. `power`: the reader's scale, (s / M)^power up to a factor (0.4
// for the HDR readers, 1 for a float TIFF, which opens as its samples stand).
double largestRelativeError(const Window& w, const QString& path, double power = 0.4) {
    DecodeHooks hooks;
    hooks.askGamma = [] { return false; };
    NullProgress progress;
    const DecodedPicture read = decodePicture(path.toStdString(), hooks, progress);
    if (!read.ok) return 1e9;
    const Project& p = w.form->project;
    const FloatImage expected = normalisedStack(p.stackBuffer, p.stackMax, progress);
    std::size_t brightest = 0;
    for (std::size_t i = 0; i < expected.sampleCount(); ++i)
        if (expected.data()[i] > expected.data()[brightest]) brightest = i;
    const double factor = read.pixels.data()[brightest] / std::pow(expected.data()[brightest], power);
    double worst = 0;
    for (std::size_t i = 0; i < expected.sampleCount(); ++i) {
        const double want = factor * std::pow(expected.data()[i], power);
        if (want > 0.05 * read.pixels.data()[brightest])
            worst = std::max(worst, std::abs(read.pixels.data()[i] - want) / want);
    }
    return worst;
}

}  // namespace

class FilesInOutTest : public QObject {
    Q_OBJECT
private slots:
    void saveHdrAsWritesTheChosenFormatOfTheMergedStack() {
        Window w;
        TForm1& f = *w.form;
        QVERIFY(!f.SaveHdr1->isEnabled());
        w.open({w.picture(QStringLiteral("a.bmp"), 21, 13, 1), w.picture(QStringLiteral("b.bmp"), 21, 13, 90)});
        QVERIFY(f.SaveHdr1->isEnabled());
        const QString caption = f.windowTitle();
        struct Entry {
            int index;
            const char* name;
            QByteArray magic;
            double worst;
            double power = 0.4;
        };
        const Entry entries[] = {{1, "f.exr", QByteArray("\x76\x2f\x31\x01", 4), 1e-6},
                                 {2, "h.exr", QByteArray("\x76\x2f\x31\x01", 4), 2e-3},
                                 {3, "r.hdr", QByteArray("#?RADIANCE"), 5e-2},  // 8-bit mantissas
                                 {4, "t.tif", QByteArray("II*\0", 4), 1e-6, 1.0},
                                 {5, "p.pfm", QByteArray("PF\n"), 1e-6}};
        for (const Entry& e : entries) {
            const QString path = w.dir.filePath(QString::fromLatin1(e.name));
            w.prompter.saveChoices.push_back(Prompter::SaveChoice{path, e.index});
            f.SaveHdr1->trigger();
            QVERIFY2(bytesOf(path).startsWith(e.magic), e.name);
            const double worst = largestRelativeError(w, path, e.power);
            QVERIFY2(worst <= e.worst, qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(e.name)).arg(worst)));
            QCOMPARE(f.hdrFilterIndex, e.index);
        }
        // Half samples are not the float ones: the two EXR entries differ.
        QVERIFY(largestRelativeError(w, w.dir.filePath(QStringLiteral("h.exr"))) > 1e-6);
        QCOMPARE(w.prompter.lastSaveFilterIndex, 4);  // the dialog opens on the entry chosen last
        // Saving the HDR does not make the picture saved, nor name it in the caption.
        QCOMPARE(f.windowTitle(), caption);
        QVERIFY(f.unsavedWork());

        // Over an existing file it asks, in the language in force; No keeps the file.
        f.Polish1Click();
        QCOMPARE(f.SaveHdr1->text(), QString::fromUtf8("Zapisz HDR jako..."));
        const QString exr = w.dir.filePath(QStringLiteral("f.exr"));
        QFile::resize(exr, 7);
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{exr, 1});
        w.prompter.answers.push_back(false);
        f.SaveHdr1Click();
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::YesNo).last(), QString::fromUtf8("Plik już istnieje, nadpisać?"));
        QCOMPARE(QFileInfo(exr).size(), 7);
        QVERIFY(w.prompter.lastSaveFilter.contains(QString::fromUtf8("OpenEXR 16-bit połówkowy")));

        // A folder that does not exist: the error names the file, the caption stays.
        const QString nowhere = w.dir.filePath(QStringLiteral("missing/x.hdr"));
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{nowhere, 3});
        f.SaveHdr1Click();
        const QStringList errors = w.prompter.texts(ScriptedPrompter::Kind::Error);
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].startsWith(QString::fromUtf8("Nie udało się zapisać pliku: ") + nowhere), qPrintable(errors[0]));
        QVERIFY(!QFile::exists(nowhere));
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void pngAndKeepMetadataInTheSaveDialogs() {
        Window w;
        TForm1& f = *w.form;
        w.open({dng(w, QStringLiteral("a.dng"), 250, 200), dng(w, QStringLiteral("b.dng"), 60, 200)});
        f.Button2Click();
        f.waitForJob();
        f.Timer1Timer();
        // The PNG entry follows the documented three and opens its own dialog.
        const QString png = w.dir.filePath(QStringLiteral("out.png"));
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{png, 4});
        f.Saveas1Click();
        QVERIFY(w.prompter.lastSaveFilter.endsWith(QStringLiteral("|PNG 24/48-bit (*.png)|*.png")));
        QVERIFY(f.pngDialog->isVisible());
        QVERIFY(f.pngDialog->PngMetadata->isChecked());
        f.pngDialog->PngCancel->click();
        QVERIFY(!QFile::exists(png));
        f.Save1Click();
        QVERIFY(f.pngDialog->isVisible());
        f.pngDialog->PngSave->click();
        QByteArray bytes = bytesOf(png);
        QVERIFY(bytes.startsWith("\x89PNG"));
        QCOMPARE(bytes[24], char(8));  // bit depth in IHDR
        QVERIFY(bytes.contains("eXIf") && bytes.contains("iCCP"));
        QVERIFY(bytes.contains("Test Camera"));  // the camera's model, from the first exposure
        QVERIFY(f.windowTitle().endsWith(QStringLiteral("[") + png + QStringLiteral("]")));
        QCOMPARE(f.saveDefaultExtension, QStringLiteral("*.png"));
        // 16 bits, without metadata: the picture alone.
        f.Save1Click();
        f.pngDialog->PngBitDepth->setItemIndex(1);
        f.pngDialog->PngMetadata->setChecked(false);
        f.pngDialog->PngSave->click();
        bytes = bytesOf(png);
        QCOMPARE(bytes[24], char(16));
        QVERIFY(!bytes.contains("eXIf") && !bytes.contains("iCCP"));

        // JPEG keeps the metadata unless told not to.
        const QString jpeg = w.dir.filePath(QStringLiteral("out.jpg"));
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{jpeg, 2});
        f.Saveas1Click();
        QVERIFY(w.jpeg->CheckBox1->isChecked());
        f.jpegEncoderPath.clear();
        w.jpeg->Button2->click();
        bytes = bytesOf(jpeg);
        QVERIFY(bytes.startsWith("\xFF\xD8"));
        QVERIFY(bytes.contains("Exif") && bytes.contains("ICC_PROFILE"));
        w.jpeg->CheckBox1->setChecked(false);
        f.Save1Click();
        w.jpeg->Button2->click();
        QVERIFY(!bytesOf(jpeg).contains("ICC_PROFILE"));

        // TIFF leaves it out unless asked: the documented layout, byte for byte.
        const QString plain = w.dir.filePath(QStringLiteral("plain.tif"));
        const QString kept = w.dir.filePath(QStringLiteral("kept.tif"));
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{plain, 1});
        f.Saveas1Click();
        QVERIFY(!w.tiff->CheckBox1->isChecked());
        w.tiff->Button2->click();
        QVERIFY(f.writeTiffFile(w.dir.filePath(QStringLiteral("again.tif")), 8, 1));
        QCOMPARE(bytesOf(plain), bytesOf(w.dir.filePath(QStringLiteral("again.tif"))));
        QVERIFY(!bytesOf(plain).contains("Sombrel Varno"));
        w.prompter.saveChoices.push_back(Prompter::SaveChoice{kept, 1});
        f.Saveas1Click();
        w.tiff->CheckBox1->setChecked(true);
        w.tiff->Button2->click();
        QVERIFY(bytesOf(kept).contains("Sombrel Varno"));
        QVERIFY(bytesOf(kept).size() > bytesOf(plain).size());
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error), QStringList());
        QCOMPARE(w.prompter.unexpected, 0);

        // The new captions follow the language.
        f.Polish1Click();
        QCOMPARE(f.pngDialog->windowTitle(), QString::fromUtf8("Zapisz jako PNG"));
        QCOMPARE(f.pngDialog->PngMetadata->text(), QString::fromUtf8("Zachowaj metadane"));
        QCOMPARE(w.tiff->CheckBox1->text(), QString::fromUtf8("Zachowaj metadane"));
    }

    void stepOneShowsEachExposuresExif() {
        Window w;
        TForm1& f = *w.form;
        // 1/250 s, then 1/60 s at four times the ISO: 2.06 + 2 = 4.06 EV brighter, so -4.06.
        w.open({dng(w, QStringLiteral("a.dng"), 250, 200), dng(w, QStringLiteral("b.dng"), 60, 800),
                w.picture(QStringLiteral("c.bmp"), 64, 48, 3)});
        QCOMPARE(f.ListBox1->count(), 3);
        QCOMPARE(f.ListBox1->item(0)->toolTip(),
                 QStringLiteral("Exposure time: 1/250 s\nAperture: f/8\nISO: 200\nExposure compensation: -0.33 EV\n"
                                "Taken: 2024:05:01 10:11:12"));
        QVERIFY2(f.ListBox1->item(1)->toolTip().endsWith(QStringLiteral("\nRelative to the first picture: -4.06 EV")),
                 qPrintable(f.ListBox1->item(1)->toolTip()));
        QCOMPARE(f.ListBox1->item(2)->toolTip(), QStringLiteral("No exposure data in the file"));
        // Nothing selected: no EXIF in the status bar.
        QVERIFY(f.exifPanel->isHidden());
        f.ListBox1->setCurrentRow(1);
        QVERIFY(!f.exifPanel->isHidden());
        QCOMPARE(f.exifPanel->text(),
                 QStringLiteral("1/60 s   f/8   ISO 800   -0.33 EV   2024:05:01 10:11:12   vs. first: -4.06 EV"));
        QCOMPARE(f.exifPanel->toolTip(), f.ListBox1->item(1)->toolTip());
        f.Polish1Click();
        QVERIFY(f.exifPanel->text().endsWith(QString::fromUtf8("   wzgl. pierwszego: -4.06 EV")));
        QVERIFY(f.exifPanel->toolTip().startsWith(QString::fromUtf8("Czas naświetlania: 1/60 s\nPrzysłona: f/8")));
        QVERIFY(f.ListBox1->item(2)->toolTip() == QString::fromUtf8("Brak danych o ekspozycji w pliku"));
        f.ListBox1->clearSelection();
        QVERIFY(f.exifPanel->isHidden());
        // The first exposure removed: the EV is now relative to the one that took its place.
        f.English1Click();
        f.ListBox1->setCurrentRow(0);
        w.prompter.answers.push_back(true);
        w.prompter.answers.push_back(true);  // raw files are read again as 48-bit TIFFs are: the gamma question
        f.Button9Click();
        QCOMPARE(f.ListBox1->count(), 2);
        QVERIFY(!f.ListBox1->item(0)->toolTip().contains(QStringLiteral("Relative")));
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void openDialogListsEveryFormatAndDamagedFilesLeaveTheProject() {
        Window w;
        TForm1& f = *w.form;
        for (bool polish : {false, true}) {
            if (polish) f.Polish1Click();
            for (const char* pattern : {"*.png", "*.exr", "*.pfm", "*.dng", "*.cr2", "*.cr3", "*.nef", "*.arw", "*.raf",
                                        "*.orf", "*.rw2", "*.pef", "*.srw", "*.bmp", "*.hdr"})
                QVERIFY2(f.openDialogFilter.contains(QLatin1String(pattern)), pattern);
        }
        f.English1Click();
        w.open({w.picture(QStringLiteral("a.bmp"), 64, 48, 1)});
        QVERIFY(w.prompter.lastOpenFilter.contains(QStringLiteral("Camera raw files|*.dng; ")));
        QCOMPARE(f.project.exposureCount, 1);

        // Damaged files of each newer format, written here.
        QImage picture(64, 48, QImage::Format_RGB32);
        picture.fill(qRgb(10, 200, 30));
        const QString goodPng = w.dir.filePath(QStringLiteral("good.png"));
        picture.save(goodPng, "PNG");
        QByteArray png = bytesOf(goodPng);
        const qsizetype idat = png.indexOf("IDAT");
        QByteArray badCrc = png;
        badCrc[idat + 6] = static_cast<char>(badCrc[idat + 6] ^ 0x55);
        writeFile(w.dir.filePath(QStringLiteral("crc.png")), badCrc);
        writeFile(w.dir.filePath(QStringLiteral("cut.png")), png.left(idat + 10));
        QVERIFY(f.writeHdrFile(w.dir.filePath(QStringLiteral("whole.exr")), 1));
        const QByteArray exr = bytesOf(w.dir.filePath(QStringLiteral("whole.exr")));
        writeFile(w.dir.filePath(QStringLiteral("cut.exr")), exr.left(exr.size() / 2));
        writeFile(w.dir.filePath(QStringLiteral("junk.exr")), QByteArray("\x76\x2f\x31\x01", 4) + QByteArray(300, '\x7f'));
        writeFile(w.dir.filePath(QStringLiteral("cut.pfm")), QByteArray("PF\n64 48\n-1.0\n") + QByteArray(100, '\0'));
        writeFile(w.dir.filePath(QStringLiteral("notes.cr2")), QByteArray(4000, 'x'));

        const struct {
            const char* name;
            const char* english;
        } cases[] = {{"crc.png", "The picture is damaged and was not used: crc.png"},
                     {"cut.png", "The picture is incomplete (its data end too early) and was not used: cut.png"},
                     {"cut.exr", "The picture is incomplete (its data end too early) and was not used: cut.exr"},
                     {"junk.exr", nullptr},
                     {"cut.pfm", "The picture is incomplete (its data end too early) and was not used: cut.pfm"},
                     {"notes.cr2", "This camera raw file cannot be read: notes.cr2"}};
        const QString listLine = f.ListBox1->item(0)->text();
        for (const auto& c : cases) {
            const int errorsBefore = static_cast<int>(w.prompter.texts(ScriptedPrompter::Kind::Error).size());
            w.open({w.dir.filePath(QString::fromLatin1(c.name))});
            const QStringList errors = w.prompter.texts(ScriptedPrompter::Kind::Error);
            QVERIFY2(errors.size() == errorsBefore + 1, c.name);
            if (c.english) QCOMPARE(errors.last(), QString::fromLatin1(c.english));
            QCOMPARE(f.project.exposureCount, 1);
            QCOMPARE(f.ListBox1->count(), 1);
            QCOMPARE(f.ListBox1->item(0)->text(), listLine);
        }
        f.Polish1Click();
        w.open({w.dir.filePath(QStringLiteral("notes.cr2"))});
        QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error).last(),
                 QString::fromUtf8("Nie można odczytać tego pliku RAW z aparatu: notes.cr2"));
        QCOMPARE(f.project.exposureCount, 1);
        QCOMPARE(w.prompter.unexpected, 0);
    }
};

QTEST_MAIN(FilesInOutTest)
#include "test_files_in_out.moc"
