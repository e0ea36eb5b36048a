#include "manager/child_process.hpp"

#include <vector>

#include <fmt/format.h>

#include "common/argument_quoting.hpp"
#include "common/inherited_handles.hpp"

namespace zorv::manager {

namespace {

constexpr DWORD kCoreCreationFlags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP;  // 0x08000200

SECURITY_ATTRIBUTES inheritable() { return SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE}; }

// An inheritable duplicate of `source`; empty when there is nothing to duplicate or it fails.
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
    if (log != nullptr && log != INVALID_HANDLE_VALUE) {
        if (auto duplicate = inheritable_duplicate(log)) return duplicate;
    }
    return inheritable_duplicate(::GetStdHandle(standard_stream));
}

struct ChildInput {
    win32::UniqueHandle child_end;   // inherited by the core
    win32::UniqueHandle helper_end;  // write end of the pipe, kept by the helper
};

Result<ChildInput> child_input(bool pipe) {
    SECURITY_ATTRIBUTES attributes = inheritable();
    ChildInput input;
    if (!pipe) {
        input.child_end.reset(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                                            OPEN_EXISTING, 0, nullptr));
        if (!input.child_end) return fail(win32::last_os_error());
        return input;
    }
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &attributes, 0)) return fail(win32::last_os_error());
    input.child_end.reset(read_end);
    input.helper_end.reset(write_end);
    if (!::SetHandleInformation(input.helper_end.get(), HANDLE_FLAG_INHERIT, 0)) return fail(win32::last_os_error());
    return input;
}

}  // namespace

Result<std::optional<std::uint32_t>> ChildProcess::try_wait() const {
    const DWORD waited = ::WaitForSingleObject(process.get(), 0);
    if (waited == WAIT_TIMEOUT) return std::optional<std::uint32_t>{};
    if (waited != WAIT_OBJECT_0) return fail(win32::last_os_error());
    DWORD code = 0;
    if (!::GetExitCodeProcess(process.get(), &code)) return fail(win32::last_os_error());
    return std::optional<std::uint32_t>{code};
}

Status ChildProcess::kill(std::uint32_t exit_code) const {
    if (!::TerminateProcess(process.get(), exit_code)) return fail(win32::last_os_error());
    return {};
}

Result<bool> ChildProcess::wait_for(std::chrono::milliseconds limit) const {
    const DWORD waited = ::WaitForSingleObject(process.get(), static_cast<DWORD>(limit.count()));
    if (waited == WAIT_OBJECT_0) return true;
    if (waited == WAIT_TIMEOUT) return false;
    return fail(win32::last_os_error());
}

Status ChildProcess::resume() const {
    if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) return fail(win32::last_os_error());
    return {};
}

std::string exit_status_text(std::uint32_t code) {
    if (code & 0x80000000u) return fmt::format("exit code: {:#x}", code);
    return fmt::format("exit code: {}", code);
}

std::string core_command_line(const std::filesystem::path& program, std::string_view config_argument) {
    return build_command_line(win32::path_text(program), {"run", "-c", std::string(config_argument)});
}

Result<ChildProcess> spawn_core_suspended(const CoreCommand& command) {
    auto input = child_input(command.stdin_pipe);
    if (!input) return fail(input.error());
    const win32::UniqueHandle output = child_output(command.output, STD_OUTPUT_HANDLE);
    const win32::UniqueHandle error = child_output(command.output, STD_ERROR_HANDLE);

    std::vector<HANDLE> inherited{input->child_end.get()};
    if (output) inherited.push_back(output.get());
    if (error) inherited.push_back(error.get());
    auto handle_list = win32::InheritedHandleList::create(std::move(inherited));
    if (!handle_list) return fail(handle_list.error());

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input->child_end.get();
    startup.StartupInfo.hStdOutput = output.get();
    startup.StartupInfo.hStdError = error.get();
    startup.lpAttributeList = handle_list->get();

    std::wstring command_line = win32::to_wide(core_command_line(command.program, command.config_argument));
    const std::wstring working_dir = command.working_dir.native();
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(command.program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                          kCoreCreationFlags | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                          working_dir.empty() ? nullptr : working_dir.c_str(), &startup.StartupInfo, &created))
        return fail(win32::last_os_error());

    ChildProcess child;
    child.process.reset(created.hProcess);
    child.thread.reset(created.hThread);
    child.pid = created.dwProcessId;
    child.std_in = std::move(input->helper_end);
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

}  // namespace zorv::manager
