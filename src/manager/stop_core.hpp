#pragma once
// Ending one core process: console break first, then force.

#include <chrono>
#include <cstdint>
#include <optional>

#include "manager/runtime_manager.hpp"

namespace zorv::manager {

// What the stop needs from the system, so that the decisions can be driven
// without a real console or process.
class CoreStopPlatform {
public:
    virtual ~CoreStopPlatform() = default;

    // Another process attached to the helper's own console, through which the
    // helper can attach to that console again; nullopt when it has none.
    virtual std::optional<std::uint32_t> own_console_peer() = 0;
    virtual bool attach_console(std::uint32_t pid) = 0;
    virtual bool free_console() = 0;
    // SetConsoleCtrlHandler(NULL, ignore).
    virtual bool ignore_ctrl_events(bool ignore) = 0;
    virtual bool send_ctrl_break(std::uint32_t process_group) = 0;

    // True once the process has ended; false while it runs or when asking failed.
    virtual bool has_exited(const ChildProcess& child) = 0;
    // Terminates with exit code 1 and waits without limit; failures are ignored.
    virtual void kill_and_wait(const ChildProcess& child) = 0;

    virtual std::chrono::steady_clock::time_point now() = 0;
    virtual void sleep(std::chrono::milliseconds duration) = 0;

    virtual void remove_firewall_rule() = 0;
};

// The real console, process, clock and netsh.exe.
CoreStopPlatform& system_core_stop_platform();

// Asks the core to exit with CTRL_BREAK_EVENT, waits up to 2 s, then kills it;
// removes the session's firewall rule afterwards. Blocks the calling thread.
void stop_core_gracefully(ActiveRuntime& session, CoreStopPlatform& platform = system_core_stop_platform());

}  // namespace zorv::manager
