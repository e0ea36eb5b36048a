#pragma once
// The core's process: how it is started, and what a start needs from the
// system to bring it up, behind one interface as the stop's are, so that the
// start's steps can be driven without a real process.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/process_launch.hpp"
#include "common/win32.hpp"

namespace zorv::manager {

// How the core is started.
struct CoreCommand {
    std::filesystem::path program;
    std::string config_argument;  // "stdin" or the configuration file path
    std::filesystem::path working_dir;
    HANDLE output = nullptr;  // the core log: stdout and stderr get a duplicate each
};

// program "run" "-c" <config argument>, each quoted the standard way.
std::string core_command_line(const std::filesystem::path& program, std::string_view config_argument);

// Creates the core suspended (so that nothing it starts can run before it is
// bound to its job) with CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, passing
// it exactly its three standard handles: its input is a pipe whose helper's
// end is in `std_in`.
Result<ChildProcess> spawn_core_suspended(const CoreCommand& command);

// An unnamed job whose only limit is kill-on-job-close, with the child in it.
Result<win32::UniqueHandle> bind_to_kill_on_close_job(const ChildProcess& child);

// "exit code: N", N in hexadecimal with 0x when its high bit is set.
std::string exit_status_text(std::uint32_t code);

class CoreLauncher {
public:
    virtual ~CoreLauncher() = default;

    // Created suspended, with exactly its three standard handles.
    virtual Result<ChildProcess> spawn_suspended(const CoreCommand& command) = 0;
    // Writes `content` into the core's standard input and closes it, without
    // the caller waiting for the core to read it.
    virtual void stream_input(win32::UniqueHandle input, std::string content) = 0;
    virtual Result<win32::UniqueHandle> bind_to_kill_on_close_job(const ChildProcess& child) = 0;
    virtual Status resume(const ChildProcess& child) = 0;
    // The exit code once the process has ended; nullopt while it runs.
    virtual Result<std::optional<std::uint32_t>> exit_code(const ChildProcess& child) = 0;
    // Ends a core that could not be made safe to keep; a failure is only
    // recorded, as the start fails either way.
    virtual void kill(const ChildProcess& child) = 0;
};

// Real processes, jobs and a writer thread.
CoreLauncher& system_core_launcher();

}  // namespace zorv::manager
