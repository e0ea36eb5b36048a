#pragma once
// What a client watchdog does once its GUI client has gone.

#include "manager/runtime_manager.hpp"
#include "manager/stop_core.hpp"

namespace zorv::manager {

// Under the state lock: stops the active session unless it belongs to a newer
// client (both runtime ids present and different), and records the stop.
void stop_core_after_client_exit(const WatchdogRequest& request,
                                 CoreStopPlatform& platform = system_core_stop_platform());

}  // namespace zorv::manager
