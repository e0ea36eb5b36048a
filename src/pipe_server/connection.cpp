#include "pipe_server/connection.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/dispatch.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "api/framing.hpp"
#include "api/records.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"
#include "pipe_server/frame_deadline.hpp"
#include "pipe_server/overlapped_call.hpp"
#include "pipe_server/router.hpp"
#include "security/client_impersonation.hpp"
#include "security/client_verification.hpp"

namespace zorv::pipe_server {

namespace {

// A verified client has this long to deliver its whole request frame; one
// that stalls would otherwise hold its task and its pipe instance for good.
constexpr std::chrono::milliseconds kFrameDeadline{10'000};
// A read asks for about as much as has arrived so far, between these bounds:
// a client that announces a large frame and sends nothing costs the first.
constexpr std::size_t kFirstPayloadRead = 4 * 1024;
constexpr std::size_t kLargestPayloadRead = 1024 * 1024;
constexpr std::size_t kLargestWrite = std::size_t{1} << 30;

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

// One ReadFile: whatever has arrived, up to `size` bytes.
asio::awaitable<CallResult> read_some(asio::windows::stream_handle& pipe, char* data, std::size_t size) {
    const auto read = [data, size](HANDLE handle, OVERLAPPED* overlapped, DWORD* bytes) {
        return overlapped_result(::ReadFile(handle, data, static_cast<DWORD>(size), bytes, overlapped));
    };
    co_return co_await overlapped_call(pipe, read);
}

// One WriteFile of up to `size` bytes (at most a DWORD's worth).
asio::awaitable<CallResult> write_some(asio::windows::stream_handle& pipe, const char* data, std::size_t size) {
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size, kLargestWrite));
    const auto write = [data, chunk](HANDLE handle, OVERLAPPED* overlapped, DWORD* bytes) {
        return overlapped_result(::WriteFile(handle, data, chunk, bytes, overlapped));
    };
    co_return co_await overlapped_call(pipe, write);
}

// Fills `size` bytes at `data`; an end of stream before that is an error.
asio::awaitable<Status> read_exact(asio::windows::stream_handle& pipe, char* data, std::size_t size) {
    for (std::size_t have = 0; have < size;) {
        auto [ec, n] = co_await read_some(pipe, data + have, size - have);
        if (ec) co_return fail(io_error(ec));
        if (n == 0) co_return fail("early end of stream");
        have += n;
    }
    co_return Status{};
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
        auto [ec, n] = co_await read_some(pipe, payload.data() + have, chunk);
        payload.resize(have + n);
        if (ec) co_return fail(io_error(ec).context("Failed to read payload"));
        if (n == 0) co_return fail(Error("early end of stream").context("Failed to read payload"));
    }
    co_return payload;
}

asio::awaitable<Result<std::vector<char>>> read_request_frame(asio::windows::stream_handle& pipe) {
    std::array<unsigned char, 4> prefix{};
    if (auto read = co_await read_exact(pipe, reinterpret_cast<char*>(prefix.data()), prefix.size()); !read)
        co_return fail(read.error().context("Failed to read frame length"));
    const std::uint32_t length = api::decode_length(prefix);
    if (auto allowed = api::check_request_length(length); !allowed) co_return fail(allowed.error());
    co_return co_await read_payload(pipe, length);
}

// The request frame, or an error once the deadline has passed.
asio::awaitable<Result<std::vector<char>>> read_request_frame_in_time(asio::windows::stream_handle& pipe) {
    const FrameDeadline deadline(DeadlineSweep::shared(), pipe.native_handle(), kFrameDeadline);
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
    for (std::string_view rest = *frame; !rest.empty();) {
        auto [ec, written] = co_await write_some(pipe, rest.data(), rest.size());
        if (ec) co_return fail(io_error(ec));
        if (written == 0) co_return fail("failed to write whole buffer");
        rest.remove_prefix(written);
    }
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

namespace {

// The detached task. The runtime queues the completion of a task that never
// waited (so that it never runs inside the spawning call), which costs a
// packet on the completion port; a request served without waiting is the
// common case here and the completion does nothing, so the task first
// passes through an inline dispatch, which counts as a switch.
asio::awaitable<void> connection_task(asio::windows::stream_handle pipe, std::string pipe_name,
                                      std::shared_ptr<manager::RuntimeManager> manager) {
    co_await asio::dispatch(asio::use_awaitable);
    co_await handle_connection(std::move(pipe), std::move(pipe_name), std::move(manager));
}

}  // namespace

void spawn_connection(const asio::any_io_executor& executor, asio::windows::stream_handle pipe,
                      std::string pipe_name, std::shared_ptr<manager::RuntimeManager> manager) {
    // A failure in one connection must never reach the listener or another
    // connection, so whatever escapes the task is dropped here.
    asio::co_spawn(executor, connection_task(std::move(pipe), std::move(pipe_name), std::move(manager)),
                   [](std::exception_ptr) {});
}

void post_connection(const asio::any_io_executor& executor, asio::windows::stream_handle pipe,
                     std::string pipe_name, std::shared_ptr<manager::RuntimeManager> manager) {
    asio::post(executor, [executor, pipe = std::move(pipe), pipe_name = std::move(pipe_name),
                          manager = std::move(manager)]() mutable {
        spawn_connection(executor, std::move(pipe), std::move(pipe_name), std::move(manager));
    });
}

}  // namespace zorv::pipe_server
