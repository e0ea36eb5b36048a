#include "support/raw_pipe.hpp"

#include <windows.h>

#include <algorithm>
#include <thread>

#include "api/framing.hpp"
#include "api/pipe_path.hpp"

namespace zorv::testing {

namespace {

using Clock = std::chrono::steady_clock;

struct IoResult {
    bool finished = false;  // false: the time ran out and the operation was cancelled
    DWORD bytes = 0;
    DWORD error = 0;        // 0 on success
};

DWORD remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

// Waits for one overlapped operation. When the time runs out it is cancelled,
// and in every case it has ended before its buffer and event go away.
IoResult finish_io(HANDLE pipe, OVERLAPPED& overlapped, BOOL completed_at_once, Clock::time_point deadline) {
    if (!completed_at_once) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) return {true, 0, error};
        if (::WaitForSingleObject(overlapped.hEvent, remaining_ms(deadline)) != WAIT_OBJECT_0) {
            ::CancelIoEx(pipe, &overlapped);
            DWORD bytes = 0;
            if (::GetOverlappedResult(pipe, &overlapped, &bytes, TRUE)) return {true, bytes, 0};
            return {false, 0, ERROR_TIMEOUT};
        }
    }
    DWORD bytes = 0;
    if (!::GetOverlappedResult(pipe, &overlapped, &bytes, FALSE)) return {true, bytes, ::GetLastError()};
    return {true, bytes, 0};
}

bool is_closed_by_peer(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_HANDLE_EOF ||
           error == ERROR_NO_DATA;
}

}  // namespace

Result<RawPipeClient> RawPipeClient::connect(const std::string& pipe_name, std::chrono::milliseconds timeout) {
    const std::wstring path = win32::to_wide(api::pipe_path(pipe_name));
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        HANDLE pipe = ::CreateFileW(path.c_str(), api::kClientPipeAccess, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) return RawPipeClient(win32::UniqueHandle(pipe));
        const DWORD error = ::GetLastError();
        if ((error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) || Clock::now() >= deadline)
            return fail(win32::os_error(error).context("Failed to open the pipe " + pipe_name));
        // Right after a connect no instance exists until the helper makes the next one.
        if (error == ERROR_PIPE_BUSY) ::WaitNamedPipeW(path.c_str(), 50);
        else std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

Status RawPipeClient::send(std::string_view bytes, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    win32::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    while (!bytes.empty()) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        ::ResetEvent(event.get());
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
        const BOOL done = ::WriteFile(pipe_.get(), bytes.data(), chunk, nullptr, &overlapped);
        const IoResult result = finish_io(pipe_.get(), overlapped, done, deadline);
        if (!result.finished) return fail("Timed out writing to the pipe");
        if (result.error != 0) return fail(win32::os_error(result.error).context("Failed to write to the pipe"));
        if (result.bytes == 0) return fail("The pipe accepted no bytes");
        bytes.remove_prefix(result.bytes);
    }
    return {};
}

ReplyOutcome RawPipeClient::read_until_closed(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    win32::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ReplyOutcome outcome;
    char buffer[65536];
    while (Clock::now() < deadline) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        ::ResetEvent(event.get());
        const BOOL done = ::ReadFile(pipe_.get(), buffer, sizeof buffer, nullptr, &overlapped);
        const IoResult result = finish_io(pipe_.get(), overlapped, done, deadline);
        outcome.bytes.append(buffer, result.bytes);
        if (!result.finished) break;
        if (result.error != 0) {
            outcome.closed = is_closed_by_peer(result.error);
            break;
        }
    }
    return outcome;
}

std::string length_prefix(std::uint32_t length) {
    const auto prefix = api::encode_length(length);
    return std::string(reinterpret_cast<const char*>(prefix.data()), prefix.size());
}

}  // namespace zorv::testing
