#include "mainwindow/jobs.h"

#include <exception>
#include <new>
#include <system_error>

namespace sv {

JobGroup jobGroup(JobKind kind) {
    switch (kind) {
        case JobKind::ProcessAll: return JobGroup::RenderWhole;
        case JobKind::TonePreview: return JobGroup::RenderRect;
        case JobKind::Align:
        case JobKind::Deghost: return JobGroup::Stack;
        default: return isRectJob(kind) ? JobGroup::FilterRect : JobGroup::FilterWhole;
    }
}

bool isRectJob(JobKind kind) {
    switch (kind) {
        case JobKind::TonePreview:
        case JobKind::BlurPreview:
        case JobKind::SharpenPreview:
        case JobKind::MedianPreview:
        case JobKind::BilateralPreview:
        case JobKind::NeutralPreview:
        case JobKind::BalancePreview: return true;
        default: return false;
    }
}

bool isApplyJob(JobKind kind) {
    return kind != JobKind::ProcessAll && kind != JobKind::Align && kind != JobKind::Deghost && !isRectJob(kind);
}

bool disablesShape3(JobKind kind) { return kind != JobKind::TonePreview && isRectJob(kind); }

UndoEffect undoEffect(JobKind kind) {
    if (kind == JobKind::ProcessAll || kind == JobKind::TonePreview || jobGroup(kind) == JobGroup::Stack)
        return UndoEffect::Unchanged;
    return isApplyJob(kind) ? UndoEffect::Enable : UndoEffect::Disable;
}

JobRunner::~JobRunner() { wait(); }

bool JobRunner::start(JobKind kind, Body body) {
    if (busy_) return false;
    if (worker_.joinable()) worker_.join();  // a finished worker whose flag was taken already
    std::atomic<bool>& flag = flags_[static_cast<std::size_t>(kind)];
    outcome_ = JobOutcome::Completed;
    failureDetail_.clear();
    try {
        worker_ = std::thread([this, &flag, body = std::move(body)] {
            runBody(body);
            // The last act: hands the buffers (and the outcome) back to the UI thread.
            flag.store(true, std::memory_order_release);
        });
    } catch (const std::system_error&) {
        return false;
    }
    busy_ = true;
    return true;
}

void JobRunner::runBody(const Body& body) {
    // An exception must not leave the thread: that would end the program and lose the work.
    try {
        body(progress_);
    } catch (const std::bad_alloc&) {
        outcome_ = JobOutcome::OutOfMemory;
    } catch (const std::exception& e) {
        outcome_ = JobOutcome::Failed;
        try {
            failureDetail_ = e.what();
        } catch (...) {
            // Out of memory for the text itself: the outcome alone is told.
        }
    } catch (...) {
        outcome_ = JobOutcome::Failed;
    }
}

bool JobRunner::flagSet(JobKind kind) const {
    return flags_[static_cast<std::size_t>(kind)].load(std::memory_order_acquire);
}

bool JobRunner::takeFlag(JobKind kind) {
    std::atomic<bool>& flag = flags_[static_cast<std::size_t>(kind)];
    if (!flag.load(std::memory_order_acquire)) return false;
    flag.store(false, std::memory_order_relaxed);
    if (worker_.joinable()) worker_.join();
    busy_ = false;
    return true;
}

void JobRunner::wait() {
    if (worker_.joinable()) worker_.join();
}

}  // namespace sv
