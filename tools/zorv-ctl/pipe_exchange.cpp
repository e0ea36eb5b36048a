#include "pipe_exchange.hpp"

#include <algorithm>
#include <array>

#include <fmt/format.h>

namespace zorv::ctl {

namespace {

constexpr DWORD kChunk = 1u << 20;
// How often an absent pipe is looked for again, and the longest single wait
// for a busy one, so that the deadline is checked often.
constexpr std::chrono::milliseconds kAbsentPipeRetry{50};
constexpr std::chrono::milliseconds kBusyPipeSlice{250};

std::string seconds_text(const Deadline& deadline) {
    return fmt::format("{} s", std::chrono::duration_cast<std::chrono::seconds>(deadline.budget()).count());
}

DWORD wait_millis(std::chrono::milliseconds duration) {
    return static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(duration.count(), 0, INFINITE - 1));
}

enum class Outcome { Done, TimedOut, Failed };
struct Transfer {
    Outcome outcome;
    DWORD bytes = 0;
    DWORD error = 0;
};

// Finishes one overlapped read or write. Past the deadline the operation is
// cancelled and its end awaited, so the buffer is never touched after return.
Transfer finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, const Deadline& deadline) {
    if (!started && ::GetLastError() != ERROR_IO_PENDING) return {Outcome::Failed, 0, ::GetLastError()};
    DWORD bytes = 0;
    if (::WaitForSingleObject(overlapped.hEvent, wait_millis(deadline.remaining())) == WAIT_OBJECT_0) {
        if (!::GetOverlappedResult(pipe, &overlapped, &bytes, FALSE)) return {Outcome::Failed, 0, ::GetLastError()};
        return {Outcome::Done, bytes, 0};
    }
    ::CancelIoEx(pipe, &overlapped);
    ::GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
    return {Outcome::TimedOut, 0, 0};
}

class Event {
public:
    Event() : handle_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    HANDLE get() const { return handle_.get(); }
    explicit operator bool() const { return handle_.valid(); }

private:
    win32::UniqueHandle handle_;
};

bool is_closed(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA;
}

// Reads `size` bytes, or fewer when the server closes the pipe first: the
// count read is the result.
Result<std::size_t> read_exact(HANDLE pipe, char* out, std::size_t size, const Deadline& deadline) {
    Event event;
    if (!event) return fail(win32::last_os_error().context("Failed to create an event"));
    std::size_t received = 0;
    while (received < size) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - received, kChunk));
        const BOOL started = ::ReadFile(pipe, out + received, chunk, nullptr, &overlapped);
        const Transfer transfer = finish(pipe, overlapped, started, deadline);
        if (transfer.outcome == Outcome::TimedOut) return fail(fmt::format("No reply within {}", seconds_text(deadline)));
        if (transfer.outcome == Outcome::Failed && !is_closed(transfer.error))
            return fail(win32::os_error(transfer.error).context("Failed to read the reply"));
        if (transfer.outcome == Outcome::Failed || transfer.bytes == 0) break;
        received += transfer.bytes;
    }
    return received;
}

}  // namespace

std::chrono::milliseconds Deadline::remaining() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at_ - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}

Status check_reply_length(std::uint32_t announced) {
    if (announced > kMaxReplySize)
        return fail(fmt::format("The reply announces {} bytes; a reply has at most {}", announced, kMaxReplySize));
    return {};
}


Result<win32::UniqueHandle> open_pipe(std::string_view name, const Deadline& deadline, ServerMay server_may) {
    const std::string path = api::pipe_path(name);
    const std::wstring wide = win32::to_wide(path);
    const DWORD level = server_may == ServerMay::Impersonate ? SECURITY_IMPERSONATION : SECURITY_IDENTIFICATION;
    for (;;) {
        HANDLE pipe = ::CreateFileW(wide.c_str(), api::kClientPipeAccess, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | level, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) return win32::UniqueHandle(pipe);
        const DWORD error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND)
            return fail(win32::os_error(error).context("Failed to open " + path));
        if (deadline.passed()) {
            if (error == ERROR_PIPE_BUSY)
                return fail(fmt::format("{} stayed busy for {}", path, seconds_text(deadline)));
            return fail(fmt::format("No helper is listening on {} (waited {})", path, seconds_text(deadline)));
        }
        if (error == ERROR_PIPE_BUSY) ::WaitNamedPipeW(wide.c_str(), wait_millis(std::min(deadline.remaining(), kBusyPipeSlice)));
        else ::Sleep(wait_millis(std::min(deadline.remaining(), kAbsentPipeRetry)));
    }
}

Status send_request(HANDLE pipe, std::string_view payload, const Deadline& deadline) {
    const std::string frame = api::encode_frame(payload);
    Event event;
    if (!event) return fail(win32::last_os_error().context("Failed to create an event"));
    std::string_view rest = frame;
    while (!rest.empty()) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), kChunk));
        const BOOL started = ::WriteFile(pipe, rest.data(), chunk, nullptr, &overlapped);
        const Transfer transfer = finish(pipe, overlapped, started, deadline);
        if (transfer.outcome == Outcome::TimedOut)
            return fail(fmt::format("The helper did not take the request within {}", seconds_text(deadline)));
        if (transfer.outcome == Outcome::Failed && is_closed(transfer.error))
            return fail(std::string(kClosedWithoutReply));
        if (transfer.outcome == Outcome::Failed)
            return fail(win32::os_error(transfer.error).context("Failed to send the request"));
        if (transfer.bytes == 0) return fail("Failed to send the request: the pipe took no bytes");
        rest.remove_prefix(transfer.bytes);
    }
    return {};
}

Result<std::string> read_reply(HANDLE pipe, const Deadline& deadline) {
    std::array<unsigned char, 4> prefix{};
    auto received = read_exact(pipe, reinterpret_cast<char*>(prefix.data()), prefix.size(), deadline);
    if (!received) return fail(received.error());
    if (*received == 0) return fail(std::string(kClosedWithoutReply));
    if (*received < prefix.size()) return fail("The helper closed the connection in the middle of the reply");
    const std::uint32_t length = api::decode_length(prefix);
    if (auto allowed = check_reply_length(length); !allowed) return fail(allowed.error());
    std::string payload(length, '\0');
    received = read_exact(pipe, payload.data(), payload.size(), deadline);
    if (!received) return fail(received.error());
    if (*received < payload.size())
        return fail(fmt::format("The helper closed the connection after {} of the {} bytes it announced", *received,
                                length));
    return payload;
}

}  // namespace zorv::ctl
