#pragma once
// The service's identity, shared by the entry, the service host and the installer.

#include <string_view>

namespace zorv::service {

inline constexpr std::string_view SERVICE_NAME = "VEXL2VpnService";
inline constexpr std::wstring_view SERVICE_NAME_W = L"VEXL2VpnService";
inline constexpr std::string_view SERVICE_DISPLAY_NAME = "VEXL2 VPN Core Service";
inline constexpr std::wstring_view SERVICE_DISPLAY_NAME_W = L"VEXL2 VPN Core Service";

}  // namespace zorv::service
