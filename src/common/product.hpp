#pragma once
// The helper's fixed names and limits, written in this one place: the
// service, its pipe, the files it keeps beside its executable, and the size
// of a request.

#include <cstdint>
#include <string>
#include <string_view>

namespace zorv::product {

inline constexpr std::string_view kServiceName = "VEXL2VpnService";
inline constexpr std::wstring_view kServiceNameW = L"VEXL2VpnService";
inline constexpr std::string_view kServiceDisplayName = "VEXL2 VPN Core Service";
inline constexpr std::wstring_view kServiceDisplayNameW = L"VEXL2 VPN Core Service";

// The control pipe's name unless SINGBOX_WINDOWS_SERVICE_PIPE_NAME names
// another: the service name followed by ".Control".
inline constexpr std::string_view kPipeNameSuffix = ".Control";
inline std::string default_pipe_name() { return std::string(kServiceName) + std::string(kPipeNameSuffix); }

// Beside the executable: the core, its stale configuration, and the logs folder
// with the helper's own log and the core's.
inline constexpr std::wstring_view kCoreExecutable = L"sing-box.exe";
inline constexpr std::wstring_view kCoreConfigFile = L"sing-box.json";
inline constexpr std::wstring_view kLogFolder = L"logs";
inline constexpr std::wstring_view kCoreLogFile = L"sing-box.log";
inline constexpr std::string_view kHelperLogBaseName = "service";

// The inbound firewall rule a start adds for the core's LAN proxy port; the
// CLI's diagnostics show it by this name.
inline constexpr std::string_view kFirewallRuleName = "VEXL2 LAN Proxy";

// The largest request payload, inclusive (10 MiB); also the largest
// configuration file a start reads.
inline constexpr std::uint32_t kMaxRequestSize = 10 * 1024 * 1024;

}  // namespace zorv::product
