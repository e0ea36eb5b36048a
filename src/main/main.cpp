// zorv-helper: Windows service, foreground console server and its own installer.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/product.hpp"
#include "common/version.hpp"
#include "common/win32.hpp"
#include "logger/event_log.hpp"
#include "logger/log.hpp"
#include "logger/rolling_file_logger.hpp"
#include "main/command_line.hpp"
#include "main/panic.hpp"
#include "service/directory_sandbox.hpp"
#include "service/install.hpp"
#include "service/service_runtime.hpp"
#include "service/standalone.hpp"

namespace {

using namespace zorv;

constexpr std::uint64_t kLogMaxSize = 10 * 1024 * 1024;
constexpr std::uint64_t kLogMaxFiles = 5;
// How long the end of a run waits for its last Event Log records.
constexpr std::chrono::seconds kEventFlushLimit{2};

// Registered at start-up, so that the crash hook only queues its record.
// Without a source the helper runs on: service.log has every record too.
void start_event_reporting() {
    auto sink = events::open_system_event_sink();
    if (!sink) {
        log::warn(log::target::main, "Event Log records are off: {}", sink.error().one_line());
        return;
    }
    events::install(std::make_unique<events::EventReporter>(std::move(*sink)));
}

std::vector<std::string> command_line_arguments() {
    std::vector<std::string> args;
    if (auto words = win32::command_line_words(::GetCommandLineW()))
        for (const std::wstring& word : *words) args.push_back(win32::from_wide(word));
    return args;
}

void write_stream(FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// The service and its installer lock the executable's folder down before
// anything else touches it: the log's rotation, the shredder, the logs of
// the install itself. Nothing is locked down when the folder is unknown.
std::optional<service::DirectoryLockdown> lock_down_first(const std::optional<entry::Command>& command) {
    if (!command || (*command != entry::Command::ServiceDispatcher && *command != entry::Command::Install))
        return std::nullopt;
    auto executable = win32::current_exe_path();
    if (!executable || !executable->has_parent_path()) return std::nullopt;
    return service::lock_down_directory(executable->parent_path());
}

Status run_command(entry::Command command, const std::optional<service::DirectoryLockdown>& lockdown) {
    if (lockdown) service::log_lockdown(*lockdown);
    switch (command) {
        case entry::Command::Standalone:
            log::info(log::target::main, "Running helper service in standalone console mode");
            return service::run_standalone();
        case entry::Command::Install: {
            log::info(log::target::main, "Executing service install command");
            auto installed = service::install_service();
            if (installed) write_stream(stdout, "Service successfully installed and started.\n");
            return installed;
        }
        case entry::Command::Uninstall: {
            log::info(log::target::main, "Executing service uninstall command");
            auto removed = service::uninstall_service();
            if (removed) write_stream(stdout, "Service successfully stopped and removed.\n");
            return removed;
        }
        case entry::Command::ServiceDispatcher:
            log::info(log::target::main, "Starting Windows Service dispatcher for {}", product::kServiceName);
            return service::run_service_dispatcher(lockdown.value_or(service::DirectoryLockdown{}));
    }
    return {};
}

}  // namespace

int main() {
    // Before any DLL is loaded on demand: system DLLs come from System32 only,
    // never from the executable's folder or the working directory.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    panic::install_hook(win32::executable_dir_or_fallback() / product::kLogFolder);
    const std::vector<std::string> args = command_line_arguments();
    const auto command = entry::parse_command(args);
    const std::optional<service::DirectoryLockdown> lockdown =
        lock_down_first(command ? std::optional(*command) : std::nullopt);

    logger::RollingFileLogger::init(logger::LoggerSettings{
        .log_dir = win32::executable_dir_or_fallback() / product::kLogFolder,
        .base_name = std::string(product::kHelperLogBaseName),
        .max_size = kLogMaxSize,
        .max_files = kLogMaxFiles,
        .console = args.size() > 1,
    });
    log::info(log::target::main, "zorv-helper v{} starting (PID: {}, args: {})", kProductVersion, ::GetCurrentProcessId(),
              entry::format_argument_list(args));
    // Only the commands that report records start the reporter's thread; a
    // mistyped command or `uninstall` ends without one.
    if (command && *command != entry::Command::Uninstall) start_event_reporting();

    Status outcome;
    if (command) {
        outcome = run_command(*command, lockdown);
    } else {
        if (command.error().log_as_error) log::error(log::target::main, "{}", command.error().message);
        outcome = fail(command.error().message);
    }
    events::flush(kEventFlushLimit);
    if (!outcome) {
        write_stream(stderr, "Error: " + outcome.error().multi_line() + "\n");
        return 1;
    }
    return 0;
}
