#pragma once
// Reports the service's status to the SCM in the documented protocol: a
// pending state carries a checkpoint that advances while the work goes on,
// so the SCM neither gives up on a start that is waiting for its pipe nor on
// a stop that is ending the core; a settled state (running, stopped) ends
// the checkpoints, and nothing is reported after stopped.

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "common/error.hpp"

namespace zorv::service {

// How often a pending state's checkpoint advances: well inside its wait hint.
inline constexpr std::chrono::milliseconds kCheckpointInterval{2'000};

class StatusReporter {
public:
    // SetServiceStatus, or a recorder in tests; fails when the report was refused.
    using Report = std::function<Status(const SERVICE_STATUS&)>;

    explicit StatusReporter(Report report, std::chrono::milliseconds interval = kCheckpointInterval);
    ~StatusReporter();
    StatusReporter(const StatusReporter&) = delete;
    StatusReporter& operator=(const StatusReporter&) = delete;

    // `status` (start- or stop-pending, checkpoint 1; the next checkpoint
    // when that state is already reported), then the same with the next
    // checkpoint every interval until the next report. Fails when the
    // report failed or the service has already reported stopped.
    Status pending(const SERVICE_STATUS& status);
    // Running or stopped: the checkpoints end before it is reported.
    Status settled(const SERVICE_STATUS& status);

private:
    Status report_locked(const SERVICE_STATUS& status);
    void advance_checkpoints();

    Report report_;
    std::chrono::milliseconds interval_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<SERVICE_STATUS> pending_;
    bool stopped_ = false;
    bool ending_ = false;
    std::thread ticker_;
};

}  // namespace zorv::service
