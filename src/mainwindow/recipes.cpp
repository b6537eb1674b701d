// File > Save recipe / Load recipe, and the record of what the user applied that a recipe holds.
#include <QAction>
#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QToolButton>

#include <cmath>

#include "mainwindow/main_form.h"
#include "mainwindow/prompter.h"

namespace sv {

namespace {

// The curve editor's box is 200 x displayScale pixels; recipes keep points in the 200-pixel box.
int toStandardBox(int coordinate, double scale) { return static_cast<int>(std::lround(coordinate / scale)); }
int toWindowBox(int coordinate, double scale) { return static_cast<int>(std::lround(coordinate * scale)); }

}  // namespace

Recipe TForm1::step2Recipe() const {
    Recipe r;
    r.mode = fusionMode() ? RecipeMode::Fusion : RecipeMode::Render;
    const RenderParams render = renderSnapshot();
    r.tone = toneValues(render);
    r.localContrast = render.localContrast;
    r.fusion = fusionSnapshot();
    r.curveMode = toneCurve->curveMode();
    const double scale = toneCurve->displayScale();
    const CurvePoints& points = toneCurve->controlPoints();
    bool straight = true;
    for (int i = 1; i <= toneCurve->pointCount(); ++i) {
        const CurvePoint p = points[static_cast<std::size_t>(i)];
        r.curvePoints.push_back({toStandardBox(p.X, scale), toStandardBox(p.Y, scale)});
        straight = straight && p.X == p.Y;
    }
    // Points on the diagonal are the straight curve, whatever their number.
    if (straight) r.curvePoints.clear();
    return r;
}

Recipe TForm1::recipeNow() const {
    Recipe r = processedRecipe_ ? *processedRecipe_ : step2Recipe();
    r.autoAlign = Autoalign1->isChecked();
    r.deghost = ghosts.active;
    r.ghost = ghosts.params;
    r.steps = appliedSteps_;
    r.save = lastSave_;
    return r;
}

void TForm1::noteApplyStarting(JobKind kind, const std::any& params, const ParameterValues& values) {
    if (isRectJob(kind)) return;
    RecipeStep step;
    step.operation = kind.operation;
    if (kind.operation == OperationId::Neutral) step.neutralSample = std::any_cast<const Rgb&>(params);
    else if (kind.operation == OperationId::Balance) step.balance = std::any_cast<const BalanceParams&>(params);
    else step.values = values;
    pendingStep_ = std::move(step);
}

void TForm1::recordFinishedJob(JobKind kind, bool completed) {
    const bool recipeLoad = loadingRecipe_.has_value();
    if (kind == JobKind::ProcessAll || kind == JobKind::FusionProcessAll) {
        if (completed) {
            // A new picture: the Applies before it are no longer in it.
            processedRecipe_ = recipeLoad ? *loadingRecipe_ : pendingProcess_;
            appliedSteps_ = recipeLoad ? loadingRecipe_->steps : std::vector<RecipeStep>{};
            if (!recipeLoad) beforeLoad_.reset();
            if (recipeLoad) {
                // The whole load is one step for Undo.
                setUndoAvailable(beforeLoad_.has_value());
            }
        } else {
            beforeLoad_.reset();
        }
        pendingProcess_.reset();
        loadingRecipe_.reset();
    } else if (isApplyJob(kind)) {
        if (completed && pendingStep_) {
            appliedSteps_.push_back(*pendingStep_);
            // Undo now takes this Apply back, no longer the load before it.
            beforeLoad_.reset();
        }
        pendingStep_.reset();
    }
}

void TForm1::recordUndo() {
    if (beforeLoad_) {
        processedRecipe_ = beforeLoad_->processed;
        appliedSteps_ = beforeLoad_->steps;
        beforeLoad_.reset();
    } else if (!appliedSteps_.empty()) {
        appliedSteps_.pop_back();
    }
}

void TForm1::SaveRecipe1Click() {
    if (jobRunning() || !project.buffersAllocated) return;
    const auto choice = prompter_->chooseSaveFile(this, recipeFilter(polish()), 1, QStringLiteral("*.json"));
    if (!choice || choice->fileName.isEmpty()) return;
    QString fileName = choice->fileName;
    if (choice->filterIndex == 1 && !fileName.contains(QLatin1Char('.'))) fileName += QStringLiteral(".json");
    if (wouldOverwrite(fileName) && !prompter_->askYesNo(this, text(Msg::FileExists))) return;
    saveRecipeTo(fileName);
}

bool TForm1::saveRecipeTo(const QString& fileName) {
    if (const Failure failed = writeRecipe(fileName.toStdString(), recipeNow())) {
        showWriteFailure(nullptr, writeFailedText(fileName, *failed));
        return false;
    }
    return true;
}

void TForm1::LoadRecipe1Click() {
    if (jobRunning() || !project.buffersAllocated) return;
    const QStringList files = prompter_->chooseOpenFiles(this, recipeFilter(polish()));
    if (files.isEmpty()) return;
    loadRecipeFrom(files.first());
}

void TForm1::showRecipeSettings(const Recipe& recipe) {
    // The controls show what the picture was made with; the job already runs, so that none of
    // them starts a preview of its own.
    (recipe.mode == RecipeMode::Fusion ? RadioButtonFusion : RadioButtonToneCurve)->setChecked(true);
    const RenderParams render = renderParams(recipe.tone);
    TrackBar11->setValue(render.gammaPosition);
    TrackBar10->setValue(render.saturationPosition);
    TrackBar12->setValue(render.whitePosition);
    TrackBar13->setValue(render.blackPosition);
    const ParameterValues weights = sv::fusionValues(recipe.fusion);
    const ParameterValues settings = sv::localContrastValues(recipe.localContrast);
    for (std::size_t i = 0; i < 3; ++i) fusionBars[i]->setValue(weights.at(std::string(kFusionParameters[i].key)));
    for (std::size_t i = 0; i < 3; ++i) localBars[i]->setValue(settings.at(std::string(kLocalContrastParameters[i].key)));
    CheckBoxLocalContrast->setChecked(recipe.localContrast.enabled);
    toneCurve->reset();
    toneCurve->setCurveMode(recipe.curveMode);
    if (!recipe.curvePoints.empty()) {
        const double scale = toneCurve->displayScale();
        std::vector<CurvePoint> points;
        for (const CurvePoint& p : recipe.curvePoints) points.push_back({toWindowBox(p.X, scale), toWindowBox(p.Y, scale)});
        std::string reason;
        toneCurve->setMovablePoints(points, reason);
    }
    rebuildCurve();
    placePointMarkers();
    Autoalign1->setChecked(recipe.autoAlign);
}

bool TForm1::loadRecipeFrom(const QString& fileName) {
    if (jobRunning() || jobs_.busy()) return false;
    const Outcome<Recipe> read = readRecipe(fileName.toStdString());
    if (!read.ok()) {
        showEngineMessage(*read.error, true);
        return false;
    }
    const Recipe recipe = read.value;
    if (project.exposureCount == 0 || !project.buffersAllocated) {
        showEngineMessage(Message(MessageId::NoPictureOpen), true);
        return false;
    }
    // Ghost removal is chosen on Step 1, where its merge runs with its own view; a recipe that
    // wants other settings than the project has says so rather than give another picture.
    if (recipe.deghost != ghosts.active ||
        (recipe.deghost && (recipe.ghost.reference != ghosts.params.reference ||
                            recipe.ghost.strength != ghosts.params.strength))) {
        const QString wanted = recipe.deghost ? QStringLiteral("merge.deghost (true, ghostReference %1, ghostStrength %2)")
                                                    .arg(recipe.ghost.reference + 1)
                                                    .arg(recipe.ghost.strength)
                                              : QStringLiteral("merge.deghost (false)");
        showEngineMessage(Message(MessageId::RecipeOutOfRange, 0, wanted.toStdString()), true);
        return false;
    }

    const bool hadPicture = project.wholeImageProcessed;
    RecipeLoadUndo undo{processedRecipe_, appliedSteps_};
    Project* p = &project;
    RenderHistogram* histogram = &histogramData;
    std::optional<Message>* message = &jobMessage_;
    loadingRecipe_ = recipe;
    const GhostRemovalState* ghostState = &ghosts;  // unchanged while the job runs: the window waits
    const bool started =
        startJob(JobKind::ProcessAll, [p, ghostState, histogram, message, recipe, hadPicture](ProgressSink& progress) {
        // Undo brings back the picture from before the recipe, whole: it goes into the working
        // copy that Undo reads once every operation is done.
        FloatImage before;
        if (hadPicture) before = p->processedBuffer.clone();
        const Outcome<RecipeResult> applied = applyRecipe(*p, recipe, *ghostState, progress);
        if (!applied.ok()) {
            if (hadPicture) p->processedBuffer = std::move(before);
            *message = *applied.error;
            throw std::runtime_error("the recipe could not be applied");
        }
        *histogram = applied.value.histogram;
        if (hadPicture) p->newImageBuffer = std::move(before);
    });
    if (!started) {
        loadingRecipe_.reset();
        return false;
    }
    showRecipeSettings(recipe);
    beforeLoad_ = hadPicture ? std::optional<RecipeLoadUndo>(std::move(undo)) : std::nullopt;
    return true;
}

}  // namespace sv
