#pragma once
// The commands that read the Service Control Manager and the service's logs.

#include "commands.hpp"

namespace zorv::ctl {

Outcome run_service(const Invocation& invocation);
Outcome run_logs(const Invocation& invocation);

}  // namespace zorv::ctl
