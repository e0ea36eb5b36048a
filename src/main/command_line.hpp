#pragma once
// The command line: which command argument 1 names.

#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"

namespace zorv::entry {

enum class Command { ServiceDispatcher, Standalone, Install, Uninstall };

struct CommandError {
    std::string message;
    bool log_as_error = false;  // unknown commands are also logged
};

// `args` includes the program path at index 0; only index 1 decides.
std::expected<Command, CommandError> parse_command(const std::vector<std::string>& args);

// ["a", "b"] with backslashes and double quotes escaped, as the banner shows it.
std::string format_argument_list(const std::vector<std::string>& args);

}  // namespace zorv::entry
