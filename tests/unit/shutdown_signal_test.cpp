#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "pipe_server/shutdown_signal.hpp"

namespace zorv::pipe_server {
namespace {

using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;

// Runs the io_context until it has no work left, or fails after `limit`.
void run_until_idle(asio::io_context& io, std::chrono::milliseconds limit = 5000ms) {
    io.run_for(limit);
    ASSERT_TRUE(io.stopped()) << "work was still pending after " << limit.count() << " ms";
}

TEST(ShutdownSignal, StartsFalseAndKeepsAPublishedValue) {
    auto [sender, receiver] = make_shutdown_signal();
    EXPECT_FALSE(receiver.current());
    EXPECT_TRUE(sender.publish(true));
    EXPECT_TRUE(receiver.current());
    EXPECT_TRUE(receiver.current());  // reading does not consume it
}

TEST(ShutdownSignal, AWaitAfterThePublicationCompletesAtOnce) {
    auto [sender, receiver] = make_shutdown_signal();
    sender.publish(true);
    asio::io_context io;
    bool woke = false;
    asio::co_spawn(io, [&]() -> asio::awaitable<void> {
        co_await receiver.changed();
        woke = receiver.current();
    }, [](std::exception_ptr e) { if (e) std::rethrow_exception(e); });
    run_until_idle(io);
    EXPECT_TRUE(woke);
}

TEST(ShutdownSignal, ASeenPublicationDoesNotWakeTheNextWait) {
    auto [sender, receiver] = make_shutdown_signal();
    sender.publish(true);
    asio::io_context io;
    int wakes = 0;
    bool second_wait_ended_by_timer = false;
    asio::co_spawn(io, [&]() -> asio::awaitable<void> {
        co_await receiver.changed();
        ++wakes;
        const auto executor = co_await asio::this_coro::executor;
        asio::steady_timer timer(executor, 100ms);
        auto winner = co_await (receiver.changed() || timer.async_wait(asio::use_awaitable));
        second_wait_ended_by_timer = winner.index() == 1;
    }, [](std::exception_ptr e) { if (e) std::rethrow_exception(e); });
    run_until_idle(io);
    EXPECT_EQ(wakes, 1);
    EXPECT_TRUE(second_wait_ended_by_timer);
}

TEST(ShutdownSignal, PublishingWithoutAReceiverFails) {
    auto [sender, receiver] = make_shutdown_signal();
    auto clone = sender.clone();
    {
        ShutdownReceiver moved = std::move(receiver);
        EXPECT_TRUE(clone.publish(false));  // the moved-to receiver still counts
    }
    EXPECT_FALSE(sender.publish(true));
    EXPECT_FALSE(clone.publish(true));
}

TEST(ShutdownSignal, ACloneWakesAWaiterFromAnotherThreadOnTheWaitersExecutor) {
    auto [sender, receiver] = make_shutdown_signal();
    auto handler_side = sender.clone();
    asio::io_context io;
    std::thread::id resumed_on;
    bool value = false;
    asio::co_spawn(io, [&]() -> asio::awaitable<void> {
        co_await receiver.changed();
        resumed_on = std::this_thread::get_id();
        value = receiver.current();
    }, [](std::exception_ptr e) { if (e) std::rethrow_exception(e); });

    std::thread control_handler([&] {
        std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(handler_side.publish(true));
    });
    run_until_idle(io);  // the pending wait alone keeps the loop running
    control_handler.join();
    EXPECT_TRUE(value);
    EXPECT_EQ(resumed_on, std::this_thread::get_id());
}

TEST(ShutdownSignal, ACancelledWaitEndsAndLeavesNothingBehind) {
    auto [sender, receiver] = make_shutdown_signal();
    asio::io_context io;
    bool timer_won = false;
    asio::co_spawn(io, [&]() -> asio::awaitable<void> {
        const auto executor = co_await asio::this_coro::executor;
        asio::steady_timer timer(executor, 20ms);
        auto winner = co_await (receiver.changed() || timer.async_wait(asio::use_awaitable));
        timer_won = winner.index() == 1;
    }, [](std::exception_ptr e) { if (e) std::rethrow_exception(e); });
    // Had the wait stayed registered, its outstanding work would keep the loop alive.
    run_until_idle(io, 2000ms);
    EXPECT_TRUE(timer_won);
    EXPECT_TRUE(sender.publish(true));  // nobody waits any more; the value is still stored
    EXPECT_TRUE(receiver.current());
}

TEST(ShutdownSignal, AWatchFiresOnceOnThePublishingThread) {
    auto [sender, receiver] = make_shutdown_signal();
    std::thread::id fired_on;
    int fired = 0;
    ShutdownWatch watch = receiver.watch([&] {
        ++fired;
        fired_on = std::this_thread::get_id();
    });
    EXPECT_EQ(fired, 0);
    std::thread control_handler([&, publisher = sender.clone()] { EXPECT_TRUE(publisher.publish(true)); });
    const auto control_thread = control_handler.get_id();
    control_handler.join();
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(fired_on, control_thread);
    EXPECT_TRUE(sender.publish(false));
    EXPECT_EQ(fired, 1) << "a watch fires once";
}

TEST(ShutdownSignal, AWatchAfterAnUnseenPublicationFiresAtOnceAndADroppedOneNever) {
    auto [sender, receiver] = make_shutdown_signal();
    int dropped_fired = 0;
    { ShutdownWatch dropped = receiver.watch([&] { ++dropped_fired; }); }
    ShutdownWatch moved_from = receiver.watch([&] { ++dropped_fired; });
    { ShutdownWatch moved_to = std::move(moved_from); }  // the move carries the registration
    EXPECT_TRUE(sender.publish(false));
    EXPECT_EQ(dropped_fired, 0);

    int late_fired = 0;
    ShutdownWatch late = receiver.watch([&] { ++late_fired; });
    EXPECT_EQ(late_fired, 1);
}

}  // namespace
}  // namespace zorv::pipe_server
