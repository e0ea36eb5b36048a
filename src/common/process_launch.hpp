#pragma once
// The one way the helper starts a process (the core and the system tools
// alike): from a full path, with exactly the three standard handles it is
// given and no other handle the helper holds, and one owner for what
// CreateProcessW returns.

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
    // The helper's end of the child's input pipe, when it was given one.
    win32::UniqueHandle std_in;
    std::uint32_t pid = 0;

    // Exit code once the process has ended, nullopt while it runs. Never waits.
    Result<std::optional<std::uint32_t>> try_wait() const;
    // TerminateProcess with the given code.
    Status kill(std::uint32_t exit_code = 1) const;
    // Waits up to `limit` for the process to end; true once it has.
    Result<bool> wait_for(std::chrono::milliseconds limit) const;
    // Lets a process created suspended run.
    Status resume() const;
};

struct ProcessLaunch {
    std::wstring application{};  // a full path: nothing is looked up on the search path
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

// Both ends of an anonymous pipe to or from a child: the child's end
// inheritable, the helper's end not.
struct ChildPipe {
    win32::UniqueHandle child_end;
    win32::UniqueHandle helper_end;
};
enum class PipeDirection { ToChild, FromChild };
Result<ChildPipe> child_pipe(PipeDirection direction);

// The null device open for reading, inheritable: an empty standard input.
Result<win32::UniqueHandle> null_input();

// An inheritable duplicate of `source`; empty when there is nothing to
// duplicate or duplicating fails.
win32::UniqueHandle inheritable_duplicate(HANDLE source);

}  // namespace zorv
