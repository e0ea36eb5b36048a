#pragma once
// The one way the helper waits for an overlapped call and gives up on it:
// a call still pending at its limit is cancelled and its end awaited, so the
// OVERLAPPED and the buffer are free again whenever these return.

#include <windows.h>

#include <chrono>

namespace zorv::win32 {

struct OverlappedOutcome {
    DWORD error = ERROR_SUCCESS;  // ERROR_TIMEOUT: still pending at the limit, and cancelled
    DWORD bytes = 0;
};

// The outcome of a call issued with `overlapped`: once it has ended when
// `wait`, else ERROR_IO_INCOMPLETE while it is still pending.
OverlappedOutcome overlapped_outcome(HANDLE handle, OVERLAPPED& overlapped, bool wait);

// Cancels the call if it is still pending and waits for its end: its outcome
// (ERROR_OPERATION_ABORTED when the cancel reached it, else how it finished).
OverlappedOutcome cancel_and_wait(HANDLE handle, OVERLAPPED& overlapped);

// A limit in the form the system's waits take: rounded up to whole
// milliseconds, 0 once past, never INFINITE.
DWORD wait_limit(std::chrono::milliseconds left);
DWORD wait_limit_until(std::chrono::steady_clock::time_point end);

// Waits at most `limit_ms` for a call that went pending with its event in
// `overlapped.hEvent`; one still pending then is cancelled (ERROR_TIMEOUT),
// one that finished meanwhile counts as finished, with its bytes.
OverlappedOutcome wait_or_cancel(HANDLE handle, OVERLAPPED& overlapped, DWORD limit_ms);

// The end of a call just issued with `overlapped` (its event in hEvent):
// `issued` is what the issuing function returned, and the thread's last error
// must still be its. A call that failed at once is that error; one that went
// pending is waited for as by wait_or_cancel.
OverlappedOutcome finish_issued(HANDLE handle, OVERLAPPED& overlapped, BOOL issued, DWORD limit_ms);

}  // namespace zorv::win32
