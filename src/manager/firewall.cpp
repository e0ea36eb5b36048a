#include "manager/firewall.hpp"

#include <fmt/format.h>

#include "common/child_tool.hpp"
#include "logger/log.hpp"

namespace zorv::manager {

namespace {
constexpr std::string_view kNetsh = "netsh.exe";
}

std::vector<std::string> add_firewall_rule_arguments(std::uint16_t port, std::string_view program) {
    return {"advfirewall",
            "firewall",
            "add",
            "rule",
            fmt::format("name={}", kFirewallRuleName),
            "dir=in",
            "action=allow",
            "protocol=TCP",
            fmt::format("localport={}", port),
            "remoteip=localsubnet",
            fmt::format("program={}", program),
            "profile=private,public",
            fmt::format("description={}", kFirewallRuleDescription)};
}

std::vector<std::string> remove_firewall_rule_arguments() {
    return {"advfirewall", "firewall", "delete", "rule", fmt::format("name={}", kFirewallRuleName)};
}

void add_lan_firewall_rule(std::uint16_t port, std::string_view program) {
    remove_lan_firewall_rule();
    const auto ran = run_child_tool(kNetsh, add_firewall_rule_arguments(port, program));
    if (!ran) {
        log::warn(log::target::manager, "[firewall] Failed to add firewall rule: {}", ran.error().one_line());
        return;
    }
    log::info(log::target::manager, "[firewall] Added firewall rule for port {}: status=Some({})", port, *ran);
}

void remove_lan_firewall_rule() {
    const auto ran = run_child_tool(kNetsh, remove_firewall_rule_arguments());
    if (!ran) {
        log::warn(log::target::manager, "[firewall] Failed to remove firewall rule: {}", ran.error().one_line());
        return;
    }
    log::info(log::target::manager, "[firewall] Removed firewall rule: status=Some({})", *ran);
}

}  // namespace zorv::manager
