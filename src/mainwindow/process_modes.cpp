// Step 2 beside the tone curve's render: the choice of exposure fusion with its three weights,
// and local contrast before the render. Both reach the picture through the same Preview, "Auto"
// and "Process all" as the render; the white and black points and the histogram follow either.
#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTabWidget>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <new>
#include <stdexcept>

#include "filters/filter_labels.h"
#include "mainwindow/controls.h"
#include "mainwindow/main_form.h"
#include "operations/operation_registry.h"
#include "tone/fused_levels.h"
#include "operations/fusion_source.h"

namespace sv {

namespace {

QByteArray latin1(std::string_view name) { return QByteArray(name.data(), static_cast<qsizetype>(name.size())); }

// A caption, a track bar and its value label for each descriptor, named by it: TrackBarFusionContrast
// and LabelFusionContrastValue, with the caption LabelFusionContrast.
template <std::size_t N>
void makeDescribedRows(QWidget* group, ParameterList table, const char* const (&englishCaptions)[N],
                       std::array<QLabel*, N>& captions, std::array<QSlider*, N>& bars,
                       std::array<QLabel*, N>& values) {
    for (std::size_t i = 0; i < N; ++i) {
        const ParameterDescriptor& d = table[i];
        const QByteArray caption = "Label" + latin1(d.control.substr(std::string_view("TrackBar").size()));
        captions[i] = makeLabel(group, caption.constData(), QString::fromLatin1(englishCaptions[i]));
        bars[i] = makeTrackBar(group, d);
        values[i] = makeLabel(group, latin1(d.valueLabel).constData(), QString());
        showParameterValue(values[i], d, d.defaultPosition);
        values[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }
}

// A small widget at the top right of the group that holds it, on the group's caption line.
void placeOnCaptionLine(QWidget* widget) {
    const QWidget* group = widget->parentWidget();
    if (!group) return;
    widget->resize(widget->sizeHint());
    widget->move(std::max(0, group->width() - widget->width() - 6), 0);
    widget->raise();
}

// Keeps it there whatever the group's width.
class CaptionLinePlacer final : public QObject {
public:
    CaptionLinePlacer(QWidget* widget, QObject* parent) : QObject(parent), widget_(widget) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // The group's width, or the widget's caption (a language switch), changed.
        const bool changed = event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest;
        if (changed && watched == widget_->parentWidget()) placeOnCaptionLine(widget_);
        return false;
    }

private:
    QWidget* widget_;
};

}  // namespace

void TForm1::buildProcessModeControls(QWidget* page) {
    // The choice and the local contrast check sit on caption lines (the choice on the first
    // group's, which the mode decides), so that the page with both off is as tall as before and
    // still fits the column at the window's restored size.
    ToneModeRow = new QWidget(GroupBox2);
    ToneModeRow->setObjectName(QStringLiteral("ToneModeRow"));
    auto* row = new QHBoxLayout(ToneModeRow);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    RadioButtonToneCurve = new QRadioButton(QStringLiteral("Tone curve"), ToneModeRow);
    RadioButtonToneCurve->setObjectName(QStringLiteral("RadioButtonToneCurve"));
    RadioButtonFusion = new QRadioButton(QStringLiteral("Fusion"), ToneModeRow);
    RadioButtonFusion->setObjectName(QStringLiteral("RadioButtonFusion"));
    RadioButtonToneCurve->setChecked(true);
    row->addWidget(RadioButtonToneCurve);
    row->addWidget(RadioButtonFusion);
    connect(RadioButtonFusion, &QRadioButton::toggled, this, [this] { ToneModeChange(); });

    GroupBoxFusion = new ToolGroup(page, QStringLiteral("GroupBoxFusion"));
    GroupBoxFusion->setMouseTracking(false);
    GroupBoxFusion->setTitle(QStringLiteral("Exposure fusion"));
    makeDescribedRows(GroupBoxFusion, kFusionParameters,
                      {"Contrast weight:", "Saturation weight:", "Exposure weight:"}, fusionCaptions, fusionBars,
                      fusionValues);
    for (int i = 0; i < 3; ++i) {
        QSlider* bar = fusionBars[static_cast<std::size_t>(i)];
        connect(bar, &QSlider::valueChanged, this, [this, i] { fusionWeightChange(i); });
        // A fusion is a background job: a drag previews once, when the bar is let go.
        connect(bar, &QSlider::sliderReleased, this, [this] {
            if (automaticPreviewAllowed()) Button1Click();
        });
    }
    GroupBoxFusion->hide();

    CheckBoxLocalContrast = new QCheckBox(QStringLiteral("Local contrast"), GroupBox6);
    CheckBoxLocalContrast->setObjectName(QStringLiteral("CheckBoxLocalContrast"));
    connect(CheckBoxLocalContrast, &QCheckBox::toggled, this, [this] { localContrastChange(-1); });
    GroupBoxLocalContrast = new ToolGroup(page, QStringLiteral("GroupBoxLocalContrast"));
    GroupBoxLocalContrast->setMouseTracking(false);
    GroupBoxLocalContrast->setTitle(QStringLiteral("Local contrast"));
    makeDescribedRows(GroupBoxLocalContrast, kLocalContrastParameters, {"Compression:", "Detail:", "Radius:"},
                      localCaptions, localBars, localValues);
    for (int i = 0; i < 3; ++i) {
        connect(localBars[static_cast<std::size_t>(i)], &QSlider::valueChanged, this,
                [this, i] { localContrastChange(i); });
    }
    GroupBoxLocalContrast->hide();  // shown while the check is ticked

    auto* modePlacer = new CaptionLinePlacer(ToneModeRow, ToneModeRow);
    for (QWidget* g : std::initializer_list<QWidget*>{GroupBox2, GroupBoxFusion}) g->installEventFilter(modePlacer);
    auto* checkPlacer = new CaptionLinePlacer(CheckBoxLocalContrast, CheckBoxLocalContrast);
    GroupBox6->installEventFilter(checkPlacer);

    auto* column = static_cast<QVBoxLayout*>(page->layout());
    column->insertWidget(column->indexOf(GroupBox6) + 1, GroupBoxLocalContrast);
    column->insertWidget(column->indexOf(GroupBox5), GroupBoxFusion);
    layoutProcessModeControls();
}

void TForm1::layoutProcessModeControls() {
    if (!GroupBoxFusion) return;
    const double s = displayScale;
    const int width = GroupBox6->minimumWidth();
    const int line = std::max(16, fusionCaptions[0]->fontMetrics().height());
    // Fusion: the caption and value above each bar (the weights' captions are long, and the
    // group has the curve's room).
    const int valueW = static_cast<int>(44 * s);
    // Below the caption line and the choice on it, whatever the face's size.
    int y = std::max({22, line + 10, RadioButtonFusion->sizeHint().height() + 4});
    for (std::size_t i = 0; i < 3; ++i) {
        fusionCaptions[i]->setGeometry(8, y, width - valueW - 20, line);
        fusionValues[i]->setGeometry(width - valueW - 8, y, valueW, line);
        fusionBars[i]->setGeometry(8, y + line, width - 16, 22);
        y += line + 26;
    }
    GroupBoxFusion->setMinimumWidth(width);
    GroupBoxFusion->setFixedHeight(y + 2);

    // Local contrast: one row a setting, in the columns of the tone mapping group, the captions'
    // column widened where a language's captions need it.
    int labelW = static_cast<int>(74 * s);
    for (const QLabel* caption : localCaptions)
        labelW = std::max(labelW, caption->fontMetrics().horizontalAdvance(caption->text()) + 6);
    const int barX = 8 + labelW, barW = width - barX - valueW - 10;
    y = 22;
    for (std::size_t i = 0; i < 3; ++i) {
        localCaptions[i]->setGeometry(8, y, labelW, 22);
        localBars[i]->setGeometry(barX, y, barW, 22);
        localValues[i]->setGeometry(width - valueW - 8, y, valueW, 22);
        y += 24;
    }
    GroupBoxLocalContrast->setMinimumWidth(width);
    GroupBoxLocalContrast->setFixedHeight(y + 2);
    placeOnCaptionLine(ToneModeRow);
    placeOnCaptionLine(CheckBoxLocalContrast);
}

bool TForm1::fusionMode() const { return RadioButtonFusion && RadioButtonFusion->isChecked(); }

void TForm1::ToneModeChange() {
    const bool fusion = fusionMode();
    // The curve, gamma, saturation and local contrast act on the render only.
    GroupBox2->setVisible(!fusion);
    GroupBox6->setVisible(!fusion);
    GroupBoxLocalContrast->setVisible(!fusion && CheckBoxLocalContrast->isChecked());
    GroupBoxFusion->setVisible(fusion);
    // The choice moves to the caption line of the group now on top.
    ToneModeRow->setParent(fusion ? GroupBoxFusion : GroupBox2);
    ToneModeRow->show();
    placeOnCaptionLine(ToneModeRow);
    // The kept exposures take up to a picture's memory: not while the render is chosen.
    if (!fusion) fusionCache.clear();
    FormResize();
    if (automaticPreviewAllowed()) Button1Click();
}

void TForm1::fusionWeightChange(int index) {
    const std::size_t i = static_cast<std::size_t>(index);
    showParameterValue(fusionValues[i], kFusionParameters[i], fusionBars[i]->value());
    if (!fusionBars[i]->isSliderDown() && automaticPreviewAllowed()) Button1Click();
}

void TForm1::localContrastChange(int index) {
    if (index >= 0) {
        const std::size_t i = static_cast<std::size_t>(index);
        showParameterValue(localValues[i], kLocalContrastParameters[i], localBars[i]->value());
    } else {
        GroupBoxLocalContrast->setVisible(CheckBoxLocalContrast->isChecked() && !fusionMode());
        FormResize();
    }
    if (automaticPreviewAllowed()) autoPreview();
}

FusionParams TForm1::fusionSnapshot() const {
    const Operation& fusion = operation(OperationId::Fusion);
    return std::any_cast<FusionOperationParams>(fusion.paramsFrom(controlValues(fusion.parameters))).weights;
}

LocalContrastParams TForm1::localContrastSnapshot() const {
    LocalContrastParams params = localContrastParams(controlValues(kLocalContrastParameters));
    params.enabled = CheckBoxLocalContrast->isChecked();
    return params;
}

void TForm1::stackChanged() {
    fusionCache.clear();
    localContrastModel.reset();
    // Adding, removing and merging again read pictures into the working copy Undo restores from.
    setUndoAvailable(false);
}

// ---------------------------------------------------------------------------- jobs

JobRunner::Body TForm1::makeRenderJob(const Region& region) {
    if (fusionMode()) return makeFusionJob(region);
    const RenderParams params = renderSnapshot();
    Project* p = &project;
    RenderHistogram* histogram = &histogramData;
    // The model of the whole stack is built once and kept while the stack and the radius stay.
    std::shared_ptr<const LocalContrastModel>* kept = &localContrastModel;
    return [p, histogram, params, region, kept](ProgressSink& progress) {
        const bool build =
            params.localContrast.enabled && !localContrastModelFits(kept->get(), *p, params.localContrast.radiusPosition);
        beginProgress(progress, 2ll * region.height + (build ? p->imageHeight : 0));
        operation(OperationId::Render).run(OperationTarget{*p, histogram, kept, nullptr}, region, params, progress);
    };
}

JobRunner::Body TForm1::makeFusionJob(const Region& region) {
    // The worker cannot ask: each file is read again as it was opened.
    // With ghost removal on, they are corrected as the stack was merged.
    auto source = std::make_shared<FileFusionSource>(projectFusionSource(project, DecodeHooks{}, ghosts));
    const std::string key = fusionBracketKey(project, ghosts);
    const Operation* fusion = &operation(OperationId::Fusion);
    FusionOperationParams params = std::any_cast<FusionOperationParams>(fusion->paramsFrom(controlValues(fusion->parameters)));
    params.whitePosition = TrackBar12->value();
    params.blackPosition = TrackBar13->value();
    const bool whole = region == Region{0, project.imageWidth, 0, project.imageHeight};
    const Region r = clippedRegion(region, project.imageWidth, project.imageHeight);
    Project* p = &project;
    FusionPreviewCache* cache = &fusionCache;
    RenderHistogram* histogram = &histogramData;
    std::optional<Message>* message = &jobMessage_;
    return [=](ProgressSink& progress) {
        const std::int64_t fusing = fusionProgressSteps(p->exposureCount, p->imageHeight);
        const bool fuses = whole || !cache->holds(params.weights, r, key);
        beginProgress(progress, (fuses ? fusing : 0) + 2ll * r.height);
        FusionInput input(*source, cache, key);
        fusion->run(OperationTarget{*p, histogram, nullptr, &input}, region, params, progress);
        const FusionOutcome& outcome = input.outcome;
        if (!outcome.ok()) {
            if (outcome.status == FusionStatus::NotEnoughMemory) throw std::bad_alloc();
            if (outcome.status == FusionStatus::ExposureUnavailable && source->failure()) *message = *source->failure();
            throw std::runtime_error("exposure fusion stopped");
        }
    };
}

void TForm1::autoPreview() {
    // Synchronous, on the UI thread, and never while a job runs or before the throttle allows.
    // A fusion is never run here: its controls start the Preview job instead.
    if (!CheckBox5 || !CheckBox5->isChecked() || jobRunning() || !previewAllowed || fusionMode()) return;
    if (!Button1->isEnabled() || !project.buffersAllocated || project.previewRect.empty()) return;
    const Region region = project.previewRect;
    const RenderParams params = renderSnapshot();
    const bool build = params.localContrast.enabled &&
                       !localContrastModelFits(localContrastModel.get(), project, params.localContrast.radiusPosition);
    beginProgress(gaugeSink(), 2ll * region.height + (build ? project.imageHeight : 0));
    operation(OperationId::Render).run(OperationTarget{project, &histogramData, &localContrastModel, nullptr}, region,
                                       params, gaugeSink());
    drawRegion(project.processedBuffer, region, displayBitmap, gaugeSink());
    showDisplayBitmap();
    drawHistogram(region);
    project.wholeImageProcessed = false;
    markUnsaved();
    endProgress(gaugeSink(), project.imageHeight);
    previewAllowed = false;
    throttleCounter = 0;
}

}  // namespace sv
