#include "common/overlapped_wait.hpp"

#include <algorithm>

namespace zorv::win32 {

DWORD wait_limit(std::chrono::milliseconds left) {
    return static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INFINITE - 1));
}

DWORD wait_limit_until(std::chrono::steady_clock::time_point end) {
    return wait_limit(std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()));
}

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

OverlappedOutcome finish_issued(HANDLE handle, OVERLAPPED& overlapped, BOOL issued, DWORD limit_ms) {
    if (issued) return overlapped_outcome(handle, overlapped, false);
    if (const DWORD error = ::GetLastError(); error != ERROR_IO_PENDING) return {error, 0};
    return wait_or_cancel(handle, overlapped, limit_ms);
}

}  // namespace zorv::win32
