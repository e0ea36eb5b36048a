#pragma once
// One overlapped call on a pipe instance bound to no completion port, waited
// for on an event of the caller's, for at most a given time. An accepting
// thread serves a request this way without the port's round trips.

#include <windows.h>

#include "pipe_server/overlapped_call.hpp"

namespace zorv::pipe_server {

struct WaitedCall {
    DWORD error = ERROR_SUCCESS;  // ERROR_TIMEOUT: still pending at the limit, and cancelled
    DWORD bytes = 0;
};

// The outcome of a call issued with `overlapped`: once it has ended when
// `wait`, else ERROR_IO_INCOMPLETE while it is still pending.
WaitedCall call_outcome(HANDLE pipe, OVERLAPPED& overlapped, bool wait);

// Cancels the call if it is still pending and waits for its end, so that the
// OVERLAPPED is free again: its outcome (ERROR_OPERATION_ABORTED when the
// cancel reached it, else how it finished).
WaitedCall cancel_call(HANDLE pipe, OVERLAPPED& overlapped);

// Starts the call and waits at most `limit_ms` for it. A call still pending
// then is cancelled and its end awaited, so that the OVERLAPPED and the
// buffer are free again on return; one that finished meanwhile counts as
// finished, with its bytes.
WaitedCall waited_call(HANDLE pipe, HANDLE event, const OverlappedStart& start, DWORD limit_ms);

}  // namespace zorv::pipe_server
