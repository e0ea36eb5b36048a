#pragma once
// One overlapped call on a pipe instance (connect, read, write) as an
// asynchronous operation that finishes inline when the system finishes the
// call at once, and through the completion port only when it is pending.
//
// The instance must skip the completion port on success (see
// create_pipe_instance): a call that returns at once then queues no packet,
// so its result is taken from the call itself and nothing is posted. Every
// packet the port delivers saves nothing over that and costs a kernel round
// trip (under Wine, a server request) of its own.

#include <windows.h>

#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/async_result.hpp>
#include <asio/error.hpp>
#include <asio/windows/overlapped_ptr.hpp>
#include <asio/windows/stream_handle.hpp>

namespace zorv::pipe_server {

// A cancellation of one pending call, from any thread: CancelIoEx on that
// call's OVERLAPPED while it is pending, never once it has completed (the
// handle may then be closed and its value reused). A request that arrives
// before the call is issued is carried out as soon as it is.
class CallCancellation {
public:
    explicit CallCancellation(HANDLE handle) : handle_(handle) {}

    void request() {
        std::lock_guard lock(mutex_);
        requested_ = true;
        if (overlapped_ != nullptr && !completed_) ::CancelIoEx(handle_, overlapped_);
    }
    void issued(OVERLAPPED* overlapped) {
        std::lock_guard lock(mutex_);
        overlapped_ = overlapped;
        if (requested_ && !completed_) ::CancelIoEx(handle_, overlapped_);
    }
    void completed() {
        std::lock_guard lock(mutex_);
        completed_ = true;
    }

private:
    std::mutex mutex_;
    HANDLE handle_;
    OVERLAPPED* overlapped_ = nullptr;
    bool requested_ = false;
    bool completed_ = false;
};

namespace overlapped_detail {

class CancelCall {
public:
    explicit CancelCall(std::shared_ptr<CallCancellation> state) : state_(std::move(state)) {}
    void operator()(asio::cancellation_type_t) { state_->request(); }

private:
    std::shared_ptr<CallCancellation> state_;
};

// The awaiting handler, held apart from the completion-port operation so
// that a call finished at once can hand its result over directly.
template <typename Handler>
struct HeldHandler {
    std::optional<Handler> handler;
    std::shared_ptr<CallCancellation> cancellation;  // null when nobody can cancel

    void finish(std::error_code ec, std::size_t bytes) {
        if (cancellation) cancellation->completed();
        Handler resumed = std::move(*handler);
        handler.reset();
        std::move(resumed)(ec, bytes);
    }
};

// `call(handle, overlapped, &bytes)` starts the call and returns
// ERROR_SUCCESS when it finished at once, ERROR_IO_PENDING when a packet
// will follow, or the error it failed with at once.
template <typename Call>
class InitiateCall {
public:
    InitiateCall(asio::windows::stream_handle& pipe, Call call, std::shared_ptr<CallCancellation> cancellation)
        : pipe_(&pipe), call_(std::move(call)), cancellation_(std::move(cancellation)) {}

    template <typename Handler>
    void operator()(Handler handler) const {
        auto slot = asio::get_associated_cancellation_slot(handler);
        auto held = std::make_shared<HeldHandler<Handler>>();
        held->handler.emplace(std::move(handler));
        const HANDLE handle = pipe_->native_handle();
        held->cancellation = cancellation_;
        if (slot.is_connected()) {
            if (!held->cancellation) held->cancellation = std::make_shared<CallCancellation>(handle);
            slot.template emplace<CancelCall>(held->cancellation);
        }
        asio::windows::overlapped_ptr overlapped(
            pipe_->get_executor(), [held](std::error_code ec, std::size_t bytes) { held->finish(ec, bytes); });

        DWORD bytes = 0;
        const DWORD error = call_(handle, overlapped.get(), &bytes);
        if (error == ERROR_IO_PENDING) {
            OVERLAPPED* pending = overlapped.release();  // the port delivers the result
            if (held->cancellation) held->cancellation->issued(pending);
            return;
        }
        overlapped.reset();  // finished at once: no packet follows
        held->finish(error == ERROR_SUCCESS ? std::error_code()
                                            : std::error_code(static_cast<int>(error), asio::system_category()),
                     bytes);
    }

private:
    asio::windows::stream_handle* pipe_;
    Call call_;
    std::shared_ptr<CallCancellation> cancellation_;
};

}  // namespace overlapped_detail

// Runs `call` on the instance; completes with (error, bytes transferred).
// The call can be cancelled through the completion token's cancellation
// slot and through `cancellation`, when given (made for the same handle).
template <typename Call, typename CompletionToken>
auto async_overlapped_call(asio::windows::stream_handle& pipe, Call call, CompletionToken&& token,
                           std::shared_ptr<CallCancellation> cancellation = nullptr) {
    return asio::async_initiate<CompletionToken, void(std::error_code, std::size_t)>(
        overlapped_detail::InitiateCall<Call>(pipe, std::move(call), std::move(cancellation)), token);
}

// The error of a Win32 call that may finish at once or go pending.
inline DWORD overlapped_result(BOOL finished) { return finished ? ERROR_SUCCESS : ::GetLastError(); }

}  // namespace zorv::pipe_server
