#include "logger/helper_events.hpp"

#include <chrono>
#include <mutex>
#include <string>

#include <fmt/format.h>

#include "common/text.hpp"
#include "logger/event_log.hpp"
#include "logger/record_limiter.hpp"

namespace zorv::events {

namespace {

constexpr std::chrono::minutes kRepeatWindow{1};
// Distinct paths remembered per kind of record; more in one minute are held back.
constexpr std::size_t kRememberedPaths = 256;
constexpr std::chrono::milliseconds kCrashWriteLimit{1000};

// One limiter per kind of record a caller can provoke.
class LimitedRecords {
public:
    bool admit(std::string_view path) {
        // Windows paths differ in case only as spellings of one file.
        const std::string key = text::unicode_lower(path);
        std::lock_guard lock(mutex_);
        return limiter_.admit(key, std::chrono::steady_clock::now());
    }

private:
    std::mutex mutex_;
    RecordLimiter limiter_{kRepeatWindow, kRememberedPaths};
};

LimitedRecords& rejected_clients() {
    static LimitedRecords records;
    return records;
}
LimitedRecords& strict_refusals() {
    static LimitedRecords records;
    return records;
}

void emit(EventId id, Severity severity, std::vector<std::string> inserts) {
    report(EventRecord{id, severity, std::move(inserts)});
}

}  // namespace

void service_started(std::string_view version, bool hardened) {
    emit(EventId::ServiceStarted, Severity::Information, {std::string(version), hardened ? "on" : "off"});
}

void service_stopped(std::uint32_t exit_code) {
    emit(EventId::ServiceStopped, Severity::Information, {std::to_string(exit_code)});
}

void service_failed(std::string_view error, std::uint32_t exit_code) {
    emit(EventId::ServiceFailed, Severity::Error, {caller_insert(error), std::to_string(exit_code)});
}

void listener_failed(std::string_view pipe, std::string_view error) {
    emit(EventId::ListenerFailed, Severity::Error, {caller_insert(pipe), caller_insert(error)});
}

void lockdown_failed(std::string_view directory, std::string_view finding) {
    emit(EventId::LockdownFailed, Severity::Error, {caller_insert(directory), caller_insert(finding)});
}

void core_start_failed(std::string_view reason) {
    emit(EventId::CoreStartFailed, Severity::Error, {caller_insert(reason)});
}

void core_exited(std::uint32_t pid, std::string_view exit_status) {
    emit(EventId::CoreExited, Severity::Warning, {std::to_string(pid), std::string(exit_status)});
}

void strict_mode_refusal(std::string_view path, std::string_view subject, std::string_view finding) {
    if (!strict_refusals().admit(path)) return;
    emit(EventId::StrictModeRefusal, Severity::Warning, {caller_insert(subject), caller_insert(finding)});
}

void client_rejected(std::string_view image_path, std::string_view reason) {
    if (!rejected_clients().admit(image_path)) return;
    emit(EventId::ClientRejected, Severity::Warning,
         {image_path.empty() ? std::string("(unknown)") : caller_insert(image_path), caller_insert(reason)});
}

void crash(std::uint32_t exception_code, std::string_view dump_file) {
    report_and_wait(EventRecord{EventId::Crash, Severity::Error,
                                {fmt::format("0x{:08X}", exception_code),
                                 dump_file.empty() ? std::string("none") : caller_insert(dump_file)}},
                    kCrashWriteLimit);
}

}  // namespace zorv::events
