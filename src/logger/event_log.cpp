#include "logger/event_log.hpp"

#include <windows.h>

#include "common/product.hpp"
#include "common/text.hpp"
#include "common/unique_resource.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"

namespace zorv::events {

std::string caller_insert(std::string_view value) {
    const std::string safe = text::log_safe(value.substr(0, kMaxCallerInsert));
    std::string insert;
    insert.reserve(safe.size());
    for (const char c : safe) {
        if (c == '%' && !insert.empty() && insert.back() == '%') insert += ' ';
        insert += c;
    }
    return insert;
}

EventReporter::EventReporter(std::unique_ptr<EventSink> sink, std::size_t capacity)
    : sink_(std::move(sink)), capacity_(capacity), worker_([this] { run(); }) {}

EventReporter::~EventReporter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    worker_.join();
}

bool EventReporter::post(EventRecord record) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= capacity_) {
            ++dropped_;
            return false;
        }
        queue_.push_back(std::move(record));
        ++posted_;
    }
    queued_.notify_one();
    return true;
}

bool EventReporter::post_and_wait(EventRecord record, std::chrono::milliseconds limit) {
    std::uint64_t sequence = 0;
    {
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock() || queue_.size() >= capacity_) {
            ++dropped_;
            return false;
        }
        queue_.push_back(std::move(record));
        sequence = ++posted_;
    }
    queued_.notify_one();
    return wait_written(sequence, limit);
}

bool EventReporter::flush(std::chrono::milliseconds limit) {
    std::uint64_t sequence = 0;
    {
        std::lock_guard lock(mutex_);
        sequence = posted_;
    }
    return wait_written(sequence, limit);
}

// Polls rather than waits on the queue's lock: the crash hook must not block
// on a lock the failing thread may hold.
bool EventReporter::wait_written(std::uint64_t sequence, std::chrono::milliseconds limit) {
    const auto give_up_at = std::chrono::steady_clock::now() + limit;
    while (written_.load() < sequence) {
        if (std::chrono::steady_clock::now() >= give_up_at) return false;
        ::Sleep(5);
    }
    return true;
}

void EventReporter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        EventRecord record = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        // service.log holds every fact already; an Event Log that refuses one
        // is worth a line there and nothing more.
        if (auto written = sink_->write(record); !written)
            log::debug(log::target::main, "Event {} not reported: {}", static_cast<std::uint32_t>(record.id),
                       written.error().one_line());
        ++written_;
        lock.lock();
    }
}

namespace {

WORD event_type(Severity severity) {
    switch (severity) {
        case Severity::Information: return EVENTLOG_INFORMATION_TYPE;
        case Severity::Warning: return EVENTLOG_WARNING_TYPE;
        case Severity::Error: return EVENTLOG_ERROR_TYPE;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

class SystemEventSink final : public EventSink {
public:
    explicit SystemEventSink(win32::UniqueEventSource source) : source_(std::move(source)) {}

    Status write(const EventRecord& record) override {
        std::vector<std::wstring> inserts;
        std::vector<LPCWSTR> pointers;
        for (const std::string& insert : record.inserts) inserts.push_back(win32::to_wide(insert));
        for (const std::wstring& insert : inserts) pointers.push_back(insert.c_str());
        if (!::ReportEventW(source_.get(), event_type(record.severity), 0, static_cast<DWORD>(record.id), nullptr,
                            static_cast<WORD>(pointers.size()), 0, pointers.empty() ? nullptr : pointers.data(),
                            nullptr))
            return fail(win32::last_os_error().context("ReportEventW"));
        return {};
    }

private:
    win32::UniqueEventSource source_;
};

// Never freed: a record reported while static objects are destroyed at exit
// must still find it, and its thread ends with the process.
std::atomic<EventReporter*> installed_reporter{nullptr};

}  // namespace

Result<std::unique_ptr<EventSink>> open_system_event_sink() {
    win32::UniqueEventSource source(::RegisterEventSourceW(nullptr, std::wstring(product::kServiceNameW).c_str()));
    if (!source) return fail(win32::last_os_error().context("RegisterEventSourceW"));
    return std::unique_ptr<EventSink>(std::make_unique<SystemEventSink>(std::move(source)));
}

bool install(std::unique_ptr<EventReporter> reporter) {
    EventReporter* expected = nullptr;
    if (!installed_reporter.compare_exchange_strong(expected, reporter.get())) return false;
    (void)reporter.release();  // owned by installed_reporter from here on, for the life of the process
    return true;
}

// A record the reporter drops is counted by it (dropped()); the caller has
// nothing better to do with it.
void report(EventRecord record) {
    if (EventReporter* reporter = installed_reporter.load()) reporter->post(std::move(record));
}

void flush(std::chrono::milliseconds limit) {
    if (EventReporter* reporter = installed_reporter.load()) reporter->flush(limit);  // at most `limit`, written or not
}

void report_and_wait(EventRecord record, std::chrono::milliseconds limit) {
    // The crash hook goes on to end the process whether or not this was written.
    if (EventReporter* reporter = installed_reporter.load()) reporter->post_and_wait(std::move(record), limit);
}

}  // namespace zorv::events
