#include "service/status_reporter.hpp"

#include "logger/log.hpp"

namespace zorv::service {

StatusReporter::StatusReporter(Report report, std::chrono::milliseconds interval)
    : report_(std::move(report)), interval_(interval), ticker_([this] { advance_checkpoints(); }) {}

StatusReporter::~StatusReporter() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    ticker_.join();
}

Status StatusReporter::report_locked(const SERVICE_STATUS& status) {
    // The SCM may already have let the process go.
    if (stopped_) return fail("the service has already reported stopped");
    if (status.dwCurrentState == SERVICE_STOPPED) stopped_ = true;
    return report_(status);
}

Status StatusReporter::pending(const SERVICE_STATUS& status) {
    Status reported;
    {
        std::lock_guard lock(mutex_);
        SERVICE_STATUS next = status;
        // The same pending state again goes on counting where it was.
        if (pending_ && pending_->dwCurrentState == status.dwCurrentState) next.dwCheckPoint = pending_->dwCheckPoint + 1;
        reported = report_locked(next);
        if (reported) pending_ = next;
    }
    changed_.notify_all();
    return reported;
}

Status StatusReporter::settled(const SERVICE_STATUS& status) {
    Status reported;
    {
        std::lock_guard lock(mutex_);
        pending_.reset();
        reported = report_locked(status);
    }
    changed_.notify_all();
    return reported;
}

void StatusReporter::advance_checkpoints() {
    std::unique_lock lock(mutex_);
    while (!ending_) {
        if (!pending_) {
            changed_.wait(lock, [this] { return ending_ || pending_.has_value(); });
            continue;
        }
        const DWORD state = pending_->dwCurrentState;
        const DWORD checkpoint = pending_->dwCheckPoint;
        // A new report in the meantime starts the interval again.
        if (changed_.wait_for(lock, interval_, [&] {
                return ending_ || !pending_ || pending_->dwCurrentState != state || pending_->dwCheckPoint != checkpoint;
            }))
            continue;
        ++pending_->dwCheckPoint;
        log::ignore_failure(report_locked(*pending_), log::target::service,
                            "a refused progress report changes nothing for the work itself");
    }
}

}  // namespace zorv::service
