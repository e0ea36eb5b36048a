#include "pipe_server/waited_call.hpp"

namespace zorv::pipe_server {

WaitedCall waited_call(HANDLE pipe, HANDLE event, const OverlappedStart& start, DWORD limit_ms) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD bytes = 0;
    const DWORD started = start(pipe, &overlapped, &bytes);
    if (started != ERROR_IO_PENDING) return {started, bytes};
    if (::WaitForSingleObject(event, limit_ms) != WAIT_OBJECT_0) ::CancelIoEx(pipe, &overlapped);
    const DWORD error = ::GetOverlappedResult(pipe, &overlapped, &bytes, TRUE) ? ERROR_SUCCESS : ::GetLastError();
    return {error == ERROR_OPERATION_ABORTED ? static_cast<DWORD>(ERROR_TIMEOUT) : error, bytes};
}

}  // namespace zorv::pipe_server
