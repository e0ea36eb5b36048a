#include "pipe_server/overlapped_call.hpp"

#include <optional>
#include <utility>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/async_result.hpp>
#include <asio/error.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/overlapped_ptr.hpp>

namespace zorv::pipe_server {

void CallCancellation::request() {
    std::lock_guard lock(mutex_);
    requested_ = true;
    if (overlapped_ != nullptr && !completed_) ::CancelIoEx(handle_, overlapped_);
}

void CallCancellation::issued(OVERLAPPED* overlapped) {
    std::lock_guard lock(mutex_);
    overlapped_ = overlapped;
    if (requested_ && !completed_) ::CancelIoEx(handle_, overlapped_);
}

void CallCancellation::completed() {
    std::lock_guard lock(mutex_);
    completed_ = true;
}

namespace {

using Resume = std::move_only_function<void(std::error_code, std::size_t)>;

// Meets the packet of a pending call and the coroutine awaiting it, in
// whichever order they arrive: the packet may be taken by another thread
// before the coroutine has finished suspending.
class PendingCall {
public:
    explicit PendingCall(std::shared_ptr<CallCancellation> cancellation) : cancellation_(std::move(cancellation)) {}

    void completed(std::error_code ec, std::size_t bytes) {
        if (cancellation_) cancellation_->completed();
        std::unique_lock lock(mutex_);
        if (!resume_) {
            result_.emplace(ec, bytes);
            return;
        }
        Resume resume = std::move(resume_);
        lock.unlock();
        resume(ec, bytes);
    }

    // Resumes at once when the packet came first.
    void await(Resume resume) {
        std::unique_lock lock(mutex_);
        if (!result_) {
            resume_ = std::move(resume);
            return;
        }
        const auto [ec, bytes] = *result_;
        lock.unlock();
        resume(ec, bytes);
    }

    const std::shared_ptr<CallCancellation>& cancellation() const { return cancellation_; }

private:
    std::shared_ptr<CallCancellation> cancellation_;
    std::mutex mutex_;
    std::optional<CallResult> result_;
    Resume resume_;
};

class CancelCall {
public:
    explicit CancelCall(std::shared_ptr<CallCancellation> state) : state_(std::move(state)) {}
    void operator()(asio::cancellation_type_t) { state_->request(); }

private:
    std::shared_ptr<CallCancellation> state_;
};

// Suspends the coroutine until the packet of the pending call arrives.
class InitiateWait {
public:
    explicit InitiateWait(std::shared_ptr<PendingCall> pending) : pending_(std::move(pending)) {}

    template <typename Handler>
    void operator()(Handler handler) const {
        // Copied first: once the handler is handed over, the coroutine (and
        // this object, which lives in its frame) may be gone.
        std::shared_ptr<PendingCall> pending = pending_;
        auto slot = asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected() && pending->cancellation())
            slot.template emplace<CancelCall>(pending->cancellation());
        pending->await(std::move(handler));
    }

private:
    std::shared_ptr<PendingCall> pending_;
};

std::error_code call_error(DWORD error) {
    if (error == ERROR_SUCCESS) return {};
    return {static_cast<int>(error), asio::system_category()};
}

}  // namespace

asio::awaitable<CallResult> overlapped_call(asio::windows::stream_handle& pipe, const OverlappedStart& start,
                                            std::shared_ptr<CallCancellation> cancellation) {
    // A cancellation that arrives on the coroutine's slot needs a target.
    if (!cancellation && (co_await asio::this_coro::cancellation_state).slot().is_connected())
        cancellation = std::make_shared<CallCancellation>(pipe.native_handle());
    auto pending = std::make_shared<PendingCall>(cancellation);
    asio::windows::overlapped_ptr overlapped(
        pipe.get_executor(), [pending](std::error_code ec, std::size_t bytes) { pending->completed(ec, bytes); });

    DWORD bytes = 0;
    const DWORD error = start(pipe.native_handle(), overlapped.get(), &bytes);
    if (error != ERROR_IO_PENDING) {
        overlapped.reset();  // finished at once: no packet follows
        if (cancellation) cancellation->completed();
        co_return CallResult{call_error(error), bytes};
    }
    OVERLAPPED* issued = overlapped.release();  // the port delivers the result
    if (cancellation) cancellation->issued(issued);
    constexpr auto as_result = asio::experimental::as_tuple(asio::use_awaitable);
    co_return co_await asio::async_initiate<decltype(as_result), void(std::error_code, std::size_t)>(
        InitiateWait(pending), as_result);
}

}  // namespace zorv::pipe_server
