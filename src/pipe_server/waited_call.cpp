#include "pipe_server/waited_call.hpp"

namespace zorv::pipe_server {

WaitedCall call_outcome(HANDLE pipe, OVERLAPPED& overlapped, bool wait) {
    DWORD bytes = 0;
    const DWORD error = ::GetOverlappedResult(pipe, &overlapped, &bytes, wait) ? ERROR_SUCCESS : ::GetLastError();
    return {error, bytes};
}

WaitedCall cancel_call(HANDLE pipe, OVERLAPPED& overlapped) {
    ::CancelIoEx(pipe, &overlapped);  // fails harmlessly when the call has ended already
    return call_outcome(pipe, overlapped, true);
}

WaitedCall waited_call(HANDLE pipe, HANDLE event, const OverlappedStart& start, DWORD limit_ms) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD bytes = 0;
    const DWORD started = start(pipe, &overlapped, &bytes);
    if (started != ERROR_IO_PENDING) return {started, bytes};
    if (::WaitForSingleObject(event, limit_ms) == WAIT_OBJECT_0) return call_outcome(pipe, overlapped, true);
    WaitedCall cancelled = cancel_call(pipe, overlapped);
    if (cancelled.error == ERROR_OPERATION_ABORTED) cancelled.error = ERROR_TIMEOUT;
    return cancelled;
}

}  // namespace zorv::pipe_server
