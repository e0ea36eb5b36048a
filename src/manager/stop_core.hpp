#pragma once
// Ending one core process: console break first, then force.

#include <chrono>
#include <cstdint>
#include <vector>

#include "common/clock.hpp"
#include "common/error.hpp"
#include "common/process_launch.hpp"

namespace zorv::manager {

// What the stop needs from the system, so that the decisions can be driven
// without a real console or process; its clock paces the graceful wait.
class CoreStopPlatform : public clock::Clock {
public:

    // The other processes attached to the helper's own console, through any
    // of which the helper can attach to that console again; empty when it has
    // none.
    virtual std::vector<std::uint32_t> own_console_peers() = 0;
    virtual Status attach_console(std::uint32_t pid) = 0;
    virtual Status free_console() = 0;
    // SetConsoleCtrlHandler(NULL, ignore).
    virtual Status ignore_ctrl_events(bool ignore) = 0;
    virtual Status send_ctrl_break(std::uint32_t process_group) = 0;

    // True once the process has ended; false while it runs or when asking failed.
    virtual bool has_exited(const ChildProcess& child) = 0;
    // Terminates with exit code 1 and waits up to `limit`; fails unless the
    // process has ended by then.
    virtual Status kill_and_wait(const ChildProcess& child, std::chrono::milliseconds limit) = 0;

    // Fails only when netsh.exe hung past its deadline.
    virtual Status remove_firewall_rule() = 0;
};

// The real console, process, clock and netsh.exe.
CoreStopPlatform& system_core_stop_platform();

// How long a killed core may take to end before the stop gives up on it.
inline constexpr std::chrono::milliseconds kKilledCoreDeadline{5000};

// Asks the core to exit with CTRL_BREAK_EVENT, waits up to 2 s, then kills it;
// removes the LAN firewall rule afterwards when the core had one. Blocks the
// calling thread, but never without limit: a core that outlives its kill, or
// a netsh.exe that hangs, is logged at ERROR and returned as the error (a
// deadline error).
[[nodiscard]] Status stop_core_gracefully(const ChildProcess& core, bool lan_rule, CoreStopPlatform& platform);

}  // namespace zorv::manager
