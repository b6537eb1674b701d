#include "mainwindow/jobs.h"

#include <exception>
#include <new>
#include <system_error>

namespace sv {

namespace {
bool renderLike(JobKind kind) {
    return kind.stack == StackJob::None && operationKind(kind.operation) == OperationKind::RenderLike;
}
}  // namespace

JobGroup jobGroup(JobKind kind) {
    if (kind.stack != StackJob::None) return JobGroup::Stack;
    if (renderLike(kind)) return isRectJob(kind) ? JobGroup::RenderRect : JobGroup::RenderWhole;
    return isRectJob(kind) ? JobGroup::FilterRect : JobGroup::FilterWhole;
}

bool isRectJob(JobKind kind) { return kind.stack == StackJob::None && kind.mode == JobMode::Preview; }

bool isApplyJob(JobKind kind) { return !renderLike(kind) && kind.stack == StackJob::None && !isRectJob(kind); }

bool disablesShape3(JobKind kind) { return !renderLike(kind) && isRectJob(kind); }

UndoEffect undoEffect(JobKind kind) {
    if (renderLike(kind) || jobGroup(kind) == JobGroup::Stack) return UndoEffect::Unchanged;
    return isApplyJob(kind) ? UndoEffect::Enable : UndoEffect::Disable;
}

JobRunner::~JobRunner() { wait(); }

bool JobRunner::start(JobKind kind, Body body) {
    if (busy_) return false;
    if (worker_.joinable()) worker_.join();  // a finished worker whose flag was taken already
    std::atomic<bool>& flag = flags_[static_cast<std::size_t>(kind.index())];
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
    return flags_[static_cast<std::size_t>(kind.index())].load(std::memory_order_acquire);
}

bool JobRunner::takeFlag(JobKind kind) {
    std::atomic<bool>& flag = flags_[static_cast<std::size_t>(kind.index())];
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
