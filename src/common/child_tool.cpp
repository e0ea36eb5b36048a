#include "common/child_tool.hpp"

#include <windows.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <vector>

#include <fmt/format.h>

#include "common/inherited_handles.hpp"
#include "common/win32.hpp"

namespace zorv {

namespace {

// Reads whatever the tool has written so far, without blocking; keeps it in
// `kept` (when given) up to `keep_limit` bytes and discards the rest.
void drain_available(HANDLE pipe, std::string* kept, std::size_t keep_limit) {
    std::array<char, 4096> buffer;
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) return;
        DWORD read = 0;
        if (!::ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) || read == 0) return;
        if (kept != nullptr && kept->size() < keep_limit)
            kept->append(buffer.data(), std::min<std::size_t>(read, keep_limit - kept->size()));
    }
}

}  // namespace

Result<std::wstring> system_tool_path(std::string_view program) {
    std::wstring directory(MAX_PATH, L'\0');
    for (;;) {
        const UINT length = ::GetSystemDirectoryW(directory.data(), static_cast<UINT>(directory.size()));
        if (length == 0) return fail(win32::last_os_error().context("Failed to find the system directory"));
        if (length < directory.size()) {
            directory.resize(length);
            break;
        }
        directory.resize(length);
    }
    std::wstring path = directory + L"\\" + win32::to_wide(program);
    if (std::filesystem::path(path).extension().empty()) path += L".exe";
    return path;
}

namespace {

Result<std::int32_t> run_tool(std::string_view program, const std::vector<std::string>& arguments,
                              std::chrono::milliseconds deadline, std::string* kept, std::size_t keep_limit) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &inheritable, 0)) return fail(win32::last_os_error());
    win32::UniqueHandle output_reader(read_end);
    win32::UniqueHandle output_writer(write_end);
    ::SetHandleInformation(output_reader.get(), HANDLE_FLAG_INHERIT, 0);

    win32::UniqueHandle null_input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 &inheritable, OPEN_EXISTING, 0, nullptr));
    if (!null_input) return fail(win32::last_os_error());

    // Hand the tool exactly these two handles, nothing else the helper holds.
    auto inherited = win32::InheritedHandleList::create({null_input.get(), output_writer.get()});
    if (!inherited) return fail(inherited.error());

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null_input.get();
    startup.StartupInfo.hStdOutput = output_writer.get();
    startup.StartupInfo.hStdError = output_writer.get();
    startup.lpAttributeList = inherited->get();

    const auto tool = system_tool_path(program);
    if (!tool) return fail(tool.error());
    std::wstring command_line = win32::to_wide(build_command_line(program, arguments));
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(tool->c_str(), command_line.data(), nullptr, nullptr, TRUE,
                          CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                          &startup.StartupInfo, &info))
        return fail(win32::last_os_error());
    win32::UniqueHandle process(info.hProcess);
    win32::UniqueHandle thread(info.hThread);
    output_writer.reset();  // the tool holds the only write end now
    null_input.reset();

    // Drain while waiting, so that a talkative tool never blocks on a full pipe.
    const auto give_up_at = std::chrono::steady_clock::now() + deadline;
    DWORD waited = WAIT_TIMEOUT;
    while ((waited = ::WaitForSingleObject(process.get(), 5)) == WAIT_TIMEOUT) {
        drain_available(output_reader.get(), kept, keep_limit);
        if (std::chrono::steady_clock::now() >= give_up_at) {
            ::TerminateProcess(process.get(), 1);
            return fail(win32::deadline_error(
                fmt::format("{} did not finish within {} ms and was terminated", program, deadline.count())));
        }
    }
    if (waited != WAIT_OBJECT_0) return fail(win32::last_os_error().context(fmt::format("Waiting for {}", program)));
    drain_available(output_reader.get(), kept, keep_limit);

    DWORD exit_code = 0;
    if (!::GetExitCodeProcess(process.get(), &exit_code)) return fail(win32::last_os_error());
    return static_cast<std::int32_t>(exit_code);
}

}  // namespace

Result<std::int32_t> run_child_tool(std::string_view program, const std::vector<std::string>& arguments,
                                    std::chrono::milliseconds deadline) {
    return run_tool(program, arguments, deadline, nullptr, 0);
}

Result<ChildToolOutput> run_child_tool_for_output(std::string_view program, const std::vector<std::string>& arguments,
                                                  std::chrono::milliseconds deadline, std::size_t keep_limit) {
    ChildToolOutput result;
    auto exit_code = run_tool(program, arguments, deadline, &result.output, keep_limit);
    if (!exit_code) return fail(exit_code.error());
    result.exit_code = *exit_code;
    return result;
}

namespace {
class SystemChildTools final : public ChildToolRunner {
public:
    Result<std::int32_t> run(std::string_view program, const std::vector<std::string>& arguments) override {
        return run_child_tool(program, arguments);
    }
};
}  // namespace

ChildToolRunner& system_child_tools() {
    static SystemChildTools tools;
    return tools;
}

}  // namespace zorv
