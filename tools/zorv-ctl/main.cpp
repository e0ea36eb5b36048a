// zorv: the operator's client for zorv-helper: its control pipe, its service
// and its logs.

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "command_line.hpp"
#include "commands.hpp"
#include "common/win32.hpp"
#include "console_output.hpp"
#include "diag.hpp"
#include "log_tail.hpp"
#include "pipe_commands.hpp"
#include "service_commands.hpp"

namespace zorv::ctl {
namespace {

std::vector<std::string> arguments() {
    std::vector<std::string> args;
    const auto words = win32::command_line_words(::GetCommandLineW());
    if (!words) return args;
    for (std::size_t i = 1; i < words->size(); ++i) args.push_back(win32::from_wide((*words)[i]));
    return args;
}

Outcome run(const Invocation& invocation) {
    const std::string pipe =
        invocation.pipe ? *invocation.pipe : default_pipe_name(win32::env_var(L"SINGBOX_WINDOWS_SERVICE_PIPE_NAME"));
    // The variable is the operator's own, but it reaches `\\.\pipe\` all the same.
    if (auto usable = check_pipe_name(pipe); !usable)
        return {kExitUsage, "SINGBOX_WINDOWS_SERVICE_PIPE_NAME: " + usable.error().message()};
    switch (invocation.kind) {
        case CommandKind::Request: return run_request(invocation, pipe);
        case CommandKind::Wait: return run_wait(invocation, pipe);
        case CommandKind::Version: return run_version(invocation, pipe);
        case CommandKind::Service: return run_service(invocation);
        case CommandKind::Logs: return run_logs(invocation);
        case CommandKind::Diag: return run_diag(invocation, pipe);
    }
    return {kExitUsage, "unknown command"};
}

// With --json a failure that printed nothing still gives a script one JSON
// document on standard output; the line on standard error stays as it is.
void print_json_failure(const Outcome& outcome) {
    const nlohmann::json failure = {{"error", {{"exitCode", outcome.status}, {"message", outcome.complaint}}}};
    print(failure.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

}  // namespace
}  // namespace zorv::ctl

int main() {
    // Before any DLL is loaded on demand: system DLLs come from System32 only,
    // never from the executable's folder or the working directory.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    using namespace zorv::ctl;
    const Parsed parsed = parse_command_line(arguments());
    if (std::holds_alternative<ShowHelp>(parsed)) {
        print(usage_text());
        return kExitOk;
    }
    if (std::holds_alternative<ShowVersion>(parsed)) {
        print(version_line());
        return kExitOk;
    }
    Outcome outcome;
    bool json_only = false;
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        outcome = {kExitUsage, error->message + " (see " + std::string(kProgramName) + " --help)"};
        const std::vector<std::string> args = arguments();
        json_only = std::ranges::find(args, "--json") != args.end();
    } else {
        const Invocation& invocation = std::get<Invocation>(parsed);
        json_only = invocation.json_only;
        outcome = run(invocation);
    }
    if (outcome.status != kExitOk && json_only && !printed_anything()) print_json_failure(outcome);
    if (outcome.status != kExitOk) print_error(std::string(kProgramName) + ": " + printable_line(outcome.complaint) + "\n");
    return outcome.status;
}
