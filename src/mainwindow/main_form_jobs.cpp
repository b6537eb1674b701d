// Background jobs of the main window: starting one, the Timer1 tick that finishes it, the
// preview throttle, and long writes beside the window's thread.
#include <QCoreApplication>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include <atomic>
#include <exception>
#include <thread>

#include "filters/filter_framework.h"
#include "mainwindow/controls.h"
#include "mainwindow/main_form.h"
#include "mainwindow/picture_box.h"
#include "mainwindow/prompter.h"
#include "operations/operation_registry.h"

namespace sv {

namespace {
RunningJob runningJobOf(JobKind kind) {
    switch (jobGroup(kind)) {
        case JobGroup::RenderWhole: return RunningJob::RenderWhole;
        case JobGroup::RenderRect: return RunningJob::RenderRect;
        case JobGroup::FilterWhole: return RunningJob::FilterWhole;
        case JobGroup::FilterRect: return RunningJob::FilterRect;
        case JobGroup::Stack: return RunningJob::Stack;
    }
    return RunningJob::None;
}
}  // namespace

bool TForm1::startJob(JobKind kind, JobRunner::Body body) {
    if (jobRunning() || jobs_.busy() || !project.buffersAllocated) return false;
    // The pages, the tool bar, the File menu, Undo (it rewrites the buffers the worker uses) and
    // the job's extra controls are held until the job has finished.
    runningJob_ = runningJobOf(kind);
    applyCommandStates();
    runningKind_ = kind;
    jobMessage_.reset();

    const bool apply = isApplyJob(kind);
    Project* p = &project;
    const bool started = jobs_.start(kind, [p, apply, body = std::move(body)](ProgressSink& progress) {
        body(progress);
        if (apply) p->processedBuffer.copyRegionFrom(p->processedCopy, p->processedBuffer.bounds());
    });
    if (!started) {
        // No thread: nothing runs, so the window must not stay disabled.
        returnToRest();
        return false;
    }
    return true;
}

void TForm1::copyGaugeFromJob() { copyGauge(jobs_.progress()); }

void TForm1::copyGauge(const AtomicProgress& p) {
    CGauge1->setShowText(p.textVisible());
    if (p.maximum() > 0) CGauge1->setGaugeMaximum(p.maximum());
    CGauge1->setProgress(p.position());
}

void TForm1::runBesideWindow(const std::function<void(ProgressSink&)>& work) {
    AtomicProgress progress;
    progress.setMaximum(CGauge1->gaugeMaximum());
    std::atomic<bool> done{false};
    std::exception_ptr failure;
    besideWork_ = true;
    std::thread worker([&] {
        try {
            work(progress);
        } catch (...) {
            failure = std::current_exception();
        }
        done.store(true, std::memory_order_release);
        // Wakes the wait below.
        QMetaObject::invokeMethod(this, [] {}, Qt::QueuedConnection);
    });
    // The wait sleeps until an event comes: the window's 100 ms timer (which also moves the gauge
    // here), a paint, a hook of the work, or the work's end. At least one look at the events, so
    // that what was already due is not held up by the work.
    do {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
        copyGauge(progress);
    } while (!done.load(std::memory_order_acquire));
    worker.join();
    besideWork_ = false;
    copyGauge(progress);
    if (failure) std::rethrow_exception(failure);
}

void TForm1::returnToRest() {
    CGauge1->setProgress(0);
    CGauge1->setShowText(false);
    CGauge1->setGaugeMaximum(project.imageHeight);
    jobs_.progress().setPosition(0);
    jobs_.progress().setTextVisible(false);
    runningJob_ = RunningJob::None;
    applyCommandStates();
}

void TForm1::finishJob(JobKind kind) {
    // The worker has ended: the gauge goes on from where it left it, for the drawing pass.
    copyGaugeFromJob();
    if (jobGroup(kind) == JobGroup::Stack) {
        finishStackJob(kind);
        return;
    }
    if (jobs_.outcome() != JobOutcome::Completed) {
        finishFailedJob(kind);
        return;
    }
    const JobGroup group = jobGroup(kind);
    const Region whole = Region{0, project.imageWidth, 0, project.imageHeight};
    switch (group) {
        case JobGroup::RenderWhole:
            drawRegion(project.processedBuffer, whole, displayBitmap, gaugeSink());
            drawHistogram(whole);
            project.wholeImageProcessed = true;
            markUnsaved();
            break;
        case JobGroup::RenderRect:
            drawRegion(project.processedBuffer, project.previewRect, displayBitmap, gaugeSink());
            drawHistogram(project.previewRect);
            project.wholeImageProcessed = false;
            markUnsaved();
            break;
        case JobGroup::FilterWhole:
            drawRegion(project.processedCopy, whole, displayBitmap, gaugeSink());
            markUnsaved();
            break;
        case JobGroup::FilterRect:
            drawRegion(project.processedCopy, project.previewRect, displayBitmap, gaugeSink());
            break;
        case JobGroup::Stack: break;  // finished by finishStackJob
    }
    showDisplayBitmap();
    switch (undoEffect(kind)) {
        case UndoEffect::Enable: undoAvailable_ = true; break;
        case UndoEffect::Disable: undoAvailable_ = false; break;
        case UndoEffect::Unchanged: break;
    }
    returnToRest();
    if (group == JobGroup::RenderWhole && TabbedNotebook1->currentIndex() == 2) setStep3GroupsEnabled(true);
    recordFinishedJob(kind, true);
}

void TForm1::finishStackJob(JobKind kind) {
    returnToRest();
    std::function<void()> done = std::move(stackJobDone_);
    stackJobDone_ = nullptr;
    if (jobs_.outcome() != JobOutcome::Completed) {
        // A merge stopped half way: the plain stack comes back whole and ghost removal is off.
        if (kind == JobKind::Deghost && !ghosts.plainStack.empty()) {
            project.stackBuffer = std::move(ghosts.plainStack);
            project.stackMax = ghosts.plainStackMax;
            ghosts = GhostRemovalState{};
            project.wholeImageProcessed = false;
            stackChanged();
        }
        updateMergeControls();
        if (jobs_.outcome() == JobOutcome::OutOfMemory) {
            prompter_->showError(this, text(Msg::NotEnoughMemory));
        } else {
            if (!jobs_.failureDetail().empty()) qWarning("job failed: %s", jobs_.failureDetail().c_str());
            prompter_->showError(this, text(Msg::JobFailed));
        }
        return;
    }
    if (done) done();
}

void TForm1::finishFailedJob(JobKind kind) {
    const JobGroup group = jobGroup(kind);
    const Region whole = Region{0, project.imageWidth, 0, project.imageHeight};
    const Region region = clippedRegion(isRectJob(kind) ? project.previewRect : whole, project.imageWidth,
                                     project.imageHeight);
    if (group == JobGroup::FilterWhole || group == JobGroup::FilterRect) {
        // A filter only reads processedBuffer, and an Apply copies its output back only after the
        // whole body has run: the picture is the one from before the job. Its half-written output
        // is dropped. The working copy (the Undo picture) may have been overwritten already, so
        // Undo could bring back a mixture: it is switched off, as after a preview.
        if (project.processedCopy.sameSize(project.processedBuffer))
            project.processedCopy.copyRegionFrom(project.processedBuffer, region);
        undoAvailable_ = false;
    } else {
        // A render writes processedBuffer row by row: it may hold part of the new render now.
        // It is no longer a whole render, and the screen shows what a save would write.
        project.wholeImageProcessed = false;
        if (TabbedNotebook1->currentIndex() == 2) setStep3GroupsEnabled(false);
        markUnsaved();
    }
    drawRegion(project.processedBuffer, region, displayBitmap, gaugeSink());
    showDisplayBitmap();
    returnToRest();
    recordFinishedJob(kind, false);
    // Told once the window is live again, in the language in force now.
    if (jobs_.outcome() == JobOutcome::OutOfMemory) {
        prompter_->showError(this, text(Msg::NotEnoughMemory));
    } else if (jobMessage_) {
        // The engine said why (an exposure the fusion could not read again).
        showEngineMessage(*jobMessage_, true);
        jobMessage_.reset();
    } else {
        if (!jobs_.failureDetail().empty()) qWarning("job failed: %s", jobs_.failureDetail().c_str());
        prompter_->showError(this, text(Msg::JobFailed));
    }
}

void TForm1::Timer1Timer() {
    alignment.differenceThreshold = alignment.meanDifference;

    ++throttleCounter;
    if (throttleCounter % 3 == 0) previewAllowed = true;
    throttleCounter %= 3;

    if (!jobs_.busy()) return;
    // Only the kind that runs can have its flag set; the groups are looked at in their order.
    const JobKind kind = runningKind_;
    if (jobs_.takeFlag(kind)) {
        finishJob(kind);
    } else {
        copyGaugeFromJob();
    }
}

void TForm1::Button1Click() {
    if (!Button1->isEnabled() || jobRunning()) return;
    startJob(fusionMode() ? JobKind::FusionPreview : JobKind::TonePreview, makeRenderJob(project.previewRect));
}

void TForm1::Button2Click() {
    if (!Button2->isEnabled() || jobRunning()) return;
    pendingProcess_ = step2Recipe();
    startJob(fusionMode() ? JobKind::FusionProcessAll : JobKind::ProcessAll,
             makeRenderJob(Region{0, project.imageWidth, 0, project.imageHeight}));
}

void TForm1::Undo1Click() {
    if (jobRunning() || jobs_.busy() || !Undo1->isEnabled()) return;
    undoLastApply();
}

void TForm1::Button16Click() {
    if (jobRunning() || jobs_.busy()) return;
    refreshProcessed();
}

}  // namespace sv
