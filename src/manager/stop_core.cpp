#include "manager/stop_core.hpp"

#include <windows.h>

#include <thread>
#include <vector>

#include <fmt/format.h>

#include "common/win32.hpp"
#include "logger/log.hpp"
#include "manager/firewall.hpp"

namespace zorv::manager {

namespace {

constexpr std::chrono::milliseconds kGracefulExitWindow{2000};
constexpr std::chrono::milliseconds kGracefulExitPoll{50};

Status succeeded(BOOL done) {
    if (!done) return fail(win32::last_os_error());
    return {};
}

class SystemCoreStopPlatform final : public CoreStopPlatform {
public:
    std::vector<std::uint32_t> own_console_peers() override {
        std::vector<DWORD> ids(16);
        for (;;) {
            const DWORD count = ::GetConsoleProcessList(ids.data(), static_cast<DWORD>(ids.size()));
            if (count == 0) return {};  // no console
            if (count <= ids.size()) {
                ids.resize(count);
                break;
            }
            ids.resize(count);
        }
        const DWORD self = ::GetCurrentProcessId();
        std::vector<std::uint32_t> peers;
        for (DWORD id : ids)
            if (id != self) peers.push_back(id);
        return peers;
    }
    Status attach_console(std::uint32_t pid) override { return succeeded(::AttachConsole(pid)); }
    Status free_console() override { return succeeded(::FreeConsole()); }
    Status ignore_ctrl_events(bool ignore) override {
        return succeeded(::SetConsoleCtrlHandler(nullptr, ignore ? TRUE : FALSE));
    }
    Status send_ctrl_break(std::uint32_t process_group) override {
        return succeeded(::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process_group));
    }
    bool has_exited(const ChildProcess& child) override {
        const auto exited = child.try_wait();
        return exited && exited->has_value();
    }
    Status kill_and_wait(const ChildProcess& child, std::chrono::milliseconds limit) override {
        // One that already ended cannot be killed; the wait tells.
        log::ignore_failure(child.kill(1), log::target::manager, "the wait below says whether the core ended");
        const auto ended = child.wait_for(limit);
        if (!ended) return fail(ended.error());
        if (!*ended) return fail(win32::os_error(ERROR_TIMEOUT));
        return {};
    }
    std::chrono::steady_clock::time_point now() override { return clock::system_clock().now(); }
    void sleep(std::chrono::milliseconds duration) override { clock::system_clock().sleep(duration); }
    Status remove_firewall_rule() override { return remove_lan_firewall_rule(); }
};

enum class BreakOutcome { NotAttached, NotSent, Sent };

// Attaches to the core's console, raises the break in its process group with
// the helper itself ignoring it, and detaches again. The helper can be on a
// console of its own only in the foreground mode; it gets that console back.
// Back onto the helper's own console through any process still on it; the
// first of them may have exited meanwhile. Without it Ctrl+C no longer reaches
// the foreground helper, which the operator must learn.
void reattach_own_console(const std::vector<std::uint32_t>& peers, CoreStopPlatform& platform) {
    for (const std::uint32_t peer : peers)
        if (platform.attach_console(peer)) return;
    log::warn(log::target::manager,
              "Could not reattach to the helper's console through any of {} process(es); Ctrl+C may no longer "
              "reach the helper",
              peers.size());
}

BreakOutcome send_break_through_console(std::uint32_t pid, CoreStopPlatform& platform) {
    std::optional<std::vector<std::uint32_t>> own_console;
    bool attached = platform.attach_console(pid).has_value();
    if (!attached) {
        // Attaching fails while the helper is on a console of its own.
        own_console = platform.own_console_peers();
        log::ignore_failure(platform.free_console(), log::target::manager,
                            "the attach that follows says whether it mattered");
        attached = platform.attach_console(pid).has_value();
    }

    bool sent = false;
    if (attached) {
        const bool ignoring = platform.ignore_ctrl_events(true).has_value();
        sent = platform.send_ctrl_break(pid).has_value();
        log::ignore_failure(platform.free_console(), log::target::manager, "the break's outcome is already known");
        if (ignoring)
            log::ignore_failure(platform.ignore_ctrl_events(false), log::target::manager,
                                "the break's outcome is already known; the helper goes on ignoring Ctrl+C");
    }
    if (own_console && !own_console->empty()) reattach_own_console(*own_console, platform);

    if (!attached) return BreakOutcome::NotAttached;
    return sent ? BreakOutcome::Sent : BreakOutcome::NotSent;
}

// Polls every 50 ms for up to 2 s from now; true when the core exited.
bool wait_for_graceful_exit(const ChildProcess& core, CoreStopPlatform& platform) {
    const auto started = platform.now();
    for (;;) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(platform.now() - started);
        if (elapsed >= kGracefulExitWindow) return false;
        if (platform.has_exited(core)) {
            log::info(log::target::manager, "sing-box pid={} exited gracefully in {}ms", core.pid, elapsed.count());
            log::info(log::target::manager,
                      "sing-box pid={} exited gracefully; Wintun adapter closed natively by sing-box.", core.pid);
            return true;
        }
        platform.sleep(kGracefulExitPoll);
    }
}

}  // namespace

CoreStopPlatform& system_core_stop_platform() {
    static SystemCoreStopPlatform platform;
    return platform;
}

Status stop_core_gracefully(const ChildProcess& core, bool lan_rule, CoreStopPlatform& platform) {
    const std::uint32_t pid = core.pid;
    bool exited = false;
    switch (send_break_through_console(pid, platform)) {
        case BreakOutcome::NotAttached:
            log::warn(log::target::manager, "Failed to attach console to sing-box process pid={}", pid);
            break;
        case BreakOutcome::NotSent:
            log::warn(log::target::manager, "Failed to generate CTRL_BREAK_EVENT for sing-box pid={}", pid);
            break;
        case BreakOutcome::Sent:
            log::info(log::target::manager, "Sent CTRL_BREAK_EVENT to sing-box process pid={}", pid);
            exited = wait_for_graceful_exit(core, platform);
            break;
    }
    std::optional<Error> failure;
    if (!exited) {
        log::warn(log::target::manager, "sing-box pid={} did not exit gracefully, force killing", pid);
        if (!platform.kill_and_wait(core, kKilledCoreDeadline)) {
            const std::string message =
                fmt::format("sing-box pid={} did not end within {} ms of being killed", pid, kKilledCoreDeadline.count());
            log::error(log::target::manager, "{}", message);
            failure = win32::deadline_error(message);
        }
    }
    // Also after a failed kill: the rule must not outlive the session.
    if (lan_rule) {
        if (auto removed = platform.remove_firewall_rule(); !removed && !failure) failure = removed.error();
    }
    if (failure) return fail(*failure);
    return {};
}

}  // namespace zorv::manager
