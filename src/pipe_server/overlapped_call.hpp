#pragma once
// One overlapped call on a pipe instance (a read or a write) that returns
// at once, without suspending the coroutine, when the system finishes the
// call at once, and waits for its completion packet only when it is pending.
//
// The instance must skip the completion port on success (see
// bind_to_runtime): a call that finishes at once then queues no packet.
// Each packet the port delivers costs a kernel round trip (under Wine, a
// server request) and, for a waiting thread, a wake-up.

#include <windows.h>

#include <cstddef>
#include <functional>
#include <system_error>
#include <tuple>

#include <asio/awaitable.hpp>
#include <asio/windows/stream_handle.hpp>

namespace zorv::pipe_server {

// Starts the call: ERROR_SUCCESS when it finished at once, ERROR_IO_PENDING
// when a packet will follow, or the error it failed with at once.
using OverlappedStart = std::function<DWORD(HANDLE handle, OVERLAPPED* overlapped, DWORD* bytes)>;

using CallResult = std::tuple<std::error_code, std::size_t>;

// Runs the call on the instance: (error, bytes transferred). A pending call
// ends only when the system ends it; the frame deadline cancels the reads.
asio::awaitable<CallResult> overlapped_call(asio::windows::stream_handle& pipe, const OverlappedStart& start);

// The error of a Win32 call that may finish at once or go pending.
inline DWORD overlapped_result(BOOL finished) { return finished ? ERROR_SUCCESS : ::GetLastError(); }

}  // namespace zorv::pipe_server
