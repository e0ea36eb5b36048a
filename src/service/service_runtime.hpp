#pragma once
// Life under the Service Control Manager: the dispatcher, the service entry,
// the run from start-pending to stopped, and the control handler.

#include <windows.h>

#include <memory>

#include "common/error.hpp"
#include "service/directory_sandbox.hpp"
#include "service/status_reporter.hpp"

namespace zorv::service {

// Connects to the SCM under product::kServiceName and blocks until the service has
// stopped. A failure to connect (for example when started from a console) is
// the platform error, unchanged. `lockdown` is what the process's start made
// of the service directory; in hardened mode a directory that is not locked
// down keeps the core from being started.
Status run_service_dispatcher(const DirectoryLockdown& lockdown);

// The service entry the SCM calls on a thread of its own.
void WINAPI service_main(DWORD argc, LPWSTR* argv);

struct ServiceRun {
    std::unique_ptr<StatusReporter> status;  // null when no handler could be registered
    Status outcome;
};

// The body of service_main: registers the control handler, reports
// start-pending, sets the service's recovery, builds the runtime and the
// manager, reports running, serves the control pipe until a Stop or
// Shutdown, stops the core and releases everything it built. The stopped
// report is left to the caller, as its last act: once it is made the
// process may end at any moment.
ServiceRun run_service();

}  // namespace zorv::service
