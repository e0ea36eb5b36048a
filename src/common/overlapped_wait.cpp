#include "common/overlapped_wait.hpp"

namespace zorv::win32 {

OverlappedOutcome overlapped_outcome(HANDLE handle, OVERLAPPED& overlapped, bool wait) {
    DWORD bytes = 0;
    const DWORD error = ::GetOverlappedResult(handle, &overlapped, &bytes, wait) ? ERROR_SUCCESS : ::GetLastError();
    return {error, bytes};
}

OverlappedOutcome cancel_and_wait(HANDLE handle, OVERLAPPED& overlapped) {
    ::CancelIoEx(handle, &overlapped);  // fails harmlessly when the call has ended already
    return overlapped_outcome(handle, overlapped, true);
}

OverlappedOutcome wait_or_cancel(HANDLE handle, OVERLAPPED& overlapped, DWORD limit_ms) {
    if (::WaitForSingleObject(overlapped.hEvent, limit_ms) == WAIT_OBJECT_0)
        return overlapped_outcome(handle, overlapped, true);
    OverlappedOutcome cancelled = cancel_and_wait(handle, overlapped);
    if (cancelled.error == ERROR_OPERATION_ABORTED) cancelled.error = ERROR_TIMEOUT;
    return cancelled;
}

}  // namespace zorv::win32
