#pragma once
// One overlapped call on a pipe instance bound to no completion port, waited
// for on an event of the caller's, for at most a given time. An accepting
// thread serves a request this way without the port's round trips.

#include <windows.h>

#include "common/overlapped_wait.hpp"
#include "pipe_server/overlapped_call.hpp"

namespace zorv::pipe_server {

using WaitedCall = win32::OverlappedOutcome;

// Starts the call and waits at most `limit_ms` for it. A call still pending
// then is cancelled and its end awaited, so that the OVERLAPPED and the
// buffer are free again on return; one that finished meanwhile counts as
// finished, with its bytes.
WaitedCall waited_call(HANDLE pipe, HANDLE event, const OverlappedStart& start, DWORD limit_ms);

}  // namespace zorv::pipe_server
