#pragma once
// What a start needs from the system to bring the core up, behind one
// interface as the stop's are, so that the start's steps can be driven
// without a real process.

#include <cstdint>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/win32.hpp"
#include "manager/child_process.hpp"

namespace zorv::manager {

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
    // Ends a core that could not be made safe to keep; failures are ignored.
    virtual void kill(const ChildProcess& child) = 0;
};

// Real processes, jobs and a writer thread.
CoreLauncher& system_core_launcher();

}  // namespace zorv::manager
