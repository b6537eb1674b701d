#pragma once

// The background job machinery, free of Qt so that it can be tested under ThreadSanitizer on its
// own: one worker thread at a time, one completion flag per job kind (set by the worker as its
// last act with release ordering, read and cleared by the UI timer with acquire ordering), and
// the gauge's state in atomics that the timer copies to the widget.

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "image/progress.h"
#include "operations/operation_id.h"

namespace sv {

// A job is an operation of the registry run in one of two modes: on the whole picture (a
// render-like operation's "Process all", a filter-like one's Apply) or on the preview rectangle.
enum class JobMode : int { Whole, Preview };

// The two jobs on the stack itself, outside the registry: the automatic alignment of the new image
// (reads the stack and the new image) and ghost removal (merges the stack again).
enum class StackJob : int { None, Align, Deghost };

struct JobKind {
    OperationId operation = OperationId::Render;
    JobMode mode = JobMode::Whole;
    StackJob stack = StackJob::None;

    constexpr JobKind() = default;
    constexpr JobKind(OperationId operation, JobMode mode) : operation(operation), mode(mode) {}
    constexpr explicit JobKind(StackJob stack) : stack(stack) {}
    // The kind of completion flag `index`: each operation's whole-picture job, then its preview;
    // after all of them the stack jobs.
    constexpr explicit JobKind(int index)
        : operation(index < 2 * kOperationCount ? static_cast<OperationId>(index / 2) : OperationId::Render),
          mode(index < 2 * kOperationCount ? static_cast<JobMode>(index % 2) : JobMode::Whole),
          stack(index < 2 * kOperationCount ? StackJob::None : static_cast<StackJob>(index - 2 * kOperationCount + 1)) {}
    constexpr int index() const {
        if (stack != StackJob::None) return 2 * kOperationCount + static_cast<int>(stack) - 1;
        return 2 * static_cast<int>(operation) + static_cast<int>(mode);
    }
    constexpr bool operator==(const JobKind&) const = default;

    // The jobs by the names of the window's buttons.
    static const JobKind ProcessAll, TonePreview, BlurApply, BlurPreview, SharpenApply, SharpenPreview, MedianApply,
        MedianPreview, BilateralApply, BilateralPreview, NeutralApply, NeutralPreview, BalanceApply, BalancePreview,
        FusionProcessAll, FusionPreview, Align, Deghost;
};
inline constexpr JobKind JobKind::ProcessAll{OperationId::Render, JobMode::Whole};
inline constexpr JobKind JobKind::TonePreview{OperationId::Render, JobMode::Preview};
inline constexpr JobKind JobKind::BlurApply{OperationId::Blur, JobMode::Whole};
inline constexpr JobKind JobKind::BlurPreview{OperationId::Blur, JobMode::Preview};
inline constexpr JobKind JobKind::SharpenApply{OperationId::Sharpen, JobMode::Whole};
inline constexpr JobKind JobKind::SharpenPreview{OperationId::Sharpen, JobMode::Preview};
inline constexpr JobKind JobKind::MedianApply{OperationId::Median, JobMode::Whole};
inline constexpr JobKind JobKind::MedianPreview{OperationId::Median, JobMode::Preview};
inline constexpr JobKind JobKind::BilateralApply{OperationId::Bilateral, JobMode::Whole};
inline constexpr JobKind JobKind::BilateralPreview{OperationId::Bilateral, JobMode::Preview};
inline constexpr JobKind JobKind::NeutralApply{OperationId::Neutral, JobMode::Whole};
inline constexpr JobKind JobKind::NeutralPreview{OperationId::Neutral, JobMode::Preview};
inline constexpr JobKind JobKind::BalanceApply{OperationId::Balance, JobMode::Whole};
inline constexpr JobKind JobKind::BalancePreview{OperationId::Balance, JobMode::Preview};
inline constexpr JobKind JobKind::FusionProcessAll{OperationId::Fusion, JobMode::Whole};
inline constexpr JobKind JobKind::FusionPreview{OperationId::Fusion, JobMode::Preview};
inline constexpr JobKind JobKind::Align{StackJob::Align};
inline constexpr JobKind JobKind::Deghost{StackJob::Deghost};

inline constexpr int kJobKinds = 2 * kOperationCount + 2;

// Which part of the timer finishes a job.
enum class JobGroup { RenderWhole, RenderRect, FilterWhole, FilterRect, Stack };
JobGroup jobGroup(JobKind kind);

// What a finished job does to the Undo controls.
enum class UndoEffect { Unchanged, Enable, Disable };
UndoEffect undoEffect(JobKind kind);

// How a job's body ended. A body that throws does not end the program: the worker catches the
// exception, records it here and still raises the completion flag, so the window finishes the
// job as usual and can tell the user.
enum class JobOutcome { Completed, OutOfMemory, Failed };

bool isApplyJob(JobKind kind);       // whole-picture filter or colour job: result copied back
bool isRectJob(JobKind kind);        // works on the preview rectangle
bool disablesShape3(JobKind kind);   // filter and colour previews also stop the rectangle's mouse

class JobRunner {
public:
    using Body = std::function<void(ProgressSink&)>;

    JobRunner() = default;
    JobRunner(const JobRunner&) = delete;
    JobRunner& operator=(const JobRunner&) = delete;
    ~JobRunner();  // waits for a running worker: buffers it uses must not go first

    // Runs `body` on a new worker thread, then sets the kind's completion flag (also when the body
    // threw: see outcome()). Returns false (and runs nothing) when the previous worker's flag has
    // not been taken yet, or when no thread could be started.
    bool start(JobKind kind, Body body);

    // UI side: whether the kind's flag is set; takeFlag also clears it and joins the finished
    // worker, after which everything the worker wrote is visible to the caller.
    bool flagSet(JobKind kind) const;
    bool takeFlag(JobKind kind);

    // A job was started and its flag has not been taken yet.
    bool busy() const { return busy_; }
    // Blocks until the worker (if any) has ended; its flag stays set for the timer.
    void wait();

    // How the last job ended, and the exception's own text for a failure other than memory.
    // Valid on the UI side once the job's flag was seen (or after wait()).
    JobOutcome outcome() const { return outcome_; }
    const std::string& failureDetail() const { return failureDetail_; }

    AtomicProgress& progress() { return progress_; }

private:
    void runBody(const Body& body);

    std::thread worker_;
    std::array<std::atomic<bool>, kJobKinds> flags_{};
    bool busy_ = false;  // UI thread only
    AtomicProgress progress_;
    // Written by the worker before its flag is released, read by the UI after acquiring it.
    JobOutcome outcome_ = JobOutcome::Completed;
    std::string failureDetail_;
};

}  // namespace sv
