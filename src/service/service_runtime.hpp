#pragma once
// Life under the Service Control Manager: the dispatcher, the service entry,
// the run from start-pending to stopped, and the control handler.

#include <windows.h>

#include "common/error.hpp"

namespace zorv::service {

// Connects to the SCM under product::SERVICE_NAME and blocks until the service has
// stopped. A failure to connect (for example when started from a console) is
// the platform error, unchanged.
Status run_service_dispatcher();

// The service entry the SCM calls on a thread of its own.
void WINAPI service_main(DWORD argc, LPWSTR* argv);

// The body of service_main: registers the control handler, reports
// start-pending, builds the runtime and the manager, locks down the service
// directory, reports running, serves the control pipe until a Stop or
// Shutdown, stops the core and reports stopped.
Status run_service();

}  // namespace zorv::service
