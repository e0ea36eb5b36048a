// Breaks an invariant the way the helper would, through the same panic hook
// and rolling logger: the record with its backtrace lands in
// logs/panic.log beside the executable and the process ends with status 101.
//   panic_probe
//   panic_probe access-violation   a structured exception instead, with the
//                                  helper's Event Log reporting on, as main sets it up

#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string_view>

#include "common/win32.hpp"
#include "logger/event_log.hpp"
#include "logger/rolling_file_logger.hpp"
#include "main/panic.hpp"

namespace {

// A frame with a name of its own for the backtrace to be resolved to.
[[gnu::noinline]] void panic_probe_breaks_invariant() { zorv::panic::invariant_failure("panic probe"); }

[[noreturn]] void panic_probe_faults() {
    ::RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    zorv::panic::install_hook();
    zorv::logger::RollingFileLogger::init(zorv::logger::LoggerSettings{
        .log_dir = zorv::win32::executable_dir_or_fallback() / L"logs",
        .base_name = "panic",
        .max_size = 1 << 20,
        .max_files = 1,
    });
    if (argc > 1 && std::string_view(argv[1]) == "access-violation") {
        if (auto sink = zorv::events::open_system_event_sink())
            zorv::events::install(std::make_unique<zorv::events::EventReporter>(std::move(*sink)));
        panic_probe_faults();
    }
    panic_probe_breaks_invariant();
}
