#pragma once
// File-level work around one launch of the core: where its configuration
// comes from, its log file with the per-launch header, and the two network
// parameters read from the configuration.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/file_reading.hpp"
#include "common/product.hpp"
#include "common/win32.hpp"
#include "manager/commands.hpp"
#include "security/client_impersonation.hpp"

namespace zorv::manager {

inline constexpr std::string_view kStdinConfigArgument = "stdin";
inline constexpr std::string_view kDefaultProfile = "default";
inline constexpr std::string_view kDefaultTunInterface = "singbox_tun";
inline constexpr std::uint64_t kCoreLogRotateBytes = 10 * 1024 * 1024;
inline constexpr std::uint64_t kCoreLogGenerations = 5;
// How long reading a client's configuration file may take in all.
inline constexpr std::chrono::seconds kConfigReadDeadline = win32::kCallerFileReadTime;
// A configuration file may be as large as a request could carry inline.
inline constexpr std::uint64_t kMaxConfigFileBytes = product::kMaxRequestSize;

// The core always reads its configuration from standard input: inline
// content as sent, or the bytes of `configPath` read on the client's behalf,
// so that the core never opens a client's path with the helper's rights.
struct ConfigurationSelection {
    std::string argument;  // third argument of the core: always "stdin"
    std::string label;     // session header and status: "stdin" or configPath as given
    std::string content;   // streamed to the core's standard input
};

// Content first (even empty), then `configPath`: refused on its text alone
// when it is not a plain local path, then checked, opened with the client's
// rights (`client`), refused above kMaxConfigFileBytes before anything is
// read, and read whole. Runs without the state lock: how large and how slow
// the file is lies in the client's hands.
Result<ConfigurationSelection> select_configuration(const StartCommand& request,
                                                    security::ClientIdentity& client);

struct CoreLog {
    std::filesystem::path path;
    win32::UniqueHandle file;  // append mode; empty when it could not be opened
    // Where this session's own lines begin: just past its header. Absent when
    // the header could not be written, so that nothing of the file is
    // attributed to this session.
    std::optional<std::uint64_t> session_start;
};

// "\n==================== [sing-box launch session at {time}] (profile: {p}, config: {c}) ====================\n"
// with the client's profile and configuration label made log_safe.
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

// Resolves and logs the parameters of the selected configuration.
NetworkParameters resolve_network_parameters(const ConfigurationSelection& selection);

}  // namespace zorv::manager
