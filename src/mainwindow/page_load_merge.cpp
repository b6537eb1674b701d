// Step 1 additions: automatic alignment of a new image (the Align button and the Edit menu's
// automatic alignment of opened files) and ghost removal ("Remove ghosts", its strength and the
// Ghosts view). Both run as background jobs with the gauge; with neither in use Step 1 works as
// it always did.
#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QThread>
#include <QTimer>

#include <memory>

#include "mainwindow/about_box.h"
#include "mainwindow/controls.h"
#include "mainwindow/main_form.h"
#include "mainwindow/picture_box.h"
#include "mainwindow/prompter.h"
#include "stack/exposure_stack.h"
#include "stack/ghost_view.h"

namespace sv {

namespace {
const ParameterDescriptor& strengthParameter() { return describedParameter(kGhostRemovalParameters, "strength"); }
}  // namespace

void TForm1::buildMergeControls(QGridLayout* alignGrid, QBoxLayout* pageBox) {
    Button27 = new QPushButton(QStringLiteral("Align"), GroupBox3);
    Button27->setObjectName(QStringLiteral("Button27"));
    Button27->setEnabled(false);
    alignGrid->addWidget(Button27, 1, 3, 2, 1, Qt::AlignVCenter);
    RadioButton4 = new QRadioButton(QStringLiteral("Ghosts"), GroupBox3);
    RadioButton4->setObjectName(QStringLiteral("RadioButton4"));
    RadioButton4->setEnabled(false);

    auto* ghostRow = new QGridLayout();
    ghostRow->setHorizontalSpacing(4);
    CheckBox6 = new QCheckBox(QStringLiteral("Remove ghosts"), GroupBox1);
    CheckBox6->setObjectName(QStringLiteral("CheckBox6"));
    Label45 = new QLabel(QStringLiteral("Strength:"), GroupBox1);
    Label45->setObjectName(QStringLiteral("Label45"));
    TrackBar16 = new QSlider(Qt::Horizontal, GroupBox1);
    TrackBar16->setObjectName(QString::fromLatin1(strengthParameter().control.data(), qsizetype(strengthParameter().control.size())));
    TrackBar16->setRange(strengthParameter().minimum, strengthParameter().maximum);
    TrackBar16->setValue(strengthParameter().defaultPosition);
    TrackBar16->setPageStep(10);
    Label46 = new QLabel(GroupBox1);
    Label46->setObjectName(QString::fromLatin1(strengthParameter().valueLabel.data(), qsizetype(strengthParameter().valueLabel.size())));
    showParameterValue(Label46, strengthParameter(), strengthParameter().defaultPosition);
    Label46->setMinimumWidth(Label46->fontMetrics().horizontalAdvance(QStringLiteral("100")) + 2);
    ghostRow->addWidget(CheckBox6, 0, 0, 1, 3);
    ghostRow->addWidget(Label45, 1, 0);
    ghostRow->addWidget(TrackBar16, 1, 1);
    ghostRow->addWidget(Label46, 1, 2);
    ghostRow->setColumnStretch(1, 1);
    pageBox->addLayout(ghostRow);
    for (QWidget* w : std::initializer_list<QWidget*>{CheckBox6, Label45, TrackBar16}) w->setEnabled(false);

    connect(Button27, &QPushButton::clicked, this, &TForm1::Button27Click);
    connect(RadioButton4, &QRadioButton::clicked, this, &TForm1::RadioButton4Click);
    connect(CheckBox6, &QCheckBox::clicked, this, &TForm1::CheckBox6Click);
    connect(TrackBar16, &QSlider::valueChanged, this, &TForm1::TrackBar16Change);
    connect(TrackBar16, &QSlider::sliderReleased, this, &TForm1::TrackBar16Released);
}

void TForm1::updateMergeControls() {
    const bool pending = project.exposureCount > 0 && newImagePending();
    {
        const QSignalBlocker block(CheckBox6);
        CheckBox6->setChecked(ghosts.active);
    }
    applyCommandStates();
    if (RadioButton4->isChecked() && !(ghosts.active && !pending)) {
        RadioButton1->setChecked(true);
        showDisplayBitmap();
    } else if (RadioButton4->isChecked()) {
        drawGhostView();
    }
}

void TForm1::resetMergeState() {
    ghosts = GhostRemovalState{};
    ghostBitmap = DisplayBitmap();
    alignmentResidual = -1.0f;
    showAlignmentResidual();
    updateMergeControls();
}

void TForm1::showAlignmentResidual() {
    if (!alignmentStatus) return;
    if (alignmentResidual < 0.0f) {
        alignmentStatus->clear();
        alignmentStatus->hide();
        return;
    }
    alignmentStatus->setText(text(Msg::AlignmentResidual, QLocale().toString(alignmentResidual, 'f', 2)));
    alignmentStatus->show();
}

// ---------------------------------------------------------------------------- alignment

bool TForm1::startAlignJob(std::function<void(const AutoAlignResult&)> done) {
    auto found = std::make_shared<AutoAlignResult>();
    Project* p = &project;
    stackJobDone_ = [found, done = std::move(done)] { done(*found); };
    const bool started = startJob(JobKind::Align, [p, found](ProgressSink& progress) {
        *found = autoAlign(p->newImageBuffer, p->stackBuffer, AutoAlignParams{}, progress);
    });
    if (!started) {
        stackJobDone_ = nullptr;
        return false;
    }
    return true;
}

void TForm1::applySuggestion(const AutoAlignResult& found, bool showDifference) {
    if (!found.valid || project.exposureCount < 2) return;
    ExposureRecord& record = project.newestExposure();
    record.shiftX = found.shiftX;
    record.shiftY = found.shiftY;
    alignmentResidual = found.residual;
    showAlignmentResidual();
    if (showDifference && newImagePending()) {
        // The suggestion is shown as the difference, so that the user sees it and can still change it.
        RadioButton3->setChecked(true);
        alignmentRefresh();
    } else {
        Edit3->setText(QString::number(record.shiftX));
        Edit4->setText(QString::number(record.shiftY));
    }
    if (found.doubtful) prompter_->showMessage(this, text(Msg::ImagesMayBeRotated));
}

void TForm1::Button27Click() {
    if (jobRunning() || !Button27->isEnabled() || !newImagePending() || project.exposureCount < 2) return;
    startAlignJob([this](const AutoAlignResult& found) { applySuggestion(found, true); });
}

bool TForm1::autoAlignChecked() const { return Autoalign1 && Autoalign1->isChecked(); }

void TForm1::Autoalign1Click() {
    // Only a setting: it takes effect at the next open, and is kept between runs.
}

// ---------------------------------------------------------------------------- opening

bool TForm1::alignOpenedFile(bool showDifference) {
    bool aligned = false;
    const bool started = startAlignJob([this, showDifference, &aligned](const AutoAlignResult& found) {
        applySuggestion(found, showDifference);
        aligned = true;
    });
    if (!started) return true;  // no worker: the file goes on unaligned
    // The window stays live (the job holds the pages, the tool bar and File) until the timer has
    // finished the job; a stopped timer is stood in for, so that the open cannot hang.
    while (jobs_.busy() || jobRunning()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (jobs_.busy() && !Timer1->isActive()) Timer1Timer();
        if (jobs_.busy()) QThread::msleep(5);
    }
    return aligned;
}

// ---------------------------------------------------------------------------- ghost removal

ExposureSource TForm1::ghostSource() {
    // Reader notices are gathered on the worker and shown once the window is live again.
    DecodeHooks hooks;
    std::vector<std::string>* notices = &jobNotices_;
    hooks.notify = [notices](const Message& m) { notices->push_back(englishText(m)); };
    return exposureFiles(project, hooks);
}

void TForm1::startGhostJob(std::function<GhostResult(ProgressSink&)> work,
                           std::function<void(const GhostResult&)> before) {
    auto result = std::make_shared<GhostResult>();
    jobNotices_.clear();
    stackJobDone_ = [this, result, before = std::move(before)] {
        if (before) before(*result);
        ghostMergeFinished(*result);
    };
    const bool started = startJob(JobKind::Deghost, [result, work = std::move(work)](ProgressSink& progress) {
        *result = work(progress);
    });
    if (!started) {
        // Nothing ran: the box shows the state as it is.
        stackJobDone_ = nullptr;
        updateMergeControls();
        return;
    }
}

void TForm1::ghostMergeFinished(const GhostResult& result) {
    // The stack was merged again (and may have gained or lost an exposure): what was kept for the
    // old one, the fusion's exposures and the local contrast model, no longer holds.
    stackChanged();
    markUnsaved();
    setStep3GroupsEnabled(false);
    for (const std::string& notice : jobNotices_) prompter_->showMessage(this, QString::fromStdString(notice));
    jobNotices_.clear();
    updateMergeControls();
    if (result.error) showEngineMessage(*result.error, true);
}

void TForm1::CheckBox6Click() {
    if (jobRunning() || !CheckBox6->isEnabled()) {
        updateMergeControls();
        return;
    }
    if (!CheckBox6->isChecked()) {
        // Undo: the plain stack comes back bit for bit.
        restorePlainStack(project, ghosts);
        stackChanged();
        markUnsaved();
        setStep3GroupsEnabled(false);
        updateMergeControls();
        return;
    }
    // The reference is the selected line (the first when none is).
    int reference = ListBox1->currentRow();
    if (reference < 0 || reference >= project.exposureCount) {
        reference = 0;
        ListBox1->setCurrentRow(0);
    }
    const GhostRemovalParams params{reference, TrackBar16->value()};
    const int count = project.exposureCount;
    startGhostJob([this, params, count](ProgressSink& progress) {
        return removeGhosts(project, ghosts, params, count, ghostSource(), progress);
    });
}

void TForm1::TrackBar16Change() {
    showParameterValue(Label46, strengthParameter(), TrackBar16->value());
    // While dragging, the merge waits for the release; keys and clicks merge at once.
    if (!TrackBar16->isSliderDown()) TrackBar16Released();
}

void TForm1::TrackBar16Released() {
    if (!ghosts.active || jobRunning() || TrackBar16->value() == ghosts.params.strength) return;
    GhostRemovalParams params = ghosts.params;
    params.strength = TrackBar16->value();
    const int count = project.exposureCount;
    startGhostJob([this, params, count](ProgressSink& progress) {
        return removeGhosts(project, ghosts, params, count, ghostSource(), progress);
    });
}

void TForm1::drawGhostView() {
    if (!ghosts.active || !project.buffersAllocated) return;
    ghostBitmap = ghostView(project.stackBuffer, project.stackMax, ghosts.mask);
    Image4->showBitmap(ghostBitmap);
    Image4->update();
}

void TForm1::RadioButton4Click() {
    if (!RadioButton4->isEnabled()) return;
    drawGhostView();
}

}  // namespace sv
