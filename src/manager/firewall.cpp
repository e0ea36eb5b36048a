#include "manager/firewall.hpp"

namespace zorv::manager {

// Placeholder until the child-tool runner lands.
void add_lan_firewall_rule(std::uint16_t, std::string_view) {}
void remove_lan_firewall_rule() {}

}  // namespace zorv::manager
