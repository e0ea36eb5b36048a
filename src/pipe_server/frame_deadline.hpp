#pragma once
// The deadline by which a verified client must have delivered its request
// frame. One thread watches the deadlines of all connections: a timer per
// connection would cost a wake-up of the timer's thread for each request.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_set>

namespace zorv::pipe_server {

class FrameDeadline;

// Every `tick`, while any deadline is watched, cancels the pending I/O of
// each pipe whose deadline has passed, and again at each tick after, so that
// a read issued just after an expiry is cancelled too. The thread sleeps
// without a time-out once a whole tick has passed with nothing to watch.
class DeadlineSweep {
public:
    explicit DeadlineSweep(std::chrono::milliseconds tick);
    // Stops the thread, within a tick.
    ~DeadlineSweep();
    DeadlineSweep(const DeadlineSweep&) = delete;
    DeadlineSweep& operator=(const DeadlineSweep&) = delete;

    // The process's sweep, ticking once a second. It lives as long as the
    // process: its thread is never joined and may still be waiting at exit.
    static DeadlineSweep& shared();

private:
    friend class FrameDeadline;
    using Clock = std::chrono::steady_clock;

    void add(FrameDeadline* deadline);
    void remove(FrameDeadline* deadline);
    void run();
    void cancel_expired(Clock::time_point now);

    const std::chrono::milliseconds tick_;
    std::mutex mutex_;
    std::condition_variable resumed_;
    std::unordered_set<FrameDeadline*> watched_;
    bool added_since_tick_ = false;
    bool idle_ = false;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once the rest is in place
};

// Watched from construction to destruction. The pipe must outlive it.
class FrameDeadline {
public:
    FrameDeadline(DeadlineSweep& sweep, HANDLE pipe, std::chrono::milliseconds limit);
    ~FrameDeadline();
    FrameDeadline(const FrameDeadline&) = delete;
    FrameDeadline& operator=(const FrameDeadline&) = delete;

    // True once the deadline has passed and the pipe's I/O was cancelled.
    bool expired() const { return expired_; }

private:
    friend class DeadlineSweep;

    DeadlineSweep& sweep_;
    HANDLE pipe_;
    std::chrono::steady_clock::time_point due_;
    std::atomic<bool> expired_{false};
};

}  // namespace zorv::pipe_server
