#pragma once
// Manager operations, one at a time and in the order they arrived, on a
// thread of their own. A caller waiting for the manager (a status behind a
// long start) then holds none of the listener's threads, and the number of
// such callers is bounded: beyond it a caller is refused at once.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

namespace zorv::control {

class ManagerQueue {
public:
    // Callers waiting for the manager, the one being served included.
    static constexpr std::size_t kMaxWaiting = 64;

    // Runs when its turn comes with no refusal, or is told why it will not
    // run (the queue is full or closing); called exactly once either way.
    using Job = std::move_only_function<void(std::optional<std::string_view> refusal)>;

    explicit ManagerQueue(std::size_t max_waiting = kMaxWaiting);
    ~ManagerQueue();
    ManagerQueue(const ManagerQueue&) = delete;
    ManagerQueue& operator=(const ManagerQueue&) = delete;

    // Queues the job, or refuses it on the calling thread.
    void submit(Job job);

    // Lets the running job finish, refuses the waiting ones and every later
    // one, and ends the thread.
    void close();

private:
    void run();

    const std::size_t max_waiting_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> waiting_;
    bool running_job_ = false;
    bool closed_ = false;
    std::jthread thread_;
};

}  // namespace zorv::control
