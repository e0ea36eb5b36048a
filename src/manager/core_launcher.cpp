#include "manager/core_launcher.hpp"

#include <windows.h>

#include <algorithm>
#include <string_view>
#include <system_error>
#include <thread>

namespace zorv::manager {

namespace {

constexpr DWORD kMaxWriteChunk = 1 << 20;

// The whole input on a thread of its own, then the pipe closed so that the
// core sees the end of it. Nobody waits for the thread; a write error (the
// core went away) just ends it.
void write_and_close(win32::UniqueHandle pipe, std::string content) {
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

class SystemCoreLauncher final : public CoreLauncher {
public:
    Result<ChildProcess> spawn_suspended(const CoreCommand& command) override {
        return spawn_core_suspended(command);
    }
    void stream_input(win32::UniqueHandle input, std::string content) override {
        write_and_close(std::move(input), std::move(content));
    }
    Result<win32::UniqueHandle> bind_to_kill_on_close_job(const ChildProcess& child) override {
        return manager::bind_to_kill_on_close_job(child);
    }
    Status resume(const ChildProcess& child) override { return child.resume(); }
    Result<std::optional<std::uint32_t>> exit_code(const ChildProcess& child) override { return child.try_wait(); }
    void kill(const ChildProcess& child) override {
        (void)child.kill(1);  // one that already ended cannot be killed, and that is the aim
    }
};

}  // namespace

CoreLauncher& system_core_launcher() {
    static SystemCoreLauncher launcher;
    return launcher;
}

}  // namespace zorv::manager
