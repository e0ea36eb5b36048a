#include "manager/session.hpp"

#include <fmt/format.h>

#include "common/clock.hpp"
#include "logger/helper_events.hpp"
#include "logger/log.hpp"
#include "manager/core_launcher.hpp"
#include "manager/core_log.hpp"

namespace zorv::manager {

namespace {
constexpr std::size_t kExitDetailLines = 5;
// The watchdog's record carries this in place of the manager's instance id.
constexpr std::string_view kWatchdogInstanceId = "watchdog";
constexpr std::string_view kClientExitedDetail = "GUI client exited";

// "ExitStatus(ExitStatus(N))", the form exit detection logs.
std::string exit_status_debug(std::uint32_t code) { return fmt::format("ExitStatus(ExitStatus({}))", code); }

std::string exit_detail(std::uint32_t code, const std::string& tail) {
    const auto signed_code = static_cast<std::int32_t>(code);
    if (tail.empty()) return fmt::format("sing-box exited with code Some({})", signed_code);
    return fmt::format("sing-box exited (code Some({})): {}", signed_code, tail);
}
}  // namespace

RuntimeStatus Session::status(const std::string& service_instance_id,
                              const std::optional<std::string>& operation_id) const {
    RuntimeStatus status = shown(service_instance_id, operation_id);
    status.running = true;
    status.state = "running";
    status.pid = status.singbox_pid = pid();
    return status;
}

std::optional<std::uint32_t> Session::exit_code() const {
    const auto exited = core_.child.try_wait();
    if (!exited) return std::nullopt;
    return *exited;
}

SessionEnd Session::end(const EndReason& reason, CoreStopPlatform& platform, const std::string& service_instance_id) {
    using Kind = EndReason::Kind;
    if (reason.kind == Kind::CoreExited) return {exit_record(reason.exit_code, platform, service_instance_id), {}};
    if (reason.kind == Kind::ClientExited)
        log::info(log::target::manager, "Watchdog: stopping active sing-box PID={} due to client exit", pid());

    // A stop that ran out of time is logged at ERROR where it gave up; the
    // record says so as well as the reply.
    Status stopped = stop_core_gracefully(core_.child, record_.lan_proxy_port.has_value(), platform);
    std::optional<std::string> failure;
    if (!stopped) failure = stopped.error().one_line();
    const bool watchdog = reason.kind == Kind::ClientExited;
    RuntimeStatus record = reason.kind == Kind::Reset
                               ? stopped_record(service_instance_id, reason.operation_id)
                               : stopped_session_record(watchdog ? std::string(kWatchdogInstanceId) : service_instance_id,
                                                        reason.operation_id);
    record.detail = watchdog ? std::string(kClientExitedDetail) + (failure ? "; " + *failure : "") : failure;
    return {std::move(record), std::move(stopped)};
}

RuntimeStatus Session::exit_record(std::uint32_t code, CoreStopPlatform& platform,
                                   const std::string& service_instance_id) {
    log::warn(log::target::manager, "Detected that sing-box PID={} has exited (status: {})", pid(),
              exit_status_debug(code));
    events::core_exited(pid(), exit_status_text(code));
    std::optional<std::string> detail;
    if (code != 0)
        detail = exit_detail(code, read_core_log_tail(record_.log_path, kExitDetailLines, record_.log_session_start));
    if (record_.lan_proxy_port)
        log::ignore_failure(platform.remove_firewall_rule(), log::target::manager,
                            "a hung netsh.exe is already logged at ERROR; the exit itself is recorded");
    RuntimeStatus record = stopped_session_record(service_instance_id, std::nullopt);
    record.detail = std::move(detail);
    return record;
}

RuntimeStatus Session::shown(std::string service_instance_id, std::optional<std::string> operation_id) const {
    RuntimeStatus record = bare_stopped(std::move(service_instance_id));
    record.started_at = record_.started_at;
    record.profile_id = record_.profile_id;
    record.binary_path = record_.binary_path;
    record.config_path = record_.config_path;
    record.client_runtime_id = record_.client_runtime_id;
    record.last_operation_id = std::move(operation_id);
    return record;
}

RuntimeStatus Session::stopped_session_record(std::string service_instance_id,
                                              std::optional<std::string> operation_id) const {
    RuntimeStatus record = shown(std::move(service_instance_id), std::move(operation_id));
    record.stopped_at = clock::now_millis();
    return record;
}

RuntimeStatus stopped_record(const std::string& service_instance_id, std::optional<std::string> operation_id) {
    RuntimeStatus record = bare_stopped(service_instance_id);
    record.stopped_at = clock::now_millis();
    record.last_operation_id = std::move(operation_id);
    return record;
}

}  // namespace zorv::manager
