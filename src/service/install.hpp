#pragma once
// Registers the helper as the Windows service and removes it again.

#include "common/error.hpp"

namespace zorv::service {

// Warns about (or, in strict mode, refuses) a folder others can change, and
// about a registration of another executable; then replaces any earlier
// registration, registers the running executable as an auto-start
// LocalSystem service with crash recovery and as its Event Log source,
// starts it and waits until it runs.
Status install_service();

// Stops and deletes the registration, waits until the SCM has forgotten it,
// and deletes the Event Log source. Fails, saying so, when nothing is
// registered.
Status uninstall_service();

}  // namespace zorv::service
