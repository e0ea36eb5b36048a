#pragma once
// What the operator asked for on the command line; no I/O here.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace zorv::ctl {

inline constexpr std::string_view kDefaultPipe = "VEXL2VpnService.Control";
inline constexpr std::chrono::seconds kDefaultTimeout{30};

struct Request {
    std::string pipe{kDefaultPipe};
    std::chrono::milliseconds timeout = kDefaultTimeout;
    std::string method;
    std::string path;
    std::optional<nlohmann::json> body;
    // `start --config FILE`: the file whose text becomes `configContent`.
    std::optional<std::filesystem::path> config_file;
};

struct ShowHelp {};
struct UsageError {
    std::string message;
};

using Parsed = std::variant<Request, ShowHelp, UsageError>;

// Arguments after the program name, as UTF-8.
Parsed parse_command_line(const std::vector<std::string>& args);

std::string usage_text();

}  // namespace zorv::ctl
