#pragma once
// Ending one core process: console break first, then force.

#include "manager/runtime_manager.hpp"

namespace zorv::manager {

// Blocks up to about 2 s; removes the session's firewall rule afterwards.
void stop_core_gracefully(ActiveRuntime& session);

}  // namespace zorv::manager
