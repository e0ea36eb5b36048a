#pragma once
// The inbound firewall rule for the core's LAN proxy port, kept with netsh.exe.

#include <cstdint>
#include <string_view>

#include "common/child_tool.hpp"
#include "common/error.hpp"

namespace zorv::manager {

// The outcome of netsh.exe is only logged, with one exception: a netsh.exe
// that hangs past its deadline is an error (logged at ERROR and returned),
// because the caller waited for it under the manager's lock.

// Deletes any rule of that name first.
Status add_lan_firewall_rule(std::uint16_t port, std::string_view program,
                             ChildToolRunner& tools = system_child_tools());
// A missing rule is no error.
Status remove_lan_firewall_rule(ChildToolRunner& tools = system_child_tools());

}  // namespace zorv::manager
