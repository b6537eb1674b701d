#pragma once

#include <atomic>
#include <cstdint>

namespace sv {

// Where long work reports how far it is: the window's gauge and the CLI's stderr line both
// implement it. advance() may be called from several worker threads at once; the other calls
// come from the thread that owns the operation.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void setMaximum(std::int64_t maximum) = 0;
    virtual void setPosition(std::int64_t position) = 0;
    virtual void advance(std::int64_t steps) = 0;
    virtual void setTextVisible(bool visible) = 0;
};

// Discards everything.
class NullProgress final : public ProgressSink {
public:
    void setMaximum(std::int64_t) override {}
    void setPosition(std::int64_t) override {}
    void advance(std::int64_t) override {}
    void setTextVisible(bool) override {}
};

// Keeps the gauge's state in atomics so that another thread (a timer, a printer) can poll it.
class AtomicProgress : public ProgressSink {
public:
    void setMaximum(std::int64_t maximum) override { maximum_.store(maximum, std::memory_order_relaxed); }
    void setPosition(std::int64_t position) override { position_.store(position, std::memory_order_relaxed); }
    void advance(std::int64_t steps) override { position_.fetch_add(steps, std::memory_order_relaxed); }
    void setTextVisible(bool visible) override { textVisible_.store(visible, std::memory_order_relaxed); }

    std::int64_t maximum() const { return maximum_.load(std::memory_order_relaxed); }
    std::int64_t position() const { return position_.load(std::memory_order_relaxed); }
    bool textVisible() const { return textVisible_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::int64_t> maximum_{0};
    std::atomic<std::int64_t> position_{0};
    std::atomic<bool> textVisible_{false};
};

// The start and end every long operation shares: gauge at 0 with its text on and
// maximum = passes x rows; afterwards back to 0, text off, maximum = picture height.
inline void beginProgress(ProgressSink& sink, std::int64_t maximum) {
    sink.setPosition(0);
    sink.setTextVisible(true);
    sink.setMaximum(maximum);
}
inline void endProgress(ProgressSink& sink, std::int64_t restingMaximum) {
    sink.setPosition(0);
    sink.setTextVisible(false);
    sink.setMaximum(restingMaximum);
}

}  // namespace sv
