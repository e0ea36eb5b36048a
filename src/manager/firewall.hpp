#pragma once
// The inbound firewall rule for the core's LAN proxy port, kept with netsh.exe.

#include <cstdint>
#include <string_view>

namespace zorv::manager {

void add_lan_firewall_rule(std::uint16_t port, std::string_view program);
void remove_lan_firewall_rule();

}  // namespace zorv::manager
