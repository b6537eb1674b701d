// The job machinery under ThreadSanitizer: a worker writes a buffer and advances the progress while
// this thread polls like the window's timer; the buffer is read only after the flag was taken.
// Any missing ordering between the worker's writes and the reader shows as a reported race.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "mainwindow/jobs.h"

namespace {

int failures = 0;
void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

}  // namespace

int main() {
    using sv::JobKind;
    std::vector<float> buffer(4096, 0.0f);
    for (int round = 0; round < 200; ++round) {
        sv::JobRunner runner;
        const JobKind kind = static_cast<JobKind>(round % sv::kJobKinds);
        const float value = static_cast<float>(round + 1);
        const bool started = runner.start(kind, [&buffer, value](sv::ProgressSink& progress) {
            sv::beginProgress(progress, static_cast<std::int64_t>(buffer.size()));
            for (float& v : buffer) {
                v = value;
                progress.advance(1);
            }
        });
        check(started, "the worker starts");
        check(!runner.start(kind, [](sv::ProgressSink&) {}), "a second job is refused while one runs");
        // Poll as the timer does; the gauge may be read at any time.
        std::int64_t seen = 0;
        while (!runner.takeFlag(kind)) {
            seen = runner.progress().position();
            std::this_thread::yield();
        }
        check(seen <= static_cast<std::int64_t>(buffer.size()), "progress stays within its maximum");
        for (float v : buffer)
            if (v != value) {
                check(false, "the buffer is complete when the flag is seen");
                break;
            }
        check(!runner.busy(), "idle after the flag was taken");
        check(!runner.flagSet(kind), "the flag is cleared by the reader");
    }
    // A body that throws still hands back: the flag comes up, what it wrote before the throw is
    // visible, and the outcome tells the exception apart; the next job starts clean.
    {
        sv::JobRunner runner;
        for (int round = 0; round < 60; ++round) {
            const int kind = round % 3;
            const float value = static_cast<float>(round);
            runner.start(JobKind::BlurApply, [&buffer, value, kind](sv::ProgressSink& progress) {
                for (std::size_t i = 0; i < buffer.size() / 2; ++i) {
                    buffer[i] = value;
                    progress.advance(1);
                }
                if (kind == 0) throw std::bad_alloc();
                if (kind == 1) throw std::runtime_error("disk on fire");
            });
            while (!runner.takeFlag(JobKind::BlurApply)) std::this_thread::yield();
            check(buffer[buffer.size() / 2 - 1] == value, "the half written before the throw is seen");
            const sv::JobOutcome expected = kind == 0   ? sv::JobOutcome::OutOfMemory
                                            : kind == 1 ? sv::JobOutcome::Failed
                                                        : sv::JobOutcome::Completed;
            check(runner.outcome() == expected, "the outcome names how the body ended");
            check((kind == 1) == (runner.failureDetail() == "disk on fire"), "a failure keeps its own text");
            check(!runner.busy(), "a failed job leaves the runner idle");
        }
    }
    // Destroying a runner whose worker still runs waits for it before the buffer goes.
    {
        std::vector<int> data(1 << 16, 0);
        {
            sv::JobRunner runner;
            runner.start(JobKind::ProcessAll, [&data](sv::ProgressSink&) {
                for (int& v : data) v = 7;
            });
        }
        bool all = true;
        for (int v : data) all = all && v == 7;
        check(all, "the destructor waits for the worker");
    }
    if (failures) return 1;
    std::puts("jobs_tsan: all checks passed");
    return 0;
}
