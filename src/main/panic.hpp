#pragma once
// Fatal failures: logged with a backtrace, then the process ends with status 101.

#include <source_location>
#include <string>
#include <string_view>

namespace zorv::panic {

inline constexpr int kPanicExitStatus = 101;

// Installs the terminate handler and the unhandled-exception filter.
void install_hook();

// A broken invariant: logs it with where it was detected and ends the process.
[[noreturn]] void invariant_failure(std::string_view message,
                                    std::source_location where = std::source_location::current());

// "FATAL PANIC in zorv-helper at {location}: {message}\nBacktrace:\n{backtrace}".
std::string panic_record(std::string_view location, std::string_view message, std::string_view backtrace);
// "{file}:{line}:{column}".
std::string format_location(const std::source_location& where);
// The message of an in-flight exception, "Unknown panic payload" when it is no std::exception.
std::string current_exception_message();

}  // namespace zorv::panic
