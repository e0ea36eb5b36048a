#pragma once
// Records for the Windows Event Log, in addition to service.log: the few
// things an administrator of many machines watches for. Each has a fixed
// event id whose sentence lives in the helper's message table
// (event_messages.mc); a record carries only the inserts.
//
// A record is handed to a reporter that writes it on a thread of its own, so
// a request never waits for the Event Log, and an Event Log that cannot be
// reached costs nothing but the record.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/error.hpp"

namespace zorv::events {

// The fixed ids; README's event table lists them. The message table compiled
// into the helper holds one message under each.
enum class EventId : std::uint32_t {
    ServiceStarted = 1000,
    ServiceStopped = 1001,
    ListenerFailed = 1100,
    ServiceFailed = 1101,
    LockdownFailed = 1102,
    CoreStartFailed = 1200,
    CoreExited = 1201,
    StrictModeRefusal = 1300,
    ClientRejected = 1301,
    Crash = 1400,
};

inline constexpr EventId kAllEventIds[] = {
    EventId::ServiceStarted,  EventId::ServiceStopped, EventId::ListenerFailed, EventId::ServiceFailed,
    EventId::LockdownFailed,  EventId::CoreStartFailed, EventId::CoreExited,    EventId::StrictModeRefusal,
    EventId::ClientRejected,  EventId::Crash,
};

enum class Severity { Information, Warning, Error };

struct EventRecord {
    EventId id = EventId::ServiceStarted;
    Severity severity = Severity::Information;
    std::vector<std::string> inserts;  // %1, %2, ... in the message, UTF-8
};

// The longest caller insert kept, in bytes, before escaping.
inline constexpr std::size_t kMaxCallerInsert = 1024;

// Text a caller chose, made an insert: cut to kMaxCallerInsert, escaped as
// the logs escape it (text::log_safe), and with "%%" broken up, which Event
// Viewer would otherwise replace with a system message of that number.
std::string caller_insert(std::string_view value);

// Where records go: the Event Log, or a recording sink in the tests.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual Status write(const EventRecord& record) = 0;
};

// Writes records on its own thread, in the order they came. A full queue
// drops the newest record rather than make the caller wait.
class EventReporter {
public:
    static constexpr std::size_t kDefaultCapacity = 64;

    explicit EventReporter(std::unique_ptr<EventSink> sink, std::size_t capacity = kDefaultCapacity);
    ~EventReporter();  // writes nothing more; waits only for a write under way
    EventReporter(const EventReporter&) = delete;
    EventReporter& operator=(const EventReporter&) = delete;

    // Queues the record; false when it was dropped. Never waits for a write.
    bool post(EventRecord record);
    // For the crash hook: queues the record without waiting for the queue's
    // lock (a failure inside post may hold it) and waits at most `limit` for
    // it to be written. False when dropped or not written in time.
    bool post_and_wait(EventRecord record, std::chrono::milliseconds limit);
    // Waits at most `limit` until every queued record has been written.
    bool flush(std::chrono::milliseconds limit);
    std::uint64_t dropped() const { return dropped_.load(); }

private:
    void run();
    bool wait_written(std::uint64_t sequence, std::chrono::milliseconds limit);

    std::unique_ptr<EventSink> sink_;
    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<EventRecord> queue_;
    std::uint64_t posted_ = 0;  // under mutex_
    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> dropped_{0};
    bool stopping_ = false;
    std::thread worker_;
};

// The Event Log source registered as the service's name; fails when the
// system refuses a handle.
Result<std::unique_ptr<EventSink>> open_system_event_sink();

// The process-wide reporter, like the logging facade: nothing is reported
// until one is installed, and installation happens once. It lives until the
// process ends, so a record reported during the exit still finds it.
bool install(std::unique_ptr<EventReporter> reporter);
void report(EventRecord record);
// Bounded waits, for the end of a run and for the crash hook.
void flush(std::chrono::milliseconds limit);
void report_and_wait(EventRecord record, std::chrono::milliseconds limit);

}  // namespace zorv::events
