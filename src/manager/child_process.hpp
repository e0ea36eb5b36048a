#pragma once
// A child process and the handles the helper keeps of it.

#include <cstdint>
#include <optional>

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
    // Waits without limit for the process to end.
    Status wait() const;
};

// "exit code: N", N in hexadecimal with 0x when its high bit is set.
std::string exit_status_text(std::uint32_t code);

}  // namespace zorv::manager
