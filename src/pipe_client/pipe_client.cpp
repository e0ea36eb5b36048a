#include "pipe_client/pipe_client.hpp"

#include <algorithm>
#include <array>
#include <thread>

#include <fmt/format.h>

#include "api/pipe_path.hpp"
#include "common/overlapped_wait.hpp"

namespace zorv::pipe_client {

namespace {

constexpr DWORD kChunk = 1u << 20;
// How soon an absent pipe is looked for again, and the longest single system
// wait for a busy one, so that the deadline is checked often.
constexpr std::chrono::milliseconds kAbsentPipeRetry{10};
constexpr std::chrono::milliseconds kBusyPipeSlice{50};

// Starts one overlapped read or write through `start` and waits for its end
// within the deadline: ERROR_TIMEOUT when it was still pending then. On a
// handle opened for synchronous I/O the call has ended when `start` returns.
template <typename Start>
win32::OverlappedOutcome transfer(HANDLE pipe, const Deadline& deadline, Start start) {
    win32::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return {::GetLastError(), 0};
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    const BOOL issued = start(overlapped);
    return win32::finish_issued(pipe, overlapped, issued, win32::wait_limit(deadline.remaining()));
}

bool is_closed(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA;
}

// Reads `size` bytes, or fewer when the server closes the pipe first: the
// count read is the result.
Result<std::size_t> read_exact(HANDLE pipe, char* out, std::size_t size, const Deadline& deadline) {
    std::size_t received = 0;
    while (received < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - received, kChunk));
        const auto read = transfer(pipe, deadline, [&](OVERLAPPED& overlapped) {
            return ::ReadFile(pipe, out + received, chunk, nullptr, &overlapped);
        });
        if (read.error == ERROR_TIMEOUT) return fail(fmt::format("No reply within {}", deadline.budget_text()));
        if (read.error != ERROR_SUCCESS && !is_closed(read.error))
            return fail(win32::os_error(read.error).context("Failed to read the reply"));
        if (read.error != ERROR_SUCCESS || read.bytes == 0) break;
        received += read.bytes;
    }
    return received;
}

}  // namespace

Deadline Deadline::unbounded() {
    Deadline deadline(std::chrono::milliseconds::zero());
    deadline.budget_ = std::chrono::milliseconds::max();
    deadline.at_ = std::chrono::steady_clock::time_point::max();
    return deadline;
}

std::chrono::milliseconds Deadline::remaining() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at_ - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}

std::string Deadline::budget_text() const {
    return fmt::format("{} s", std::chrono::duration_cast<std::chrono::seconds>(budget_).count());
}

Status check_reply_length(std::uint32_t announced) {
    if (announced > kMaxReplySize)
        return fail(fmt::format("The reply announces {} bytes; a reply has at most {}", announced, kMaxReplySize));
    return {};
}

BusyWait busy_wait(int attempt) {
    if (attempt <= 1) return {.system_wait = true};
    return {.pause = std::chrono::milliseconds(1 << std::min(attempt - 2, 3))};
}

Result<win32::UniqueHandle> connect(std::string_view pipe_name, const Deadline& deadline, ServerMay server_may) {
    const std::string path = api::pipe_path(pipe_name);
    const std::wstring wide_path = win32::to_wide(path);
    const DWORD level = server_may == ServerMay::Impersonate ? SECURITY_IMPERSONATION : SECURITY_IDENTIFICATION;
    for (int busy = 0;;) {
        HANDLE pipe = ::CreateFileW(wide_path.c_str(), api::kClientPipeAccess, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | level, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) return win32::UniqueHandle(pipe);
        const DWORD error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND)
            return fail(win32::os_error(error).context("Failed to open " + path));
        if (deadline.passed()) {
            if (error == ERROR_PIPE_BUSY)
                return fail(Error::os(error, fmt::format("{} stayed busy for {}", path, deadline.budget_text())));
            return fail(Error::os(error, "No helper is listening on " + path));
        }
        // No instance at all (a helper starting or going away): retry shortly.
        if (error != ERROR_PIPE_BUSY) {
            busy = 0;
            std::this_thread::sleep_for(std::min(deadline.remaining(), kAbsentPipeRetry));
        } else if (const BusyWait wait = busy_wait(++busy); wait.system_wait) {
            ::WaitNamedPipeW(wide_path.c_str(), win32::wait_limit(std::min(deadline.remaining(), kBusyPipeSlice)));
        } else {
            std::this_thread::sleep_for(std::min(deadline.remaining(), wait.pause));
        }
    }
}

Status write_all(HANDLE pipe, std::string_view bytes, const Deadline& deadline) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kChunk));
        const auto written = transfer(pipe, deadline, [&](OVERLAPPED& overlapped) {
            return ::WriteFile(pipe, bytes.data(), chunk, nullptr, &overlapped);
        });
        if (written.error == ERROR_TIMEOUT)
            return fail(fmt::format("The helper did not take the request within {}", deadline.budget_text()));
        if (is_closed(written.error)) return fail(std::string(kClosedWithoutReply));
        if (written.error != ERROR_SUCCESS)
            return fail(win32::os_error(written.error).context("Failed to send the request"));
        if (written.bytes == 0) return fail("Failed to send the request: the pipe took no bytes");
        bytes.remove_prefix(written.bytes);
    }
    return {};
}

Result<std::string> read_frame(HANDLE pipe, const Deadline& deadline) {
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

Result<std::string> exchange(std::string_view pipe_name, std::string_view request_payload, const Deadline& deadline,
                             const ExchangeOptions& options) {
    auto pipe = connect(pipe_name, deadline, options.server_may);
    if (!pipe) return fail(pipe.error());
    if (options.check_server)
        if (auto trusted = options.check_server(pipe->get()); !trusted) return fail(trusted.error());
    if (auto sent = write_all(pipe->get(), api::encode_frame(request_payload), deadline); !sent)
        return fail(sent.error());
    return read_frame(pipe->get(), deadline);
}

Result<api::PipeResponse> call(std::string_view pipe_name, std::string_view method, std::string_view path,
                               const std::optional<nlohmann::json>& body, const Deadline& deadline) {
    nlohmann::json request = {{"method", method}, {"path", path}};
    if (body) request["body"] = *body;
    auto reply = exchange(pipe_name, request.dump(), deadline);
    if (!reply) return fail(reply.error());
    const nlohmann::json parsed = nlohmann::json::parse(*reply, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains("status") ||
        !parsed["status"].is_number_unsigned() || !parsed.contains("body"))
        return fail("Malformed reply: " + *reply);
    return api::PipeResponse{parsed["status"].get<std::uint16_t>(), parsed["body"]};
}

}  // namespace zorv::pipe_client
