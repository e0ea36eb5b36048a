#include "pipe_server/frame_deadline.hpp"

#include <utility>

namespace zorv::pipe_server {

DeadlineSweep::DeadlineSweep(std::chrono::milliseconds tick) : tick_(tick), thread_([this] { run(); }) {}

DeadlineSweep::~DeadlineSweep() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        idle_ = false;
    }
    resumed_.notify_one();
    thread_.join();
}

DeadlineSweep& DeadlineSweep::shared() {
    static DeadlineSweep* const sweep = new DeadlineSweep(std::chrono::seconds(1));
    return *sweep;
}

void DeadlineSweep::add(FrameDeadline* deadline) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        watched_.insert(deadline);
        added_since_tick_ = true;
        wake = std::exchange(idle_, false);
    }
    // Only a sweep that has gone idle needs waking: under steady traffic it
    // keeps ticking, and adding a deadline costs no kernel call.
    if (wake) resumed_.notify_one();
}

void DeadlineSweep::remove(FrameDeadline* deadline) {
    std::lock_guard lock(mutex_);
    watched_.erase(deadline);
}

void DeadlineSweep::cancel_expired(Clock::time_point now) {
    for (FrameDeadline* deadline : watched_) {
        if (now < deadline->due_) continue;
        deadline->expired_ = true;
        ::CancelIoEx(deadline->pipe_, nullptr);
    }
}

void DeadlineSweep::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (watched_.empty() && !added_since_tick_) {
            idle_ = true;
            resumed_.wait(lock, [this] { return !idle_; });
            if (stopping_) return;
        }
        added_since_tick_ = false;
        lock.unlock();
        // A plain sleep: a timed wait on a kernel object would cost a
        // request to the Wine server on every tick.
        ::Sleep(static_cast<DWORD>(tick_.count()));
        lock.lock();
        // Under the lock: a deadline removed meanwhile is never touched, and
        // its pipe is still open while it is watched.
        cancel_expired(Clock::now());
    }
}

FrameDeadline::FrameDeadline(DeadlineSweep& sweep, HANDLE pipe, std::chrono::milliseconds limit)
    : sweep_(sweep), pipe_(pipe), due_(std::chrono::steady_clock::now() + limit) {
    sweep_.add(this);
}

FrameDeadline::~FrameDeadline() { sweep_.remove(this); }

}  // namespace zorv::pipe_server
