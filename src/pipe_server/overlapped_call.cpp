#include "pipe_server/overlapped_call.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include <asio/async_result.hpp>
#include <asio/error.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/overlapped_ptr.hpp>

namespace zorv::pipe_server {

namespace {

using Resume = std::move_only_function<void(std::error_code, std::size_t)>;

// Meets the packet of a pending call and the coroutine awaiting it, in
// whichever order they arrive: the packet may be taken by another thread
// before the coroutine has finished suspending.
class PendingCall {
public:
    void completed(std::error_code ec, std::size_t bytes) {
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

private:
    std::mutex mutex_;
    std::optional<CallResult> result_;
    Resume resume_;
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

asio::awaitable<CallResult> overlapped_call(asio::windows::stream_handle& pipe, const OverlappedStart& start) {
    auto pending = std::make_shared<PendingCall>();
    asio::windows::overlapped_ptr overlapped(
        pipe.get_executor(), [pending](std::error_code ec, std::size_t bytes) { pending->completed(ec, bytes); });

    DWORD bytes = 0;
    const DWORD error = start(pipe.native_handle(), overlapped.get(), &bytes);
    if (error != ERROR_IO_PENDING) {
        overlapped.reset();  // finished at once: no packet follows
        co_return CallResult{call_error(error), bytes};
    }
    overlapped.release();  // the port delivers the result
    constexpr auto as_result = asio::experimental::as_tuple(asio::use_awaitable);
    co_return co_await asio::async_initiate<decltype(as_result), void(std::error_code, std::size_t)>(
        InitiateWait(pending), as_result);
}

}  // namespace zorv::pipe_server
