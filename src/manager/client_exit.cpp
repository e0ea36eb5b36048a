// What the manager does once a watched GUI client has gone.

#include "common/text.hpp"
#include "logger/log.hpp"
#include "manager/runtime_manager.hpp"
#include "manager/stop_core.hpp"

namespace zorv::manager {

namespace {
// The watchdog's record carries this in place of the manager's instance id.
constexpr std::string_view kWatchdogInstanceId = "watchdog";
constexpr std::string_view kClientExitedDetail = "GUI client exited";

bool belongs_to_other_client(const ActiveRuntime& session, const WatchdogRequest& request) {
    return session.client_runtime_id && request.client_runtime_id &&
           *session.client_runtime_id != *request.client_runtime_id;
}
}  // namespace

void RuntimeManager::on_client_exit(const WatchdogRequest& request) {
    std::lock_guard lock(mutex_);
    RuntimeState& state = state_;
    if (!state.active) return;
    if (belongs_to_other_client(*state.active, request)) {
        log::info(log::target::manager, "Watchdog: active sing-box session belongs to newer client ({}); leaving running",
                  text::log_safe(*state.active->client_runtime_id));
        return;
    }

    ActiveRuntime session = std::move(*state.active);
    state.active.reset();
    log::info(log::target::manager, "Watchdog: stopping active sing-box PID={} due to client exit", session.pid);
    // A stop that ran out of time is logged at ERROR where it gave up; the
    // record says so too.
    const Status stopped = stop_core_gracefully(session, stop_platform_);

    RuntimeStatus record = stopped_session_record(session, std::string(kWatchdogInstanceId), request.operation_id);
    record.detail = stopped ? std::string(kClientExitedDetail)
                            : std::string(kClientExitedDetail) + "; " + stopped.error().one_line();
    state.last_status = std::move(record);
    // The session's handles close as it goes out of scope, still under the lock.
}

}  // namespace zorv::manager
