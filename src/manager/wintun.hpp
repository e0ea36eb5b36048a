#pragma once
// Removal of a left-over Wintun network device, found by the interface name.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zorv::manager {

using Md5Digest = std::array<std::uint8_t, 16>;

// MD5 through the platform's CNG provider.
Result<Md5Digest> md5_digest(std::string_view bytes);

// "SWD\Wintun\{...}" from the digest of "wintun" + interface name, read as a
// GUID in memory order (first three groups little-endian), upper-case hex.
std::string wintun_device_instance_id(const Md5Digest& digest);

// Runs `pnputil.exe /remove-device <id>`; the outcome is only logged.
void remove_wintun_device(std::string_view interface_name);

}  // namespace zorv::manager
