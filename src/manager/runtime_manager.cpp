#include "manager/runtime_manager.hpp"

#include "common/clock.hpp"
#include "common/text.hpp"
#include "logger/helper_events.hpp"
#include "logger/log.hpp"
#include "manager/core_config.hpp"
#include "manager/child_process.hpp"
#include "manager/core_launcher.hpp"
#include "manager/firewall.hpp"
#include "manager/stop_core.hpp"

namespace zorv::manager {

namespace {
constexpr std::size_t kExitDetailLines = 5;

Result<std::filesystem::path> resolve_service_dir(const ManagerOptions& options) {
    if (options.service_dir) return *options.service_dir;
    return service_dir_of(win32::current_exe_path());
}

// "ExitStatus(ExitStatus(N))", the form exit detection logs.
std::string exit_status_debug(std::uint32_t code) { return fmt::format("ExitStatus(ExitStatus({}))", code); }

std::string exit_detail(std::uint32_t code, const std::string& tail) {
    const auto signed_code = static_cast<std::int32_t>(code);
    if (tail.empty()) return fmt::format("sing-box exited with code Some({})", signed_code);
    return fmt::format("sing-box exited (code Some({})): {}", signed_code, tail);
}
}  // namespace

std::shared_ptr<RuntimeManager> RuntimeManager::create(ManagerOptions options) {
    return std::shared_ptr<RuntimeManager>(new RuntimeManager(std::move(options)));
}

RuntimeManager::RuntimeManager(ManagerOptions options)
    : resolved_service_dir_(resolve_service_dir(options)),
      launch_watchdog_(std::move(options.launch_watchdog)),
      stop_platform_(options.stop_platform != nullptr ? *options.stop_platform : system_core_stop_platform()),
      launcher_(options.core_launcher != nullptr ? *options.core_launcher : system_core_launcher()),
      clock_(options.clock != nullptr ? *options.clock : clock::system_clock()),
      tools_(options.child_tools != nullptr ? *options.child_tools : system_child_tools()),
      core_start_refusal_(std::move(options.core_start_refusal)),
      publisher_check_(security::PublisherCheck::load()) {
    if (resolved_service_dir_) service_dir_ = *resolved_service_dir_;
    shred_stale_configuration(service_dir_);
    service_instance_id_ = clock::new_operation_id();
}

RuntimeStatus RuntimeManager::status() {
    std::lock_guard lock(mutex_);
    detect_exit(state_);
    return snapshot(state_, std::nullopt);
}

RuntimeStatus RuntimeManager::snapshot(const RuntimeState& state,
                                       const std::optional<std::string>& operation_id) const {
    if (state.active) {
        const ActiveRuntime& session = *state.active;
        RuntimeStatus status;
        status.running = true;
        status.state = "running";
        status.pid = session.pid;
        status.singbox_pid = session.pid;
        status.profile_id = session.profile_id;
        status.binary_path = session.binary_path;
        status.config_path = session.config_path;
        status.started_at = session.started_at;
        status.client_runtime_id = session.client_runtime_id;
        status.last_operation_id = operation_id;
        status.service_instance_id = service_instance_id_;
        return status;
    }
    if (state.last_status) {
        RuntimeStatus copy = *state.last_status;
        if (operation_id) copy.last_operation_id = operation_id;
        return copy;
    }
    RuntimeStatus fresh = bare_stopped(service_instance_id_);
    fresh.last_operation_id = operation_id;
    return fresh;
}

void RuntimeManager::detect_exit(RuntimeState& state) {
    if (!state.active) return;
    auto exited = state.active->child.try_wait();
    if (!exited || !exited->has_value()) return;
    const std::uint32_t code = **exited;
    ActiveRuntime session = std::move(*state.active);
    state.active.reset();

    log::warn(log::target::manager, "Detected that sing-box PID={} has exited (status: {})", session.pid,
              exit_status_debug(code));
    events::core_exited(session.pid, exit_status_text(code));
    std::optional<std::string> detail;
    if (code != 0)
        detail = exit_detail(
            code, read_core_log_tail(core_log_path(service_dir_), kExitDetailLines, session.log_session_start));
    // A hung netsh.exe is already logged at ERROR; the exit itself is recorded.
    if (session.lan_proxy_port) (void)remove_lan_firewall_rule(tools_);

    RuntimeStatus record = stopped_session_record(session, service_instance_id_, std::nullopt);
    record.detail = std::move(detail);
    state.last_status = std::move(record);
    // The session's handles close as `session` goes out of scope.
}

void RuntimeManager::remove_leftovers() {
    std::lock_guard lock(mutex_);
    // A start or stop that came first owns the rule now; a start with a LAN
    // port has removed any old one itself.
    if (state_.active || state_.last_status) return;
    (void)remove_lan_firewall_rule(tools_);  // logged either way; nobody waits on the outcome
}

Result<RuntimeStatus> RuntimeManager::stop(StopCommand command) {
    const std::string& trigger = command.trigger;
    const std::optional<std::string>& client_runtime_id = command.client_runtime_id;
    const std::string op = command.operation_id ? *command.operation_id : clock::new_operation_id();
    std::lock_guard lock(mutex_);
    RuntimeState& state = state_;
    detect_exit(state);

    if (state.active && client_runtime_id && !client_runtime_id->empty() && state.active->client_runtime_id &&
        *state.active->client_runtime_id != *client_runtime_id) {
        log::warn(log::target::manager,
                  "Ignored stop request trigger={} because client_runtime_id '{}' did not match active '{}'",
                  text::log_safe(trigger), text::log_safe(*client_runtime_id),
                  text::log_safe(*state.active->client_runtime_id));
        return snapshot(state, op);
    }

    if (auto stopped = stop_active(state, op); !stopped) return fail(stopped.error());
    RuntimeStatus reply = bare_stopped(service_instance_id_);
    reply.stopped_at = clock::now_millis();
    reply.last_operation_id = op;
    return reply;
}

Result<RuntimeStatus> RuntimeManager::reset(std::optional<std::string> operation_id) {
    const std::string op = operation_id ? *operation_id : clock::new_operation_id();
    std::lock_guard lock(mutex_);
    RuntimeState& state = state_;
    Status stopped;
    if (state.active) {
        ActiveRuntime session = std::move(*state.active);
        state.active.reset();
        stopped = stop_core_gracefully(session, stop_platform_);
    }
    RuntimeStatus record = bare_stopped(service_instance_id_);
    record.stopped_at = clock::now_millis();
    record.last_operation_id = op;
    if (!stopped) record.detail = stopped.error().one_line();
    state.last_status = record;
    if (!stopped) return fail(stopped.error());
    return record;
}

Status RuntimeManager::stop_active(RuntimeState& state, const std::string& operation_id) {
    shred_stale_configuration(service_dir_);
    if (!state.active) {
        RuntimeStatus record = bare_stopped(service_instance_id_);
        record.stopped_at = clock::now_millis();
        record.last_operation_id = operation_id;
        state.last_status = std::move(record);
        return {};
    }
    ActiveRuntime session = std::move(*state.active);
    state.active.reset();
    Status stopped = stop_core_gracefully(session, stop_platform_);
    state.last_status = stopped_session_record(session, service_instance_id_, operation_id);
    // A stop that gave up says so in the status as well as in the reply.
    if (!stopped) state.last_status->detail = stopped.error().one_line();
    return stopped;
}

Result<std::filesystem::path> service_dir_of(const Result<std::filesystem::path>& executable) {
    if (!executable) return fail(executable.error().context("Failed to get current executable path"));
    if (!executable->has_parent_path() || executable->parent_path() == *executable)
        return fail("Failed to resolve service directory");
    return executable->parent_path();
}

RuntimeStatus stopped_session_record(const ActiveRuntime& session, std::string service_instance_id,
                                     std::optional<std::string> operation_id) {
    RuntimeStatus record = bare_stopped(std::move(service_instance_id));
    record.started_at = session.started_at;
    record.stopped_at = clock::now_millis();
    record.profile_id = session.profile_id;
    record.binary_path = session.binary_path;
    record.config_path = session.config_path;
    record.client_runtime_id = session.client_runtime_id;
    record.last_operation_id = std::move(operation_id);
    return record;
}

}  // namespace zorv::manager
