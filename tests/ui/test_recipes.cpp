// Recipes in the window: a bracket finished here and the same bracket run through sombrel-cli
// with the recipe saved here give byte-identical TIFF and BMP files; what a preview shows is what
// is exported; the record follows Apply, Undo and Process all; a loaded recipe is one Undo step;
// a bad recipe changes nothing and is refused in the language in force.
#include <QImage>
#include <QMenu>
#include <QProcess>

#include <cstring>

#include <QFileDialog>
#include <QMessageBox>

#include "mainwindow/colour_panel.h"
#include "operations/operation_registry.h"
#include "ui_fixture.h"

using namespace sv;

namespace {

const QString kSamples = QStringLiteral(SV_SOURCE_DIR "/samples/");
const QStringList kBracket = {kSamples + "bracket_minus2.jpg", kSamples + "bracket_0.jpg",
                              kSamples + "bracket_plus2.jpg"};

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool sameBits(const FloatImage& a, const FloatImage& b) {
    return !a.empty() && a.sameSize(b) && std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)) == 0;
}

// The display words of a region.
std::vector<std::uint32_t> shown(const DisplayBitmap& bitmap, const Region& r) {
    std::vector<std::uint32_t> words;
    for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x) words.push_back(bitmap.at(x, y) & 0xFFFFFFu);
    return words;
}

std::vector<std::uint32_t> shown(const QImage& picture, const Region& r) {
    std::vector<std::uint32_t> words;
    for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x) words.push_back(picture.pixel(x, y) & 0xFFFFFFu);
    return words;
}

// The part `inner` of words taken from `outer`.
std::vector<std::uint32_t> shown(const std::vector<std::uint32_t>& words, const Region& outer, const Region& inner) {
    std::vector<std::uint32_t> part;
    for (int y = inner.y; y < inner.y + inner.height; ++y)
        for (int x = inner.x; x < inner.x + inner.width; ++x)
            part.push_back(words[static_cast<std::size_t>(y - outer.y) * outer.width + (x - outer.x)]);
    return part;
}

// The sample bracket opened and processed in the window, as a user starts.
bool openAndProcess(svtest::Window& w) {
    w.open(kBracket);
    QTest::mouseClick(w.form->Button2, Qt::LeftButton);
    return svtest::waitForJob(*w.form);
}

// sombrel-cli on the bracket with the given operators; its exit status.
int runCli(const QStringList& tail) {
    QStringList args{QStringLiteral("--quiet")};
    for (const QString& file : kBracket) args << QStringLiteral("--open") << file;
    args << tail;
    QProcess cli;
    cli.start(QStringLiteral(SV_CLI_PATH), args);
    if (!cli.waitForFinished(120000)) return -1;
    if (cli.exitCode() != 0) qWarning() << cli.readAllStandardError();
    return cli.exitCode();
}

}  // namespace

class RecipesTest : public QObject {
    Q_OBJECT
private slots:
    void windowAndCommandLineGiveTheSameFiles();
    void theRecordFollowsApplyUndoAndProcessAll();
    void aLoadedRecipeIsOneUndoableStep();
    void aBadRecipeChangesNothingAndIsToldInBothLanguages();
    void fileMenuItemsInBothLanguages();
};

void RecipesTest::windowAndCommandLineGiveTheSameFiles() {
    svtest::Window w;
    TForm1& f = *w.form;
    w.open(kBracket);
    QCOMPARE(f.project.exposureCount, 3);
    const Region rect = f.project.previewRect;
    QVERIFY(!rect.empty());
    const Region whole{0, f.project.imageWidth, 0, f.project.imageHeight};

    // Step 2: tone controls and a bent curve.
    f.TabbedNotebook1->setCurrentIndex(1);
    f.TrackBar11->setValue(160);
    f.TrackBar10->setValue(40);
    f.TrackBar12->setValue(245);
    f.TrackBar13->setValue(6);
    std::string reason;
    QVERIFY(f.toneCurve->setMovablePoints({{60, 90}, {140, 170}}, reason));
    f.rebuildCurve();
    QTest::mouseClick(f.Button1, Qt::LeftButton);  // Preview: the rectangle alone
    QVERIFY(svtest::waitForJob(f));
    const std::vector<std::uint32_t> tonePreview = shown(f.displayBitmap, rect);
    QTest::mouseClick(f.Button2, Qt::LeftButton);
    QVERIFY(svtest::waitForJob(f));
    QVERIFY(f.project.wholeImageProcessed);
    QVERIFY(shown(f.displayBitmap, rect) == tonePreview);

    // Step 3: a blur and a sharpen away from their defaults, a neutral point, a balance. The blur
    // and the balance are previewed first: the rectangle shown is what their Apply gives there.
    f.TabbedNotebook1->setCurrentIndex(2);
    f.selectToolGroup(0);
    f.TrackBar5->setValue(25);
    f.TrackBar4->setValue(60);
    QTest::mouseClick(f.Button10, Qt::LeftButton);
    QVERIFY(svtest::waitForJob(f));
    const std::vector<std::uint32_t> blurPreview = shown(f.displayBitmap, rect);
    QTest::mouseClick(f.Button7, Qt::LeftButton);
    QVERIFY(svtest::waitForJob(f));
    // A filter's preview treats the rectangle's edges as the picture's (its taps outside the
    // rectangle are left out): beyond the longest reach of any filter kernel (16 pixels) the
    // preview is the exported picture exactly.
    const Region inner{rect.x + 16, rect.width - 32, rect.y + 16, rect.height - 32};
    QVERIFY(shown(f.displayBitmap, inner) == shown(blurPreview, rect, inner));

    f.selectToolGroup(1);
    f.TrackBar2->setValue(60);
    f.TrackBar3->setValue(17);
    QTest::mouseClick(f.Button6, Qt::LeftButton);
    QVERIFY(svtest::waitForJob(f));

    f.selectToolGroup(4);
    f.sampleColours[0] = takeSample(f.project.processedBuffer, 320, 200, 2);
    QTest::mouseClick(f.Button23, Qt::LeftButton);
    QVERIFY(svtest::waitForJob(f));

    f.selectToolGroup(5);
    f.CheckBox3->setChecked(true);
    f.sampleColours[2] = takeSample(f.project.processedBuffer, 150, 300, 2);
    f.targetPanel(2)->setColour(QColor(140, 120, 100));
    QTest::mouseClick(f.Button22, Qt::LeftButton);
    QVERIFY(svtest::waitForJob(f));
    const std::vector<std::uint32_t> balancePreview = shown(f.displayBitmap, rect);
    QTest::mouseClick(f.Button21, Qt::LeftButton);
    QVERIFY(svtest::waitForJob(f));
    QCOMPARE(w.prompter.unexpected, 0);

    const QString bmp = w.dir.filePath(QStringLiteral("window.bmp"));
    const QString tif = w.dir.filePath(QStringLiteral("window.tif"));
    const QString recipe = w.dir.filePath(QStringLiteral("look.json"));
    QVERIFY(f.writeBmpFile(bmp));
    QVERIFY(f.writeTiffFile(tif, 16, 1));
    QVERIFY(f.saveRecipeTo(recipe));
    const Recipe saved = readRecipe(recipe.toStdString()).value;
    QCOMPARE(saved.steps.size(), std::size_t(4));
    QVERIFY(saved.steps[0].operation == OperationId::Blur);
    QVERIFY(saved.steps[3].operation == OperationId::Balance);
    QVERIFY(saved.save && saved.save->format == SaveFormat::Tiff && saved.save->bits == 16);

    // What the preview showed is what was exported.
    const QImage exported(bmp);
    QCOMPARE(exported.size(), QSize(f.project.imageWidth, f.project.imageHeight));
    QVERIFY(shown(exported, rect) == balancePreview);
    QVERIFY(shown(exported, whole) == shown(f.displayBitmap, whole));

    // The same bracket through the command line with the recipe: the same bytes.
    const QString cliTif = w.dir.filePath(QStringLiteral("cli.tif"));
    const QString cliBmp = w.dir.filePath(QStringLiteral("cli.bmp"));
    QCOMPARE(runCli({QStringLiteral("--recipe"), recipe, QStringLiteral("--save"), cliTif, QStringLiteral("--save"),
                     cliBmp}),
             0);
    QVERIFY(!fileBytes(tif).isEmpty());
    QVERIFY(fileBytes(tif) == fileBytes(cliTif));
    QVERIFY(fileBytes(bmp) == fileBytes(cliBmp));
}

void RecipesTest::theRecordFollowsApplyUndoAndProcessAll() {
    svtest::Window w;
    TForm1& f = *w.form;
    QVERIFY(openAndProcess(w));
    f.TabbedNotebook1->setCurrentIndex(2);
    f.selectToolGroup(0);
    QTest::mouseClick(f.Button7, Qt::LeftButton);  // blur
    QVERIFY(svtest::waitForJob(f));
    f.selectToolGroup(1);
    QTest::mouseClick(f.Button12, Qt::LeftButton);  // a sharpen preview: not recorded
    QVERIFY(svtest::waitForJob(f));
    f.TrackBar2->setValue(150);
    QTest::mouseClick(f.Button6, Qt::LeftButton);  // sharpen
    QVERIFY(svtest::waitForJob(f));
    Recipe r = f.recipeNow();
    QCOMPARE(r.steps.size(), std::size_t(2));
    QVERIFY(r.steps[1].operation == OperationId::Sharpen);
    QCOMPARE(r.steps[1].values.at("amount"), 150);
    f.Undo1->trigger();
    r = f.recipeNow();
    QCOMPARE(r.steps.size(), std::size_t(1));
    QVERIFY(r.steps[0].operation == OperationId::Blur);

    // The Step 2 settings are those the picture was made with, not the controls moved since.
    f.TabbedNotebook1->setCurrentIndex(1);
    f.TrackBar11->setValue(250);
    QCOMPARE(f.recipeNow().tone.at("gamma"), 100);
    QTest::mouseClick(f.Button2, Qt::LeftButton);
    QVERIFY(svtest::waitForJob(f));
    r = f.recipeNow();
    QCOMPARE(r.tone.at("gamma"), 250);
    QVERIFY(r.steps.empty());
}

void RecipesTest::aLoadedRecipeIsOneUndoableStep() {
    svtest::Window w;
    TForm1& f = *w.form;
    QVERIFY(openAndProcess(w));
    const FloatImage before = f.project.processedBuffer.clone();

    Recipe recipe;
    recipe.mode = RecipeMode::Fusion;
    recipe.fusion = FusionParams{140, 80, 110};
    recipe.tone["white"] = 230;
    RecipeStep median{OperationId::Median, defaultValues(operation(OperationId::Median).parameters), {}, {}};
    median.values["size"] = 1;
    RecipeStep bilateral{OperationId::Bilateral, defaultValues(operation(OperationId::Bilateral).parameters), {}, {}};
    bilateral.values["opacity"] = 70;
    recipe.steps = {median, bilateral};
    const QString path = w.dir.filePath(QStringLiteral("fused.json"));
    QVERIFY(!writeRecipe(path.toStdString(), recipe));

    QVERIFY(f.loadRecipeFrom(path));
    QVERIFY(svtest::waitForJob(f, 60000));
    QCOMPARE(w.prompter.unexpected, 0);
    QVERIFY(w.prompter.texts(ScriptedPrompter::Kind::Error).isEmpty());
    // The controls show the recipe, the record holds it.
    QVERIFY(f.RadioButtonFusion->isChecked());
    QCOMPARE(f.fusionBars[0]->value(), 140);
    QCOMPARE(f.TrackBar12->value(), 230);
    QCOMPARE(f.recipeNow().steps.size(), std::size_t(2));
    QVERIFY(f.Undo1->isEnabled());

    // The picture is the command line's with the same recipe.
    const QString windowTif = w.dir.filePath(QStringLiteral("w.tif"));
    const QString cliTif = w.dir.filePath(QStringLiteral("c.tif"));
    QVERIFY(f.writeTiffFile(windowTif, 8, 1));
    QCOMPARE(runCli({QStringLiteral("--recipe"), path, QStringLiteral("--save"), cliTif}), 0);
    QVERIFY(fileBytes(windowTif) == fileBytes(cliTif));

    // One Undo takes all of it back.
    f.Undo1->trigger();
    QVERIFY(sameBits(f.project.processedBuffer, before));
    QVERIFY(f.recipeNow().steps.empty());
    QVERIFY(!f.Undo1->isEnabled());
}

void RecipesTest::aBadRecipeChangesNothingAndIsToldInBothLanguages() {
    svtest::Window w;
    TForm1& f = *w.form;
    QVERIFY(openAndProcess(w));
    const FloatImage before = f.project.processedBuffer.clone();
    const int gamma = f.TrackBar11->value();

    // A sound first operation, a bad second one: nothing of it is used.
    const QString bad = w.dir.filePath(QStringLiteral("bad.json"));
    {
        QFile file(bad);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"sombrel-recipe": 1, "tone": {"gamma": 150},
                       "operations": [{"operation": "blur"}, {"operation": "sharpen", "amount": 900}]})");
    }
    QVERIFY(!f.loadRecipeFrom(bad));
    QVERIFY(!f.jobRunning());
    QVERIFY(sameBits(f.project.processedBuffer, before));
    QCOMPARE(f.TrackBar11->value(), gamma);
    const ParameterDescriptor& amount = *findParameter(operation(OperationId::Sharpen).parameters, "amount");
    const QString range = QStringLiteral("operations[1].amount (%1..%2)").arg(amount.minimum).arg(amount.maximum);
    QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error).last(),
             QStringLiteral("Value out of range in the recipe: ") + range);

    f.Polish1Click();
    QVERIFY(!f.loadRecipeFrom(bad));
    QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error).last(),
             QStringLiteral("Wartość spoza zakresu w przepisie: ") + range);
    QVERIFY(!f.loadRecipeFrom(w.dir.filePath(QStringLiteral("none.json"))));
    QVERIFY(w.prompter.texts(ScriptedPrompter::Kind::Error).last().startsWith(
        QStringLiteral("Nie można odczytać przepisu: ")));
    // Another program's version.
    {
        QFile file(bad);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(R"({"sombrel-recipe": 2})");
    }
    QVERIFY(!f.loadRecipeFrom(bad));
    QCOMPARE(w.prompter.texts(ScriptedPrompter::Kind::Error).last(), QStringLiteral("Nieznana wersja przepisu: 2"));
    QVERIFY(sameBits(f.project.processedBuffer, before));

    // Saving where it cannot be written says so.
    QVERIFY(!f.saveRecipeTo(w.dir.filePath(QStringLiteral("no/such/folder/r.json"))));
    QVERIFY(w.prompter.texts(ScriptedPrompter::Kind::Error).last().contains(QStringLiteral("r.json")));
}

void RecipesTest::fileMenuItemsInBothLanguages() {
    svtest::Window w;
    TForm1& f = *w.form;
    QCOMPARE(f.SaveRecipe1->text(), QStringLiteral("Save recipe..."));
    QCOMPARE(f.LoadRecipe1->text(), QStringLiteral("Load recipe..."));
    // Without a project there is nothing to save a recipe of or to load one into.
    emit f.File->aboutToShow();
    QVERIFY(!f.SaveRecipe1->isEnabled());
    QVERIFY(!f.LoadRecipe1->isEnabled());
    w.open(kBracket);
    emit f.File->aboutToShow();
    QVERIFY(f.SaveRecipe1->isEnabled());
    QVERIFY(f.LoadRecipe1->isEnabled());
    f.Polish1Click();
    QCOMPARE(f.SaveRecipe1->text(), QStringLiteral("Zapisz przepis..."));
    QCOMPARE(f.LoadRecipe1->text(), QStringLiteral("Wczytaj przepis..."));

    // Through the menu: the dialogs are asked with the recipe file types of the language in force.
    w.prompter.saveChoices.push_back(Prompter::SaveChoice{w.dir.filePath(QStringLiteral("menu")), 1});
    f.SaveRecipe1->trigger();
    QVERIFY(QFile::exists(w.dir.filePath(QStringLiteral("menu.json"))));
    QVERIFY(w.prompter.lastSaveFilter.startsWith(QStringLiteral("Przepisy (*.json)")));
    w.prompter.openChoices.push_back({w.dir.filePath(QStringLiteral("menu.json"))});
    f.LoadRecipe1->trigger();
    QVERIFY(svtest::waitForJob(f, 60000));
    QVERIFY(w.prompter.lastOpenFilter.startsWith(QStringLiteral("Przepisy (*.json)")));
    QCOMPARE(w.prompter.unexpected, 0);

    if (const QString shots = qEnvironmentVariable("SV_SCREENSHOT_DIR"); !shots.isEmpty()) {
        for (const bool polish : {false, true}) {
            polish ? f.Polish1Click() : f.English1Click();
            f.File->popup(f.mapToGlobal(QPoint(0, 20)));
            QTest::qWait(200);
            QVERIFY(f.File->grab().save(QStringLiteral("%1/file_menu_%2.png").arg(shots, polish ? "pl" : "en")));
            f.File->hide();
            // The refusal as the message box shows it, and the dialog's file types.
            QMessageBox box(QMessageBox::Critical, QString::fromLatin1(TForm1::kCaption),
                            engineMessageText(Message(MessageId::RecipeOutOfRange, 0, "operations[1].amount (10..200)"),
                                              polish),
                            QMessageBox::Ok, &f);
            box.show();
            QTest::qWait(100);
            QVERIFY(box.grab().save(QStringLiteral("%1/recipe_refused_%2.png").arg(shots, polish ? "pl" : "en")));
            QFileDialog dialog(&f, f.LoadRecipe1->text(), w.dir.path(), qtFilterFromTable(recipeFilter(polish)));
            dialog.setOption(QFileDialog::DontUseNativeDialog);
            dialog.show();
            QTest::qWait(200);
            QVERIFY(dialog.grab().save(QStringLiteral("%1/recipe_dialog_%2.png").arg(shots, polish ? "pl" : "en")));
        }
    }
}

QTEST_MAIN(RecipesTest)
#include "test_recipes.moc"
