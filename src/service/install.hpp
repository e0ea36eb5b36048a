#pragma once
// Registers the helper as the Windows service and removes it again.

#include "common/error.hpp"

namespace zorv::service {

// Replaces any earlier registration, registers the running executable as an
// auto-start LocalSystem service with crash recovery and as its Event Log
// source, locks down its directory, starts it and waits until it runs.
Status install_service();

// Stops and deletes the registration, waits until the SCM has forgotten it,
// and deletes the Event Log source. Succeeds when nothing is registered.
Status uninstall_service();

}  // namespace zorv::service
