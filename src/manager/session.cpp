#include "manager/session.hpp"

#include <chrono>

#include <fmt/format.h>

#include "common/clock.hpp"
#include "common/product.hpp"
#include "common/text.hpp"
#include "logger/helper_events.hpp"
#include "logger/log.hpp"
#include "manager/config_file_keys.hpp"
#include "manager/core_log.hpp"
#include "manager/firewall.hpp"
#include "security/path_checks.hpp"
#include "security/strict_mode.hpp"

namespace zorv::manager {

namespace {

constexpr auto kLivenessPause = std::chrono::milliseconds(80);
constexpr std::size_t kImmediateExitTailLines = 15;
// How long a core that has exited may take to have its last output written:
// nothing of it is buffered but the pipe's contents.
constexpr auto kDrainWait = std::chrono::seconds(2);

struct CoreBinary {
    std::filesystem::path path;
    std::string text;  // as logged, reported and given to the firewall rule
};

// Everything about the launch that is settled before the core exists.
struct LaunchPlan {
    std::string profile;
    CoreLog core_log;
    NetworkParameters network;
};

// The pipe the core's output goes through to its log; none when the log
// could not be opened (the core then writes to the helper's own streams, as
// it always did) or the pipe could not be made.
std::optional<CoreOutput> drain_core_output(CoreLog& core_log) {
    if (!core_log.file) return std::nullopt;
    auto output = CoreOutput::start(std::move(core_log.file), core_log.path,
                                    CoreOutputLimits{kCoreLogRotateBytes, kCoreLogGenerations});
    if (!output) {
        log::warn(log::target::manager, "sing-box output will not be logged: {}", output.error().one_line());
        return std::nullopt;
    }
    return std::move(*output);
}

Result<std::filesystem::path> target_executable(const StartCommand& command,
                                                const std::filesystem::path& service_dir) {
    if (!command.binary_path) return service_dir / product::kCoreExecutable;
    if (auto checked = security::check_binary_path(*command.binary_path, service_dir); !checked)
        return fail(checked.error());
    return std::filesystem::path(win32::to_wide(*command.binary_path));
}

Status check_target(const std::filesystem::path& target, const std::string& target_text) {
    if (!security::metadata_following_links(target)) return fail(fmt::format("sing-box binary not found at {}", target_text));
    if (!security::is_windows_executable(target))
        return fail(fmt::format("Target binary at {} is not a valid Windows executable", target_text));
    return {};
}

// The executable to start: the one named (checked against the service
// directory) or the service's own, replaced first by the copy of the
// `sourcePath` core when there is one.
Result<CoreBinary> ready_core_binary(const StartCommand& command, const std::filesystem::path& service_dir,
                                     Result<std::optional<security::StagedCore>>& deployment) {
    auto target = target_executable(command, service_dir);
    if (!target) return fail(target.error());
    CoreBinary binary{std::move(*target), {}};
    binary.text = win32::path_text(binary.path);
    if (!deployment) return fail(deployment.error());
    if (*deployment) {
        if (auto installed = security::install_core(**deployment, binary.path); !installed)
            return fail(installed.error());
    }
    if (auto checked = check_target(binary.path, binary.text); !checked) return fail(checked.error());
    return binary;
}

// The core's log with this session's header, its network parameters, and no
// firewall rule left over from an earlier core.
Result<LaunchPlan> plan_launch(const StartCommand& command, const std::filesystem::path& service_dir,
                               const ConfigurationSelection& selection, ChildToolRunner& tools) {
    LaunchPlan plan;
    plan.profile = command.profile_id.value_or(std::string(kDefaultProfile));
    plan.core_log = prepare_core_log(service_dir, plan.profile, selection.label);
    plan.network = resolve_network_parameters(selection);
    if (plan.network.lan_proxy_port) {
        if (auto removed = remove_lan_firewall_rule(tools); !removed) return fail(removed.error());
    }
    return plan;
}

// Created suspended, fed its configuration, bound to its job and only then
// let run, so that nothing it starts escapes the job.
Result<LaunchedCore> launch_core(CoreLauncher& launcher, const CoreBinary& binary, ConfigurationSelection& selection,
                                 CoreLog& core_log, const std::filesystem::path& service_dir) {
    log::info(log::target::manager, "Spawning sing-box process: binary={}, config_arg='{}'",
              text::log_safe(binary.text), text::log_safe(selection.argument));
    std::optional<CoreOutput> output = drain_core_output(core_log);
    auto spawned = launcher.spawn_suspended(CoreCommand{binary.path, selection.argument, service_dir,
                                                        output ? output->core_end() : nullptr});
    if (!spawned) return fail(spawned.error().context("Failed to spawn sing-box process"));
    if (output) output->release_core_end();
    LaunchedCore core{std::move(*spawned), {}, std::move(output)};
    log::info(log::target::manager, "sing-box process spawned with PID={}", core.child.pid);

    log::info(log::target::manager, "Streaming {} bytes of configuration into sing-box stdin",
              selection.content.size());
    launcher.stream_input(std::move(core.child.std_in), std::move(selection.content));

    auto job = launcher.bind_to_kill_on_close_job(core.child);
    if (!job) {
        launcher.kill(core.child);
        Error error = job.error().context("Failed to bind sing-box to Windows Job Object");
        log::error(log::target::manager, "{}", text::log_safe(error.one_line()));
        return fail(std::move(error));
    }
    core.job = std::move(*job);
    log::info(log::target::manager, "sing-box PID={} successfully bound to Win32 Job Object", core.child.pid);
    if (auto resumed = launcher.resume(core.child); !resumed) {
        launcher.kill(core.child);
        return fail(resumed.error().context("Failed to spawn sing-box process"));
    }
    return core;
}

// A core that exits within the pause is a failed start, reported with what
// it wrote to its log in this session.
Status check_liveness(CoreLauncher& launcher, clock::Clock& clock, const LaunchedCore& core,
                      const CoreLog& core_log) {
    clock.sleep(kLivenessPause);
    const std::uint32_t pid = core.child.pid;
    const auto exited = launcher.exit_code(core.child);
    if (!exited) {
        Error error = exited.error().context("Failed to check sing-box process status");
        log::error(log::target::manager, "{}", text::log_safe(error.one_line()));
        return fail(std::move(error));
    }
    if (exited->has_value()) {
        // Quoted from the file below; what has not reached it by then is not quoted.
        if (core.output) core.output->wait_drained(kDrainWait);
        const std::string status = exit_status_text(**exited);
        const std::string tail = read_core_log_tail(core_log.path, kImmediateExitTailLines, core_log.session_start);
        log::error(log::target::manager, "sing-box PID={} exited immediately with {}. Recent log:\n{}", pid, status,
                   tail.empty() ? "none" : text::log_safe_block(tail));
        return fail(fmt::format("sing-box exited immediately with {}: {}", status,
                                tail.empty() ? "check sing-box configuration" : tail));
    }
    log::info(log::target::manager, "sing-box PID={} passed 80ms liveness check; running normally", pid);
    return {};
}

// A core that could not be launched or did not stay up; a request refused
// before that is the caller's matter and only logged.
Error reported_start_failure(Error error) {
    events::core_start_failed(error.one_line());
    return error;
}

constexpr std::size_t kExitDetailLines = 5;
// The watchdog's record carries this in place of the manager's instance id.
constexpr std::string_view kWatchdogInstanceId = "watchdog";
constexpr std::string_view kClientExitedDetail = "GUI client exited";

std::string exit_detail(std::uint32_t code, const std::string& tail) {
    const auto signed_code = static_cast<std::int32_t>(code);
    if (tail.empty()) return fmt::format("sing-box exited with code Some({})", signed_code);
    return fmt::format("sing-box exited (code Some({})): {}", signed_code, tail);
}
}  // namespace

Result<Session> Session::start(const StartCommand& command, Result<ConfigurationSelection> selection,
                               Result<std::optional<security::StagedCore>> deployment, const StartContext& context) {
    const std::filesystem::path& service_dir = context.service_dir;
    auto binary = ready_core_binary(command, service_dir, deployment);
    if (!binary) return fail(binary.error());

    shred_stale_configuration(service_dir);
    // Selected (and a file read, with the client's rights) before the lock.
    if (!selection) return fail(selection.error());
    const Status allowed =
        check_file_keys(selection->content, win32::path_text(service_dir), security::strict_mode_active());
    if (!allowed) return fail(allowed.error());
    auto plan = plan_launch(command, service_dir, *selection, context.tools);
    if (!plan) return fail(plan.error());

    auto core = launch_core(context.launcher, *binary, *selection, plan->core_log, service_dir);
    if (!core) return fail(reported_start_failure(core.error()));
    // From here a failure drops `core`, whose job ends the child.
    if (auto alive = check_liveness(context.launcher, context.clock, *core, plan->core_log); !alive)
        return fail(reported_start_failure(alive.error()));

    const std::int64_t started_at = clock::now_millis();
    if (plan->network.lan_proxy_port) {
        if (auto added = add_lan_firewall_rule(*plan->network.lan_proxy_port, binary->text, context.tools); !added)
            return fail(added.error());
    }
    return Session(std::move(*core),
                   SessionRecord{plan->profile, binary->text, selection->label, plan->network.tun_interface,
                                 command.client_runtime_id, started_at, plan->network.lan_proxy_port,
                                 plan->core_log.path, plan->core_log.session_start});
}

RuntimeStatus Session::status(const std::string& service_instance_id,
                              const std::optional<std::string>& operation_id) const {
    RuntimeStatus status = shown(service_instance_id, operation_id);
    status.running = true;
    status.state = "running";
    status.pid = status.singbox_pid = pid();
    return status;
}

std::optional<std::uint32_t> Session::exit_code() const { return core_.child.try_wait().value_or(std::nullopt); }

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
    const std::string instance = watchdog ? std::string(kWatchdogInstanceId) : service_instance_id;
    RuntimeStatus record = reason.kind == Kind::Reset ? stopped_record(instance, reason.operation_id)
                                                      : stopped_session_record(instance, reason.operation_id);
    record.detail = watchdog ? std::string(kClientExitedDetail) + (failure ? "; " + *failure : "") : failure;
    return {std::move(record), std::move(stopped)};
}

RuntimeStatus Session::exit_record(std::uint32_t code, CoreStopPlatform& platform,
                                   const std::string& service_instance_id) {
    log::warn(log::target::manager, "Detected that sing-box PID={} has exited (status: ExitStatus(ExitStatus({})))",
              pid(), code);
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
