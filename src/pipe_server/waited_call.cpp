#include "pipe_server/waited_call.hpp"

namespace zorv::pipe_server {

WaitedCall waited_call(HANDLE pipe, HANDLE event, const OverlappedStart& start, DWORD limit_ms) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD bytes = 0;
    const DWORD started = start(pipe, &overlapped, &bytes);
    if (started != ERROR_IO_PENDING) return {started, bytes};
    return win32::wait_or_cancel(pipe, overlapped, limit_ms);
}

}  // namespace zorv::pipe_server
