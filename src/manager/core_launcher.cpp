#include "manager/core_launcher.hpp"

#include <windows.h>

#include <algorithm>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "common/argument_quoting.hpp"
#include "logger/log.hpp"

namespace zorv::manager {

namespace {

constexpr DWORD kCoreCreationFlags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP;  // 0x08000200
constexpr DWORD kMaxWriteChunk = 1 << 20;

// An inheritable duplicate of `source`; empty when there is none or it fails.
win32::UniqueHandle inheritable_duplicate(HANDLE source) {
    if (source == nullptr || source == INVALID_HANDLE_VALUE) return {};
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), source, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS))
        return {};
    return win32::UniqueHandle(copy);
}

// The core's own duplicate of the log; the helper's own stream when there is
// no log or duplicating it failed.
win32::UniqueHandle child_output(HANDLE log, DWORD standard_stream) {
    if (auto duplicate = inheritable_duplicate(log)) return duplicate;
    return inheritable_duplicate(::GetStdHandle(standard_stream));
}

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
        log::ignore_failure(child.kill(1), log::target::manager, "a core that already ended cannot be killed");
    }
};

}  // namespace

std::string exit_status_text(std::uint32_t code) {
    if (code & 0x80000000u) return fmt::format("exit code: {:#x}", code);
    return fmt::format("exit code: {}", code);
}

std::string core_command_line(const std::filesystem::path& program, std::string_view config_argument) {
    return build_command_line(win32::path_text(program), {"run", "-c", std::string(config_argument)});
}

Result<ChildProcess> spawn_core_suspended(const CoreCommand& command) {
    auto input = child_pipe(PipeDirection::ToChild);
    if (!input) return fail(input.error());
    const win32::UniqueHandle output = child_output(command.output, STD_OUTPUT_HANDLE);
    const win32::UniqueHandle error = child_output(command.output, STD_ERROR_HANDLE);
    auto child = launch_process(
        ProcessLaunch{.application = command.program.native(),
                      .command_line = win32::to_wide(core_command_line(command.program, command.config_argument)),
                      .working_dir = command.working_dir.native(),
                      .input = input->child_end.get(),
                      .output = output.get(),
                      .error = error.get(),
                      .creation_flags = kCoreCreationFlags,
                      .suspended = true});
    if (!child) return fail(child.error());
    child->std_in = std::move(input->helper_end);
    return child;
}

Result<win32::UniqueHandle> bind_to_kill_on_close_job(const ChildProcess& child) {
    win32::UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
    if (!job) return fail(win32::last_os_error());
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)))
        return fail(win32::last_os_error());
    if (!::AssignProcessToJobObject(job.get(), child.process.get())) return fail(win32::last_os_error());
    return job;
}

CoreLauncher& system_core_launcher() {
    static SystemCoreLauncher launcher;
    return launcher;
}

}  // namespace zorv::manager
