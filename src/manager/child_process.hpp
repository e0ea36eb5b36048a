#pragma once
// A child process and the handles the helper keeps of it.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/win32.hpp"

namespace zorv::manager {

struct ChildProcess {
    win32::UniqueHandle process;
    win32::UniqueHandle thread;
    win32::UniqueHandle std_in;
    win32::UniqueHandle std_out;
    win32::UniqueHandle std_err;
    std::uint32_t pid = 0;

    // Exit code once the process has ended, nullopt while it runs. Never waits.
    Result<std::optional<std::uint32_t>> try_wait() const;
    // TerminateProcess with the given code; failures are the caller's to ignore.
    Status kill(std::uint32_t exit_code = 1) const;
    // Waits up to `limit` for the process to end; true once it has.
    Result<bool> wait_for(std::chrono::milliseconds limit) const;
    // Lets a process created suspended run.
    Status resume() const;
};

// How the core is started.
struct CoreCommand {
    std::filesystem::path program;
    std::string config_argument;  // "stdin" or the configuration file path
    std::filesystem::path working_dir;
    bool stdin_pipe = false;  // a pipe the helper writes into; else the null device
    HANDLE output = nullptr;  // the core log: stdout and stderr get a duplicate each
};

// program "run" "-c" <config argument>, each quoted the standard way.
std::string core_command_line(const std::filesystem::path& program, std::string_view config_argument);

// Creates the core suspended (so that nothing it starts can run before it is
// bound to its job) with CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, passing
// it exactly its three standard handles. With `stdin_pipe` the helper's end of
// the pipe is in `std_in`.
Result<ChildProcess> spawn_core_suspended(const CoreCommand& command);

// An unnamed job whose only limit is kill-on-job-close, with the child in it.
Result<win32::UniqueHandle> bind_to_kill_on_close_job(const ChildProcess& child);

// "exit code: N", N in hexadecimal with 0x when its high bit is set.
std::string exit_status_text(std::uint32_t code);

}  // namespace zorv::manager
