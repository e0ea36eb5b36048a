#include "pipe_server/connection.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <exception>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/error.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/read.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <fmt/format.h>

#include "api/framing.hpp"
#include "api/records.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"
#include "pipe_server/router.hpp"
#include "security/client_impersonation.hpp"
#include "security/client_verification.hpp"

namespace zorv::pipe_server {

namespace {

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

// A verified client has this long to deliver its whole request frame; one
// that stalls would otherwise hold its task and its pipe instance for good.
constexpr std::chrono::milliseconds kFrameDeadline{10'000};
// A read asks for about as much as has arrived so far, between these bounds:
// a client that announces a large frame and sends nothing costs the first.
constexpr std::size_t kFirstPayloadRead = 4 * 1024;
constexpr std::size_t kLargestPayloadRead = 1024 * 1024;

Error io_error(const std::error_code& ec) {
    // The client closing its end shows up as end of file or as a broken pipe.
    if (ec == asio::error::eof || (ec.category() == asio::system_category() && ec.value() == ERROR_BROKEN_PIPE))
        return Error("early end of stream");
    if (ec.category() == asio::system_category()) return win32::os_error(static_cast<DWORD>(ec.value()));
    return Error(ec.message());
}

void close_pipe(asio::windows::stream_handle& pipe) {
    std::error_code ignored;
    pipe.close(ignored);  // CloseHandle only: a disconnect would discard an unread reply
}

Result<std::string> reply_frame(const api::PipeResponse& response) {
    try {
        return api::encode_frame(api::serialize_response(response));
    } catch (const std::exception& e) {
        return fail(fmt::format("Failed to serialise reply: {}", e.what()));
    }
}

// Exactly `length` bytes. The buffer grows as bytes arrive, so an announced
// size costs nothing until the client actually sends it.
asio::awaitable<Result<std::vector<char>>> read_payload(asio::windows::stream_handle& pipe, std::uint32_t length) {
    std::vector<char> payload;
    while (payload.size() < length) {
        const std::size_t have = payload.size();
        const std::size_t chunk =
            std::min<std::size_t>(length - have, std::clamp(have, kFirstPayloadRead, kLargestPayloadRead));
        if (payload.capacity() < have + chunk)
            payload.reserve(std::min<std::size_t>(length, std::max(payload.capacity() * 2, have + chunk)));
        payload.resize(have + chunk);
        auto [ec, n] = co_await pipe.async_read_some(asio::buffer(payload.data() + have, chunk), use_tuple);
        payload.resize(have + n);
        if (ec) co_return fail(io_error(ec).context("Failed to read payload"));
        if (n == 0) co_return fail(Error("early end of stream").context("Failed to read payload"));
    }
    co_return payload;
}

asio::awaitable<Result<std::vector<char>>> read_request_frame(asio::windows::stream_handle& pipe) {
    std::array<unsigned char, 4> prefix{};
    if (auto [ec, n] = co_await asio::async_read(pipe, asio::buffer(prefix), use_tuple); ec)
        co_return fail(io_error(ec).context("Failed to read frame length"));
    const std::uint32_t length = api::decode_length(prefix);
    if (auto allowed = api::check_request_length(length); !allowed) co_return fail(allowed.error());
    co_return co_await read_payload(pipe, length);
}

// Cancels the pipe's pending reads once the frame deadline has passed, and
// again every second after, so that a read issued just after an expiry is
// cancelled too. A system thread-pool timer: the I/O runtime keeps no timer
// of its own for every connection.
class FrameDeadline {
public:
    FrameDeadline(HANDLE pipe, std::chrono::milliseconds limit) : pipe_(pipe) {
        timer_ = ::CreateThreadpoolTimer(&FrameDeadline::expire, this, nullptr);
        if (timer_ == nullptr) return;
        ULARGE_INTEGER due;
        due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(limit.count()) * 10'000);  // relative
        FILETIME when{due.LowPart, due.HighPart};
        ::SetThreadpoolTimer(timer_, &when, kRepeatMs, 0);
    }
    ~FrameDeadline() {
        if (timer_ == nullptr) return;
        ::SetThreadpoolTimer(timer_, nullptr, 0, 0);
        ::WaitForThreadpoolTimerCallbacks(timer_, TRUE);
        ::CloseThreadpoolTimer(timer_);
    }
    FrameDeadline(const FrameDeadline&) = delete;
    FrameDeadline& operator=(const FrameDeadline&) = delete;

    bool expired() const { return expired_; }

private:
    static constexpr DWORD kRepeatMs = 1000;
    static void CALLBACK expire(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER) {
        auto* self = static_cast<FrameDeadline*>(context);
        self->expired_ = true;
        ::CancelIoEx(self->pipe_, nullptr);
    }

    HANDLE pipe_;
    PTP_TIMER timer_ = nullptr;
    std::atomic<bool> expired_{false};
};

// The request frame, or an error once the deadline has passed.
asio::awaitable<Result<std::vector<char>>> read_request_frame_in_time(asio::windows::stream_handle& pipe) {
    const FrameDeadline deadline(pipe.native_handle(), kFrameDeadline);
    auto frame = co_await read_request_frame(pipe);
    if (deadline.expired() && !frame)
        co_return fail(fmt::format("Request frame not received within {} s; closing the connection",
                                   std::chrono::duration_cast<std::chrono::seconds>(kFrameDeadline).count()));
    co_return frame;
}

asio::awaitable<Status> serve_request(asio::windows::stream_handle& pipe, const std::string& pipe_name,
                                      const std::shared_ptr<manager::RuntimeManager>& manager) {
    // Nothing is read before the caller is known to be the desktop client.
    const auto client_pid = security::verify_pipe_client(pipe.native_handle());
    if (!client_pid) {
        close_pipe(pipe);
        const std::string reason = client_pid.error().one_line();
        log::warn(log::target::pipe_server, "Rejected unauthorized named pipe client: {}", reason);
        co_return fail(fmt::format("Client verification failed: {}", reason));
    }
    log::info(log::target::pipe_server, "Named pipe connection verified for client PID: {}", *client_pid);

    auto payload = co_await read_request_frame_in_time(pipe);
    if (!payload) co_return fail(payload.error());

    auto request = api::parse_pipe_request(std::string_view(payload->data(), payload->size()));
    if (!request) co_return fail(request.error().context("Invalid JSON request"));
    std::vector<char>().swap(*payload);

    security::NamedPipeClientIdentity client(pipe.native_handle());
    request->method = api::normalize_method(request->method);
    request->path = api::normalize_path(request->path);
    const api::PipeResponse response = dispatch_request(std::move(*request), manager, client, pipe_name);

    // Prefix and payload in one buffer: a second write could be lost on close.
    auto frame = reply_frame(response);
    if (!frame) co_return fail(frame.error());
    auto [ec, written] = co_await asio::async_write(pipe, asio::buffer(*frame), use_tuple);
    if (ec) co_return fail(io_error(ec));
    if (written != frame->size()) co_return fail("failed to write whole buffer");
    co_return Status{};
}

}  // namespace

asio::awaitable<void> handle_connection(asio::windows::stream_handle pipe, std::string pipe_name,
                                        std::shared_ptr<manager::RuntimeManager> manager) {
    Status result;
    try {
        result = co_await serve_request(pipe, pipe_name, manager);
    } catch (const std::exception& e) {
        result = fail(Error(e.what()));
    } catch (...) {
        result = fail("unknown failure while serving the connection");
    }
    close_pipe(pipe);
    if (!result) log::warn(log::target::pipe_server, "Pipe connection handling error: {}", result.error().multi_line());
}

void spawn_connection(const asio::any_io_executor& executor, asio::windows::stream_handle pipe,
                      std::string pipe_name, std::shared_ptr<manager::RuntimeManager> manager) {
    // A failure in one connection must never reach the listener or another
    // connection, so whatever escapes the task is dropped here.
    asio::co_spawn(executor, handle_connection(std::move(pipe), std::move(pipe_name), std::move(manager)),
                   [](std::exception_ptr) {});
}

}  // namespace zorv::pipe_server
