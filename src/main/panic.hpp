#pragma once
// Fatal failures: logged with a backtrace, then the process ends with status
// 101. A crash (an unhandled structured exception) is logged too, a minidump
// is written beside the logs, and the exception then goes on to Windows Error
// Reporting, so that the SCM sees a crash and its recovery fires.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace zorv::panic {

inline constexpr int kPanicExitStatus = 101;

// Installs the terminate handler and the unhandled-exception filter, and does
// at start-up what a crash would otherwise do in a damaged process: symbol
// handling (the executable's own module, without invading the process) and
// the minidump's path and descriptor. No dump is written when `dump_folder`
// is empty.
void install_hook(const std::filesystem::path& dump_folder = {});

// "FATAL PANIC in zorv-helper at {location}: {message}\nBacktrace:\n{backtrace}".
std::string panic_record(std::string_view location, std::string_view message, std::string_view backtrace);
// A C++ exception on its way up (libgcc raises it as a structured exception
// coded 'GCC' with bit 29 set) that reached the top with no catch: the top
// must let it continue, so that the runtime calls the terminate handler.
bool is_cxx_exception_in_flight(std::uint32_t code, std::uint32_t flags);
// The message of an in-flight exception, "Unknown panic payload" when it is no std::exception.
std::string current_exception_message();

}  // namespace zorv::panic
