#include "control/manager_queue.hpp"

#include <utility>

namespace zorv::control {

namespace {
constexpr std::string_view kFull = "too many requests are waiting for the helper; try again shortly";
constexpr std::string_view kClosing = "the helper is shutting down";
}  // namespace

ManagerQueue::ManagerQueue(std::size_t max_waiting) : max_waiting_(max_waiting), thread_([this] { run(); }) {}

ManagerQueue::~ManagerQueue() { close(); }

void ManagerQueue::submit(Job job) {
    std::optional<std::string_view> refusal;
    {
        std::lock_guard lock(mutex_);
        if (closed_) refusal = kClosing;
        else if (waiting_.size() + (running_job_ ? 1 : 0) >= max_waiting_) refusal = kFull;
        else waiting_.push_back(std::move(job));
    }
    if (refusal) job(refusal);
    else changed_.notify_one();
}

void ManagerQueue::close() {
    std::deque<Job> refused;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        refused.swap(waiting_);
    }
    changed_.notify_one();
    for (Job& job : refused) job(kClosing);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void ManagerQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return closed_ || !waiting_.empty(); });
        if (waiting_.empty()) return;  // closed
        Job job = std::move(waiting_.front());
        waiting_.pop_front();
        running_job_ = true;
        lock.unlock();
        job(std::nullopt);
        job = nullptr;  // what the job holds goes before the next one runs
        lock.lock();
        running_job_ = false;
    }
}

}  // namespace zorv::control
