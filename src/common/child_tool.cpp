#include "common/child_tool.hpp"

#include <windows.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <vector>

#include <fmt/format.h>

#include "common/process_launch.hpp"
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

// The full path of a tool in the system directory (GetSystemDirectoryW):
// "C:\Windows\System32\netsh.exe" for "netsh.exe". ".exe" is added to a name
// without an extension.
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

Result<std::int32_t> run_tool(std::string_view program, const std::vector<std::string>& arguments,
                              std::chrono::milliseconds deadline, std::string* kept, std::size_t keep_limit) {
    auto output = child_pipe(PipeDirection::FromChild);
    if (!output) return fail(output.error());
    auto input = null_input();
    if (!input) return fail(input.error());
    const auto tool = system_tool_path(program);
    if (!tool) return fail(tool.error());
    auto child = launch_process(ProcessLaunch{.application = *tool,
                                              .command_line = win32::to_wide(build_command_line(program, arguments)),
                                              .input = input->get(),
                                              .output = output->child_end.get(),
                                              .error = output->child_end.get(),
                                              .creation_flags = CREATE_NO_WINDOW});
    if (!child) return fail(child.error());
    output->child_end.reset();  // the tool holds the only write end now
    input->reset();

    // Drain while waiting, so that a talkative tool never blocks on a full pipe.
    const auto give_up_at = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        const auto ended = child->wait_for(std::chrono::milliseconds(5));
        if (!ended) return fail(ended.error().context(fmt::format("Waiting for {}", program)));
        if (*ended) break;
        drain_available(output->helper_end.get(), kept, keep_limit);
        if (std::chrono::steady_clock::now() >= give_up_at) {
            const std::string_view ended = child->kill(1) ? "was terminated" : "could not be terminated";
            return fail(win32::deadline_error(
                fmt::format("{} did not finish within {} ms and {}", program, deadline.count(), ended)));
        }
    }
    drain_available(output->helper_end.get(), kept, keep_limit);

    const auto exit_code = child->try_wait();
    if (!exit_code) return fail(exit_code.error());
    return static_cast<std::int32_t>(exit_code->value_or(STILL_ACTIVE));
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
