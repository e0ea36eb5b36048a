// The start operation: replaces whatever core runs with a new one built from
// one start request. Runs with the state lock held from first step to last.

#include <chrono>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "common/clock.hpp"
#include "common/product.hpp"
#include "common/text.hpp"
#include "logger/log.hpp"
#include "manager/child_process.hpp"
#include "manager/core_config.hpp"
#include "manager/firewall.hpp"
#include "manager/runtime_manager.hpp"
#include "security/path_checks.hpp"

namespace zorv::manager {

namespace {

constexpr auto kLivenessPause = std::chrono::milliseconds(80);
constexpr std::size_t kImmediateExitTailLines = 15;
constexpr DWORD kMaxWriteChunk = 1 << 20;

// Writes the whole configuration into the core's standard input on a thread
// of its own and closes the pipe, so the core sees the end of its input.
// Nobody waits for it; a write error (the core went away) just ends it.
void stream_configuration(win32::UniqueHandle pipe, std::string content) {
    try {
        std::thread([pipe = std::move(pipe), content = std::move(content)]() mutable {
            std::string_view rest = content;
            while (!rest.empty()) {
                const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), kMaxWriteChunk));
                DWORD written = 0;
                if (!::WriteFile(pipe.get(), rest.data(), chunk, &written, nullptr) || written == 0) break;
                rest.remove_prefix(written);
            }
            pipe.reset();
        }).detach();
    } catch (const std::system_error&) {
        // No thread: the pipe closed with the lambda, and the core reads an empty input.
    }
}

Result<std::filesystem::path> target_executable(const StartCommand& request,
                                                const std::filesystem::path& service_dir) {
    if (!request.binary_path) return service_dir / product::kCoreExecutable;
    if (auto checked = security::check_binary_path(*request.binary_path, service_dir); !checked)
        return fail(checked.error());
    return std::filesystem::path(win32::to_wide(*request.binary_path));
}

Status check_target(const std::filesystem::path& target, const std::string& target_text) {
    if (!security::metadata_following_links(target)) return fail(fmt::format("sing-box binary not found at {}", target_text));
    if (!security::is_windows_executable(target))
        return fail(fmt::format("Target binary at {} is not a valid Windows executable", target_text));
    return {};
}

}  // namespace

Result<RuntimeStatus> RuntimeManager::start_locked(RuntimeState& state, const StartCommand& request,
                                                   const std::string& operation_id,
                                                   Result<ConfigurationSelection> selection) {
    if (auto stopped = stop_active(state, operation_id); !stopped) return fail(stopped.error());

    // The manager's directory is the executable's own unless a test named another.
    if (!resolved_service_dir_) return fail(resolved_service_dir_.error());
    const std::filesystem::path& service_dir = service_dir_;
    auto target = target_executable(request, service_dir);
    if (!target) return fail(target.error());
    const std::string target_text = win32::path_text(*target);

    if (request.source_path) {
        if (auto deployed = security::deploy_binary(*request.source_path, *target, service_dir); !deployed)
            return fail(deployed.error());
    }
    if (auto checked = check_target(*target, target_text); !checked) return fail(checked.error());

    shred_stale_configuration(service_dir);
    // Selected (and a file read, with the client's rights) before the lock.
    if (!selection) return fail(selection.error());
    const std::string profile = request.profile_id.value_or(std::string(kDefaultProfile));
    CoreLog core_log = prepare_core_log(service_dir, profile, selection->label);
    const NetworkParameters network = resolve_network_parameters(*selection);
    if (network.lan_proxy_port) {
        if (auto removed = remove_lan_firewall_rule(); !removed) return fail(removed.error());
    }

    log::info(log::target::manager, "Spawning sing-box process: binary={}, config_arg='{}'",
              text::log_safe(target_text), text::log_safe(selection->argument));
    auto spawned =
        spawn_core_suspended(CoreCommand{*target, selection->argument, service_dir, true, core_log.file.get()});
    if (!spawned) return fail(spawned.error().context("Failed to spawn sing-box process"));
    core_log.file.reset();
    ChildProcess child = std::move(*spawned);
    const std::uint32_t pid = child.pid;
    log::info(log::target::manager, "sing-box process spawned with PID={}", pid);

    log::info(log::target::manager, "Streaming {} bytes of configuration into sing-box stdin",
              selection->content.size());
    stream_configuration(std::move(child.std_in), std::move(selection->content));

    auto job = bind_to_kill_on_close_job(child);
    if (!job) {
        (void)child.kill(1);
        Error error = job.error().context("Failed to bind sing-box to Windows Job Object");
        log::error(log::target::manager, "{}", error.one_line());
        return fail(std::move(error));
    }
    log::info(log::target::manager, "sing-box PID={} successfully bound to Win32 Job Object", pid);
    if (auto resumed = child.resume(); !resumed) {
        (void)child.kill(1);
        return fail(resumed.error().context("Failed to spawn sing-box process"));
    }

    std::this_thread::sleep_for(kLivenessPause);
    const auto exited = child.try_wait();
    if (!exited) {
        // Closing the job (as `job` goes) ends the child through kill-on-close.
        Error error = exited.error().context("Failed to check sing-box process status");
        log::error(log::target::manager, "{}", error.one_line());
        return fail(std::move(error));
    }
    if (exited->has_value()) {
        const std::string status = exit_status_text(**exited);
        const std::string tail = read_core_log_tail(core_log.path, kImmediateExitTailLines, core_log.session_start);
        log::error(log::target::manager, "sing-box PID={} exited immediately with {}. Recent log:\n{}", pid, status,
                   tail.empty() ? "none" : text::log_safe_block(tail));
        return fail(fmt::format("sing-box exited immediately with {}: {}", status,
                                tail.empty() ? "check sing-box configuration" : tail));
    }
    log::info(log::target::manager, "sing-box PID={} passed 80ms liveness check; running normally", pid);

    const std::int64_t started_at = clock::now_millis();
    if (network.lan_proxy_port) {
        // Closing the job (as `job` goes) ends the child through kill-on-close.
        if (auto added = add_lan_firewall_rule(*network.lan_proxy_port, target_text); !added) return fail(added.error());
    }

    state.active.reset();
    state.active.emplace(ActiveRuntime{std::move(child), profile, target_text, selection->label,
                                       network.tun_interface, request.client_runtime_id, std::move(*job), started_at,
                                       network.lan_proxy_port, pid, core_log.session_start});
    if (request.client_pid != 0 && launch_watchdog_) {
        launch_watchdog_(
            WatchdogRequest{weak_from_this(), request.client_pid, operation_id, request.client_runtime_id});
    }
    return snapshot(state, operation_id);
}

}  // namespace zorv::manager
