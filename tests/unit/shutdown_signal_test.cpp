#include <gtest/gtest.h>

#include <thread>

#include "pipe_server/shutdown_signal.hpp"

namespace zorv::pipe_server {
namespace {

TEST(ShutdownSignal, StartsFalseAndKeepsAPublishedValue) {
    auto [sender, receiver] = make_shutdown_signal();
    EXPECT_FALSE(receiver.current());
    EXPECT_TRUE(sender.publish(true));
    EXPECT_TRUE(receiver.current());
    EXPECT_TRUE(receiver.current());  // reading does not consume it
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
