#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

#include "control/manager_queue.hpp"

namespace zorv::control {
namespace {

// Records what became of each job: its turn, in order, or its refusal.
struct Outcomes {
    std::mutex mutex;
    std::vector<std::string> seen;

    ManagerQueue::Job job(std::string name) {
        return [this, name](std::optional<std::string_view> refusal) {
            std::lock_guard lock(mutex);
            seen.push_back(refusal ? name + " refused: " + std::string(*refusal) : name);
        };
    }
};

TEST(ManagerQueue, RunsInArrivalOrderRefusesBeyondTheBoundAndAtClose) {
    Outcomes outcomes;
    std::promise<void> release;
    std::promise<void> running;
    ManagerQueue queue(3);
    // The first job holds the queue's thread, as a long start would.
    queue.submit([&](std::optional<std::string_view>) {
        running.set_value();
        release.get_future().wait();
    });
    running.get_future().wait();
    queue.submit(outcomes.job("status"));
    queue.submit(outcomes.job("stop"));
    queue.submit(outcomes.job("reset"));  // the fourth caller waiting: refused at once
    EXPECT_EQ(outcomes.seen,
              std::vector<std::string>{"reset refused: too many requests are waiting for the helper; try again shortly"});

    release.set_value();
    // The waiting jobs run in turn; the queue is closed only once they have.
    while (true) {
        {
            std::lock_guard lock(outcomes.mutex);
            if (outcomes.seen.size() == 3) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    queue.close();
    queue.submit(outcomes.job("late"));
    const std::vector<std::string> expected = {
        "reset refused: too many requests are waiting for the helper; try again shortly", "status", "stop",
        "late refused: the helper is shutting down"};
    EXPECT_EQ(outcomes.seen, expected);
}

TEST(ManagerQueue, CloseRefusesTheWaitingAndLetsTheRunningOneFinish) {
    Outcomes outcomes;
    std::promise<void> release;
    std::promise<void> running;
    auto queue = std::make_unique<ManagerQueue>();
    queue->submit([&](std::optional<std::string_view> refusal) {
        running.set_value();
        release.get_future().wait();
        std::lock_guard lock(outcomes.mutex);
        outcomes.seen.push_back(refusal ? "start refused" : "start");
    });
    running.get_future().wait();
    queue->submit(outcomes.job("status"));
    std::thread closer([&] { queue->close(); });
    // close() refuses the waiting job first, then waits for the running one.
    while (true) {
        {
            std::lock_guard lock(outcomes.mutex);
            if (!outcomes.seen.empty()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    release.set_value();
    closer.join();
    const std::vector<std::string> expected = {"status refused: the helper is shutting down", "start"};
    EXPECT_EQ(outcomes.seen, expected);
}

}  // namespace
}  // namespace zorv::control
