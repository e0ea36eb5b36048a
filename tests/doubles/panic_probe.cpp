// Fails the way the helper would, through the same panic hook
// and rolling logger: the record with its backtrace lands in
// logs/panic.log beside the executable and the process ends with status 101.
//   panic_probe
// With `crash`, it writes through a null pointer instead: the record, then a
// minidump in logs, and the exception goes on to the system's crash handling.
//   panic_probe crash
// With `access-violation`, a structured exception is raised with the helper's
// Event Log reporting on, as main sets it up.
//   panic_probe access-violation

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "common/win32.hpp"
#include "logger/event_log.hpp"
#include "logger/rolling_file_logger.hpp"
#include "main/panic.hpp"

namespace {

// A frame with a name of its own for the backtrace to be resolved to; an
// exception nothing handles ends through the terminate handler.
[[gnu::noinline]] void panic_probe_breaks_invariant() {
    try {
        throw std::logic_error("panic probe");
    } catch (...) {
        std::terminate();
    }
}

[[gnu::noinline]] void panic_probe_crashes() {
    volatile int* volatile nowhere = nullptr;  // read back, so the compiler cannot see it is null
    *nowhere = 1;
}

[[noreturn]] void panic_probe_faults() {
    ::RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    const bool crash = argc > 1 && std::strcmp(argv[1], "crash") == 0;
    zorv::panic::install_hook(zorv::win32::executable_dir_or_fallback() / L"logs");
    zorv::logger::RollingFileLogger::init(zorv::logger::LoggerSettings{
        .log_dir = zorv::win32::executable_dir_or_fallback() / L"logs",
        .base_name = "panic",
        .max_size = 1 << 20,
        .max_files = 1,
    });
    if (crash) panic_probe_crashes();
    if (argc > 1 && std::string_view(argv[1]) == "access-violation") {
        if (auto sink = zorv::events::open_system_event_sink())
            zorv::events::install(std::make_unique<zorv::events::EventReporter>(std::move(*sink)));
        panic_probe_faults();
    }
    panic_probe_breaks_invariant();
}
