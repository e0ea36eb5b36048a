#pragma once
// The one way the helper starts a process, the core and the system tools
// alike: from a full path, with exactly the standard handles it is given and
// no other handle the helper holds.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/unique_resource.hpp"

namespace zorv {

struct ChildProcess {
    win32::UniqueHandle process;
    win32::UniqueHandle thread;
    win32::UniqueHandle std_in;  // the helper's end of the child's input pipe, when it has one
    std::uint32_t pid = 0;

    // Exit code once the process has ended, nullopt while it runs.
    Result<std::optional<std::uint32_t>> try_wait() const;
    Status kill(std::uint32_t exit_code = 1) const;
    // Waits up to `limit` for the process to end; true once it has.
    Result<bool> wait_for(std::chrono::milliseconds limit) const;
    // Lets a process created suspended run.
    Status resume() const;
};

struct ProcessLaunch {
    std::wstring application{};  // never looked up on the search path
    std::wstring command_line{};
    std::wstring working_dir{};  // the helper's own when empty
    // Inheritable; a null one leaves that stream without a handle.
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    HANDLE error = nullptr;
    DWORD creation_flags = 0;
    bool suspended = false;
};
Result<ChildProcess> launch_process(const ProcessLaunch& launch);

// An anonymous pipe whose child end alone is inheritable.
struct ChildPipe {
    win32::UniqueHandle child_end;
    win32::UniqueHandle helper_end;
};
enum class PipeDirection { ToChild, FromChild };
Result<ChildPipe> child_pipe(PipeDirection direction);

// The null device, inheritable, for an empty standard input.
Result<win32::UniqueHandle> null_input();

}  // namespace zorv
