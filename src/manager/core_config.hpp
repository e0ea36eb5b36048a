#pragma once
// File-level work around one launch of the core: where its configuration
// comes from, its log file with the per-launch header, and the two network
// parameters read from the configuration.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/win32.hpp"
#include "pipe_server/api_records.hpp"

namespace zorv::manager {

inline constexpr std::string_view kStdinConfigArgument = "stdin";
inline constexpr std::string_view kDefaultProfile = "default";
inline constexpr std::string_view kDefaultTunInterface = "singbox_tun";
inline constexpr std::uint64_t kCoreLogRotateBytes = 10 * 1024 * 1024;
inline constexpr std::uint64_t kCoreLogGenerations = 5;

struct ConfigurationSelection {
    std::string argument;  // third argument of the core: "stdin" or the file path
    std::string label;     // session header and status: "stdin" or configPath as given
    std::optional<std::string> content;        // inline configuration, streamed to stdin
    std::optional<std::filesystem::path> file;  // otherwise the configuration file
};

// Content first (even empty), then a checked configuration file.
Result<ConfigurationSelection> select_configuration(const api::StartRuntimeRequest& request);

struct CoreLog {
    std::filesystem::path path;
    win32::UniqueHandle file;  // append mode; empty when it could not be opened
};

// "\n==================== [sing-box launch session at {time}] (profile: {p}, config: {c}) ====================\n"
std::string session_header(std::string_view local_time, std::string_view profile, std::string_view config_label);

// Creates logs\, rotates sing-box.log, opens it for appending and writes the
// session header; never fails (the file is then simply not open).
CoreLog prepare_core_log(const std::filesystem::path& service_dir, std::string_view profile,
                         std::string_view config_label);

struct NetworkParameters {
    std::string tun_interface{kDefaultTunInterface};
    std::optional<std::uint16_t> lan_proxy_port;

    friend bool operator==(const NetworkParameters&, const NetworkParameters&) = default;
};

// The parameters found in a configuration text; defaults for anything unreadable.
NetworkParameters network_parameters_from_text(std::optional<std::string_view> text);

// Reads the configuration (content or file), resolves and logs the parameters.
NetworkParameters resolve_network_parameters(const ConfigurationSelection& selection);

}  // namespace zorv::manager
