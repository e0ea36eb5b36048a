#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "logger/event_log.hpp"
#include "logger/record_limiter.hpp"

namespace zorv::events {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(RecordLimiter, OneRecordPerKeyPerWindow) {
    RecordLimiter limiter(1min, 8);
    const Clock::time_point start{};
    EXPECT_TRUE(limiter.admit("c:\\a\\vexl2.exe", start));
    for (int i = 1; i < 100; ++i) EXPECT_FALSE(limiter.admit("c:\\a\\vexl2.exe", start + i * 500ms));
    EXPECT_TRUE(limiter.admit("c:\\b\\vexl2.exe", start + 1s));
    EXPECT_TRUE(limiter.admit("c:\\a\\vexl2.exe", start + 1min));
    EXPECT_FALSE(limiter.admit("c:\\a\\vexl2.exe", start + 1min + 59s));
}

TEST(RecordLimiter, ManyDistinctKeysAreHeldBackUntilOldOnesExpire) {
    RecordLimiter limiter(1min, 3);
    const Clock::time_point start{};
    EXPECT_TRUE(limiter.admit("1", start));
    EXPECT_TRUE(limiter.admit("2", start + 10s));
    EXPECT_TRUE(limiter.admit("3", start + 20s));
    EXPECT_FALSE(limiter.admit("4", start + 30s));
    EXPECT_TRUE(limiter.admit("4", start + 1min));  // "1" has expired and made room
    EXPECT_FALSE(limiter.admit("5", start + 1min));
}

TEST(CallerInsert, EscapedAsTheLogsAndCut) {
    EXPECT_EQ(caller_insert("C:\\x\nInjected line\r"), "C:\\x\\nInjected line\\r");
    EXPECT_EQ(caller_insert("%%1 and %%%2"), "% %1 and % % %2");
    EXPECT_EQ(caller_insert(std::string(5000, 'a')).size(), kMaxCallerInsert);
}

// The records a sink was asked to write, each write waiting until the test
// opens the gate.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    bool entered = false;
    std::vector<EventId> written;
};

class GatedSink final : public EventSink {
public:
    explicit GatedSink(Gate& gate) : gate_(gate) {}
    Status write(const EventRecord& record) override {
        std::unique_lock lock(gate_.mutex);
        gate_.entered = true;
        gate_.changed.notify_all();
        gate_.changed.wait(lock, [this] { return gate_.open; });
        gate_.written.push_back(record.id);
        return {};
    }

private:
    Gate& gate_;
};

TEST(EventReporter, AStuckEventLogNeverHoldsTheCallerAndCostsOnlyTheOverflow) {
    Gate gate;
    {
        EventReporter reporter(std::make_unique<GatedSink>(gate), 2);
        EXPECT_TRUE(reporter.post({EventId::ServiceStarted, Severity::Information, {}}));
        {
            std::unique_lock lock(gate.mutex);
            ASSERT_TRUE(gate.changed.wait_for(lock, 30s, [&] { return gate.entered; }));
        }
        // The first record is in the stuck write: two more fit the queue, the rest are dropped.
        EXPECT_TRUE(reporter.post({EventId::CoreExited, Severity::Warning, {}}));
        EXPECT_TRUE(reporter.post({EventId::ClientRejected, Severity::Warning, {}}));
        EXPECT_FALSE(reporter.post({EventId::Crash, Severity::Error, {}}));
        EXPECT_FALSE(reporter.post_and_wait({EventId::Crash, Severity::Error, {}}, 50ms));
        EXPECT_FALSE(reporter.flush(20ms));
        EXPECT_EQ(reporter.dropped(), 2u);
        {
            std::lock_guard lock(gate.mutex);
            gate.open = true;
        }
        gate.changed.notify_all();
        EXPECT_TRUE(reporter.flush(30s));
    }
    EXPECT_EQ(gate.written, (std::vector<EventId>{EventId::ServiceStarted, EventId::CoreExited, EventId::ClientRejected}));
}

}  // namespace
}  // namespace zorv::events
