#include "manager/firewall.hpp"

#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/child_tool.hpp"
#include "common/product.hpp"
#include "common/text.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"

namespace zorv::manager {

namespace {
constexpr std::string_view kNetsh = "netsh.exe";
constexpr std::string_view kFirewallRuleDescription = "VEXL2 LAN proxy inbound (managed)";

std::vector<std::string> add_firewall_rule_arguments(std::uint16_t port, std::string_view program) {
    return {"advfirewall",
            "firewall",
            "add",
            "rule",
            fmt::format("name={}", product::kFirewallRuleName),
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
    return {"advfirewall", "firewall", "delete", "rule", fmt::format("name={}", product::kFirewallRuleName)};
}

// Only a hang is reported; a tool that cannot start or fails is a warning.
Status hang_only(const Error& error, std::string_view what) {
    const bool hung = win32::is_deadline_error(error);
    log::write(hung ? log::Level::Error : log::Level::Warn, log::target::manager,
               fmt::format("[firewall] Failed to {} firewall rule: {}", what, text::log_safe(error.one_line())));
    if (!hung) return {};
    return fail(error.context(fmt::format("Failed to {} firewall rule", what)));
}
}  // namespace

Status add_lan_firewall_rule(std::uint16_t port, std::string_view program, ChildToolRunner& tools) {
    if (auto removed = remove_lan_firewall_rule(tools); !removed) return removed;
    const auto ran = tools.run(kNetsh, add_firewall_rule_arguments(port, program));
    if (!ran) return hang_only(ran.error(), "add");
    log::info(log::target::manager, "[firewall] Added firewall rule for port {}: status=Some({})", port, *ran);
    return {};
}

Status remove_lan_firewall_rule(ChildToolRunner& tools) {
    const auto ran = tools.run(kNetsh, remove_firewall_rule_arguments());
    if (!ran) return hang_only(ran.error(), "remove");
    log::info(log::target::manager, "[firewall] Removed firewall rule: status=Some({})", *ran);
    return {};
}

}  // namespace zorv::manager
