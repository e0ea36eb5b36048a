#include "main/command_line.hpp"

#include "common/text.hpp"

namespace zorv::entry {

std::expected<Command, CommandError> parse_command(const std::vector<std::string>& args) {
    if (args.size() < 2) return Command::ServiceDispatcher;
    const std::string& command = args[1];
    const bool has_more = args.size() > 2;
    if (command == "install") {
        if (has_more) return std::unexpected(CommandError{"Unexpected arguments after 'install'", false});
        return Command::Install;
    }
    if (command == "uninstall") {
        if (has_more) return std::unexpected(CommandError{"Unexpected arguments after 'uninstall'", false});
        return Command::Uninstall;
    }
    if (command == "run" || command == "run-standalone") return Command::Standalone;
    return std::unexpected(CommandError{"Unknown helper command: " + command, true});
}

std::string format_argument_list(const std::vector<std::string>& args) {
    std::string list = "[";
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0) list += ", ";
        list += text::quoted(args[i]);
    }
    return list + "]";
}

}  // namespace zorv::entry
