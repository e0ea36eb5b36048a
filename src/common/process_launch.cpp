#include "common/process_launch.hpp"

#include <algorithm>
#include <vector>

#include "common/inherited_handles.hpp"
#include "common/win32.hpp"

namespace zorv {

namespace {
SECURITY_ATTRIBUTES inheritable() { return SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE}; }
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

Result<ChildProcess> launch_process(const ProcessLaunch& launch) {
    // Each handle once: output and error are often the same.
    std::vector<HANDLE> handles;
    for (HANDLE handle : {launch.input, launch.output, launch.error})
        if (handle != nullptr && std::ranges::find(handles, handle) == handles.end()) handles.push_back(handle);
    auto handle_list = win32::InheritedHandleList::create(std::move(handles));
    if (!handle_list) return fail(handle_list.error());

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = launch.input;
    startup.StartupInfo.hStdOutput = launch.output;
    startup.StartupInfo.hStdError = launch.error;
    startup.lpAttributeList = handle_list->get();

    std::wstring command_line = launch.command_line;
    const DWORD flags =
        launch.creation_flags | EXTENDED_STARTUPINFO_PRESENT | (launch.suspended ? CREATE_SUSPENDED : 0);
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(launch.application.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                          launch.working_dir.empty() ? nullptr : launch.working_dir.c_str(), &startup.StartupInfo,
                          &created))
        return fail(win32::last_os_error());
    ChildProcess child;
    child.process.reset(created.hProcess);
    child.thread.reset(created.hThread);
    child.pid = created.dwProcessId;
    return child;
}

Result<ChildPipe> child_pipe(PipeDirection direction) {
    SECURITY_ATTRIBUTES attributes = inheritable();
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &attributes, 0)) return fail(win32::last_os_error());
    win32::UniqueHandle reader(read_end);
    win32::UniqueHandle writer(write_end);
    ChildPipe pipe = direction == PipeDirection::ToChild ? ChildPipe{std::move(reader), std::move(writer)}
                                                          : ChildPipe{std::move(writer), std::move(reader)};
    if (!::SetHandleInformation(pipe.helper_end.get(), HANDLE_FLAG_INHERIT, 0)) return fail(win32::last_os_error());
    return pipe;
}

Result<win32::UniqueHandle> null_input() {
    SECURITY_ATTRIBUTES attributes = inheritable();
    win32::UniqueHandle input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                                            OPEN_EXISTING, 0, nullptr));
    if (!input) return fail(win32::last_os_error());
    return input;
}

}  // namespace zorv
