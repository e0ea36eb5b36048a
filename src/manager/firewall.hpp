#pragma once
// The inbound firewall rule for the core's LAN proxy port, kept with netsh.exe.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zorv::manager {

inline constexpr std::string_view kFirewallRuleName = "VEXL2 LAN Proxy";
inline constexpr std::string_view kFirewallRuleDescription = "VEXL2 LAN proxy inbound (managed)";

// netsh.exe arguments, one entry per argument.
std::vector<std::string> add_firewall_rule_arguments(std::uint16_t port, std::string_view program);
std::vector<std::string> remove_firewall_rule_arguments();

// Deletes any rule of that name first; the outcome is only logged.
void add_lan_firewall_rule(std::uint16_t port, std::string_view program);
// The outcome is only logged; a missing rule is no error.
void remove_lan_firewall_rule();

}  // namespace zorv::manager
