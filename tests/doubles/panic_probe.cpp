// Breaks an invariant the way the helper would, through the same panic hook
// and rolling logger: the record with its backtrace lands in
// logs/panic.log beside the executable and the process ends with status 101.
//   panic_probe

#include "common/win32.hpp"
#include "logger/rolling_file_logger.hpp"
#include "main/panic.hpp"

namespace {

// A frame with a name of its own for the backtrace to be resolved to.
[[gnu::noinline]] void panic_probe_breaks_invariant() { zorv::panic::invariant_failure("panic probe"); }

}  // namespace

int main() {
    zorv::panic::install_hook();
    zorv::logger::RollingFileLogger::init(zorv::logger::LoggerSettings{
        .log_dir = zorv::win32::executable_dir_or_fallback() / L"logs",
        .base_name = "panic",
        .max_size = 1 << 20,
        .max_files = 1,
    });
    panic_probe_breaks_invariant();
}
