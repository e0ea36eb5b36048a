#pragma once
// Who may add instances to a named pipe. Whoever holds
// FILE_CREATE_PIPE_INSTANCE on the pipe can create a server end of the same
// name and so take the requests meant for the real server; for the control
// pipe that must be SYSTEM and Administrators only, which the tests check on
// the descriptors the helper builds and on the pipe it serves.

#include <windows.h>

#include <vector>

#include "security/write_access.hpp"

namespace zorv::testing {

// Every account outside SYSTEM and Administrators that the descriptor's DACL
// grants FILE_CREATE_PIPE_INSTANCE (generic rights mapped as for files and
// pipes), in ACE order; a missing DACL grants it to Everyone. A deny ACE for
// the same account or for Everyone that comes first takes the right away, as
// in the access check.
std::vector<security::Sid> pipe_instance_creators(PSECURITY_DESCRIPTOR descriptor);

}  // namespace zorv::testing
