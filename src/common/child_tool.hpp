#pragma once
// Runs a system tool (netsh.exe, pnputil.exe, icacls) without a console window.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace zorv {

// Standard Windows command-line quoting of one argument.
std::string quote_windows_argument(std::string_view argument);
// The program followed by each argument, quoted.
std::string build_command_line(std::string_view program, const std::vector<std::string>& arguments);

// Starts `program` by bare name (the platform's search: the helper's own
// directory first), standard input empty, standard output and error captured
// and discarded while the tool runs, and waits for it. The exit code, or the
// error that kept it from starting.
Result<std::int32_t> run_child_tool(std::string_view program, const std::vector<std::string>& arguments);

}  // namespace zorv
