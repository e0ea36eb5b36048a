#include "pipe_server/connection.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <variant>
#include <vector>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/error.hpp>
#include <fmt/format.h>

#include "common/text.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"
#include "pipe_server/frame_deadline.hpp"
#include "pipe_server/overlapped_call.hpp"
#include "pipe_server/pipe_instance.hpp"
#include "pipe_server/request_frame.hpp"
#include "pipe_server/waited_call.hpp"
#include "security/client_verification.hpp"

namespace zorv::pipe_server {

namespace {

// A verified client has this long to deliver its whole request frame; one
// that stalls would otherwise hold its task and its pipe instance for good.
constexpr std::chrono::milliseconds kFrameDeadline{10'000};
// How long an accepting thread waits, all reads together, for a request
// frame before it hands the connection to the runtime. A client writes its
// request as soon as it has connected, so this is nearly always zero; a slow,
// silent or trickling client costs the thread this much once.
constexpr std::chrono::milliseconds kArrivalGrace{20};
// A reply that fits the pipe's buffer is taken at once; this only bounds a
// system that does not.
constexpr DWORD kBufferedWriteLimitMs = 10'000;
constexpr std::size_t kLargestWrite = std::size_t{1} << 30;

using Answer = api::FrameHandler::Answer;
using Deferred = api::FrameHandler::Deferred;

// What is left of a connection handed to the runtime: the rest of its
// request frame, the answer that waits its turn, or the whole of its reply.
using Remainder = std::variant<RequestFrame, Deferred, std::string>;

Remainder remainder_of(Answer answer) {
    return std::visit([](auto&& left) { return Remainder(std::move(left)); }, std::move(answer));
}

Error io_error(DWORD error) {
    // The client closing its end shows up as end of file or as a broken pipe.
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return Error("early end of stream");
    return win32::os_error(error);
}

Error io_error(const std::error_code& ec) {
    if (ec == asio::error::eof) return io_error(static_cast<DWORD>(ERROR_HANDLE_EOF));
    if (ec.category() == asio::system_category()) return io_error(static_cast<DWORD>(ec.value()));
    return Error(ec.message());
}

OverlappedStart read_into(std::span<char> buffer) {
    return [buffer](HANDLE handle, OVERLAPPED* overlapped, DWORD* bytes) {
        return overlapped_result(
            ::ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), bytes, overlapped));
    };
}

// One WriteFile of up to the whole of `rest` (at most a DWORD's worth).
OverlappedStart write_from(std::string_view rest) {
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), kLargestWrite));
    return [data = rest.data(), chunk](HANDLE handle, OVERLAPPED* overlapped, DWORD* bytes) {
        return overlapped_result(::WriteFile(handle, data, chunk, bytes, overlapped));
    };
}

// The error with every part of it log_safe: a cause may quote the client's bytes.
Error log_safe_error(const Error& error) {
    const std::vector<std::string>& causes = error.causes();
    if (causes.empty()) return Error(text::log_safe(error.message()));
    Error safe(text::log_safe(causes.back()));
    for (auto cause = causes.rbegin() + 1; cause != causes.rend(); ++cause) safe = safe.context(text::log_safe(*cause));
    return safe.context(text::log_safe(error.message()));
}

void log_failure(const Status& result) {
    if (!result)
        log::warn(log::target::pipe_server, "Pipe connection handling error: {}",
                  log_safe_error(result.error()).multi_line());
}

// Nothing is read before the caller is known to be the desktop client. A
// refusal is logged here, its verdict on one line as the audit trail reads it.
Status verify_client(HANDLE pipe) {
    const auto client_pid = security::verify_pipe_client(pipe);
    if (client_pid) {
        log::info(log::target::pipe_server, "Named pipe connection verified for client PID: {}", *client_pid);
        return {};
    }
    const Error refused = client_pid.error().context("Client verification failed");
    log::warn(log::target::pipe_server, "Rejected unauthorized named pipe client: {}",
              text::log_safe(client_pid.error().one_line()));
    log::warn(log::target::pipe_server, "Pipe connection handling error: {}", log_safe_error(refused).one_line());
    return fail(refused);
}

// ---- on the runtime --------------------------------------------------------

asio::awaitable<CallResult> read_some(asio::windows::stream_handle& pipe, std::span<char> buffer) {
    co_return co_await overlapped_call(pipe, read_into(buffer));
}

asio::awaitable<Result<std::vector<char>>> read_rest_of_frame(asio::windows::stream_handle& pipe,
                                                              RequestFrame& frame) {
    while (!frame.complete()) {
        auto [ec, n] = co_await read_some(pipe, frame.next_read());
        if (ec) co_return fail(frame.read_failed(io_error(ec)));
        if (auto taken = frame.received(n); !taken) co_return fail(taken.error());
    }
    co_return frame.take_payload();
}

// The rest of the request frame, or an error once the deadline has passed.
asio::awaitable<Result<std::vector<char>>> read_rest_in_time(asio::windows::stream_handle& pipe,
                                                             RequestFrame& frame) {
    const FrameDeadline deadline(DeadlineSweep::shared(), pipe.native_handle(), kFrameDeadline);
    auto payload = co_await read_rest_of_frame(pipe, frame);
    if (deadline.expired() && !payload)
        co_return fail(fmt::format("Request frame not received within {} s; closing the connection",
                                   std::chrono::duration_cast<std::chrono::seconds>(kFrameDeadline).count()));
    co_return payload;
}

asio::awaitable<Status> write_reply(asio::windows::stream_handle& pipe, std::string_view reply) {
    while (!reply.empty()) {
        auto [ec, written] = co_await overlapped_call(pipe, write_from(reply));
        if (ec) co_return fail(io_error(ec));
        if (written == 0) co_return fail("failed to write whole buffer");
        reply.remove_prefix(written);
    }
    co_return Status{};
}

// The reply frame of an answer that waits its turn, once it has come. The
// connection's task is suspended meanwhile; the pipe stays open, since the
// answer may act with its client's rights.
asio::awaitable<Result<std::string>> answer_later(HANDLE pipe, Deferred deferred) {
    const auto executor = co_await asio::this_coro::executor;
    co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(Result<std::string>)>(
        [&](auto handler) {
            deferred(pipe, [handler = std::move(handler), executor](Result<std::string> reply) mutable {
                // The task resumes on its own executor, never on the answering thread.
                const auto target = asio::get_associated_executor(handler, executor);
                asio::post(target, [handler = std::move(handler), reply = std::move(reply)]() mutable {
                    std::move(handler)(std::move(reply));
                });
            });
        },
        asio::use_awaitable);
}

asio::awaitable<Status> serve_remainder(asio::windows::stream_handle& pipe, Remainder remainder,
                                        const PipeServerContext& context) {
    if (auto* frame = std::get_if<RequestFrame>(&remainder)) {
        auto payload = co_await read_rest_in_time(pipe, *frame);
        if (!payload) co_return fail(payload.error());
        auto answer = context.handler->handle(std::move(*payload));
        if (!answer) co_return fail(answer.error());
        remainder = remainder_of(std::move(*answer));
    }
    if (auto* deferred = std::get_if<Deferred>(&remainder)) {
        auto reply = co_await answer_later(pipe.native_handle(), std::move(*deferred));
        if (!reply) co_return fail(reply.error());
        remainder = std::move(*reply);
    }
    co_return co_await write_reply(pipe, std::get<std::string>(remainder));
}

asio::awaitable<void> finish_connection(asio::windows::stream_handle pipe, Remainder remainder,
                                        PipeServerContext context) {
    Status result;
    try {
        result = co_await serve_remainder(pipe, std::move(remainder), context);
    } catch (const std::exception& e) {
        result = fail(Error(e.what()));
    } catch (...) {
        result = fail("unknown failure while serving the connection");
    }
    std::error_code ignored;
    pipe.close(ignored);  // CloseHandle only: a disconnect would discard an unread reply
    log_failure(result);
}

void finish_on_runtime(win32::UniqueHandle pipe, Remainder remainder, const PipeServerContext& context) {
    auto bound = bind_to_runtime(context.executor, std::move(pipe));
    if (!bound) {
        log_failure(fail(bound.error()));
        return;
    }
    // A failure in one connection must never reach another, so whatever
    // escapes the task is dropped here.
    asio::co_spawn(context.executor, finish_connection(std::move(*bound), std::move(remainder), context),
                   [](std::exception_ptr) {});
}

// ---- on the accepting thread -----------------------------------------------

Status write_buffered_reply(HANDLE pipe, HANDLE io_event, std::string_view reply) {
    while (!reply.empty()) {
        const WaitedCall write = waited_call(pipe, io_event, write_from(reply), kBufferedWriteLimitMs);
        if (write.error != ERROR_SUCCESS) return fail(io_error(write.error));
        if (write.bytes == 0) return fail("failed to write whole buffer");
        reply.remove_prefix(write.bytes);
    }
    return {};
}

// Serves as far as the client keeps pace: what is left, if anything.
Result<std::optional<Remainder>> serve_here(HANDLE pipe, HANDLE io_event, const PipeServerContext& context) {
    if (!verify_client(pipe)) return std::nullopt;  // logged, and nothing more is due

    RequestFrame frame;
    const auto grace_ends = std::chrono::steady_clock::now() + kArrivalGrace;
    while (!frame.complete()) {
        const WaitedCall read = waited_call(pipe, io_event, read_into(frame.next_read()), win32::wait_limit_until(grace_ends));
        if (read.error == ERROR_TIMEOUT) return Remainder{std::move(frame)};
        if (read.error != ERROR_SUCCESS) return fail(frame.read_failed(io_error(read.error)));
        if (auto taken = frame.received(read.bytes); !taken) return fail(taken.error());
    }
    auto answer = context.handler->handle(frame.take_payload());
    if (!answer) return fail(answer.error());
    // An answer that waits its turn, or a reply the pipe's buffer cannot
    // take at once: that wait is the runtime's.
    auto* reply = std::get_if<std::string>(&*answer);
    if (!reply || reply->size() > kPipeBufferSize) return remainder_of(std::move(*answer));
    if (auto written = write_buffered_reply(pipe, io_event, *reply); !written) return fail(written.error());
    return std::nullopt;
}

}  // namespace

void serve_connection(win32::UniqueHandle pipe, HANDLE io_event, const PipeServerContext& context) {
    Result<std::optional<Remainder>> served = std::nullopt;
    try {
        served = serve_here(pipe.get(), io_event, context);
    } catch (const std::exception& e) {
        served = fail(Error(e.what()));
    } catch (...) {
        served = fail("unknown failure while serving the connection");
    }
    if (served && *served) {
        finish_on_runtime(std::move(pipe), std::move(**served), context);
        return;
    }
    pipe.reset();  // CloseHandle only: a disconnect would discard an unread reply
    if (!served) log_failure(fail(served.error()));
}

}  // namespace zorv::pipe_server
