#pragma once
// What the operator asked for on the command line; no I/O here.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/error.hpp"

namespace zorv::ctl {

inline constexpr std::string_view kProgramName = "zorv";
inline constexpr std::chrono::seconds kDefaultTimeout{30};
inline constexpr std::size_t kDefaultLogLines = 50;

enum class CommandKind {
    Request,  // one request to the helper, its reply printed
    Wait,     // /healthz until it answers 200 or the time is up
    Version,  // this program's version and the helper's
    Service,  // the Service Control Manager's view of the service
    Logs,     // the tail of a log file beside the service's image
    Diag,     // the support report
};

struct Invocation {
    CommandKind kind = CommandKind::Request;
    std::string command;
    // Nullopt: the default pipe (see `default_pipe_name`).
    std::optional<std::string> pipe;
    std::chrono::seconds timeout = kDefaultTimeout;
    // On a pipe other than the service's: the helper image its server must
    // run; nullopt: zorv-helper.exe beside this program.
    std::optional<std::filesystem::path> server_path;
    bool json_only = false;

    // Request
    std::string method;
    std::string path;
    std::optional<nlohmann::json> body;
    // `start --config FILE`: the file whose text becomes `configContent`.
    std::optional<std::filesystem::path> config_file;

    // Logs
    bool core_log = false;
    std::size_t lines = kDefaultLogLines;

    // Diag: where the report goes; nullopt: a dated file in the working folder.
    std::optional<std::filesystem::path> out_file;
};

struct ShowHelp {};
struct ShowVersion {};
struct UsageError {
    std::string message;
};

using Parsed = std::variant<Invocation, ShowHelp, ShowVersion, UsageError>;

// Arguments after the program name, as UTF-8.
Parsed parse_command_line(const std::vector<std::string>& args);

// The pipe name the operator gave, else the one the helper itself would pick
// from SINGBOX_WINDOWS_SERVICE_PIPE_NAME, else the service's pipe.
std::string default_pipe_name(const std::optional<std::string>& environment_value);

// Fails with why a pipe name cannot be used: control characters, forward
// slashes or empty, "." and ".." segments would let `\\.\pipe\` + name reach
// another device or file.
Status check_pipe_name(std::string_view name);

// Generated from the same tables the parser reads.
std::string usage_text();

}  // namespace zorv::ctl
