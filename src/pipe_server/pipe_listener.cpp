#include "pipe_server/pipe_listener.hpp"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/async_result.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/overlapped_ptr.hpp>

#include "logger/log.hpp"
#include "pipe_server/connection.hpp"
#include "pipe_server/pipe_instance.hpp"

namespace zorv::pipe_server {

namespace {

using namespace std::chrono_literals;

constexpr int kFirstInstanceRetries = 5;  // six attempts in all
constexpr auto kFirstInstanceRetryPause = 200ms;
constexpr auto kConnectErrorPause = 50ms;

// The pending ConnectNamedPipe and its one way of ending early: CancelIoEx.
// Two parties may ask for it, from any thread: the listener's own
// cancellation slot (it is abandoned) and a shutdown publication. A request
// made before the call is issued is carried out as soon as it is.
class PendingConnect {
public:
    void issued(HANDLE pipe, OVERLAPPED* overlapped) {
        std::lock_guard lock(mutex_);
        pipe_ = pipe;
        overlapped_ = overlapped;
        if (requested_ && !finished_) ::CancelIoEx(pipe_, overlapped_);
    }
    void cancel(bool by_shutdown) {
        std::lock_guard lock(mutex_);
        requested_ = true;
        by_shutdown_ = by_shutdown_ || by_shutdown;
        if (pipe_ != nullptr && !finished_) ::CancelIoEx(pipe_, overlapped_);
    }
    // The connect has completed; the instance may be closed or handed on.
    void finished() {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    bool by_shutdown() const {
        std::lock_guard lock(mutex_);
        return by_shutdown_;
    }

private:
    mutable std::mutex mutex_;
    HANDLE pipe_ = nullptr;
    OVERLAPPED* overlapped_ = nullptr;
    bool requested_ = false;
    bool by_shutdown_ = false;
    bool finished_ = false;
};

class CancelConnect {
public:
    explicit CancelConnect(std::shared_ptr<PendingConnect> pending) : pending_(std::move(pending)) {}
    void operator()(asio::cancellation_type_t) { pending_->cancel(false); }

private:
    std::shared_ptr<PendingConnect> pending_;
};

// Issues ConnectNamedPipe on the instance; completes with the connect's error.
class InitiateConnect {
public:
    InitiateConnect(asio::windows::stream_handle& pipe, std::shared_ptr<PendingConnect> pending)
        : pipe_(&pipe), pending_(std::move(pending)) {}

    template <typename Handler>
    void operator()(Handler handler) const {
        auto slot = asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected()) slot.template emplace<CancelConnect>(pending_);
        asio::windows::overlapped_ptr overlapped(pipe_->get_executor(), std::move(handler));

        const BOOL connected = ::ConnectNamedPipe(pipe_->native_handle(), overlapped.get());
        const DWORD error = connected ? ERROR_SUCCESS : ::GetLastError();
        if (connected || error == ERROR_IO_PENDING) {
            OVERLAPPED* issued = overlapped.release();  // completes through the completion port
            pending_->issued(pipe_->native_handle(), issued);
        } else if (error == ERROR_PIPE_CONNECTED) {
            // The client arrived between creation and this call.
            overlapped.complete(std::error_code(), 0);
        } else {
            overlapped.complete(std::error_code(static_cast<int>(error), asio::system_category()), 0);
        }
    }

private:
    asio::windows::stream_handle* pipe_;
    std::shared_ptr<PendingConnect> pending_;
};

template <typename CompletionToken>
auto async_connect_pipe(asio::windows::stream_handle& pipe, std::shared_ptr<PendingConnect> pending,
                        CompletionToken&& token) {
    return asio::async_initiate<CompletionToken, void(std::error_code, std::size_t)>(
        InitiateConnect(pipe, std::move(pending)), token);
}

// The listener's pauses are short and rare (a busy name at start-up, a failed
// connect), so they hold the worker: an I/O-runtime timer would start the
// runtime's timer thread, which the service's teardown then waits on.
void pause(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

void close_instance(asio::windows::stream_handle& instance) {
    std::error_code ignored;
    instance.close(ignored);
}

asio::awaitable<bool> cancelled() {
    const auto state = co_await asio::this_coro::cancellation_state;
    co_return state.cancelled() != asio::cancellation_type::none;
}

// The first instance claims the name; another owner may still be going away,
// so a few attempts are made. The shutdown signal is not consulted meanwhile.
Result<asio::windows::stream_handle> create_first_instance(const asio::any_io_executor& executor,
                                                           const std::string& path) {
    for (int retries = 0;; ++retries) {
        auto instance = create_pipe_instance(executor, path, true);
        if (instance || retries == kFirstInstanceRetries) return instance;
        pause(kFirstInstanceRetryPause);
    }
}

std::string connect_error_text(const std::error_code& ec) {
    if (ec.category() == asio::system_category()) return win32::error_text(static_cast<DWORD>(ec.value()));
    return ec.message();
}

// The accept loop. An instance of ours holds the name from the first creation
// on: after a connect error the next instance exists before the failed one is
// closed, so no other process can slip in and own the name.
asio::awaitable<Status> serve_pipe(const PipeServerContext& context, ShutdownReceiver shutdown,
                                   const ListeningCallback& on_listening) {
    const std::string path = pipe_path(context.pipe_name);
    log::info(log::target::pipe_server, "Named pipe server starting on {}", path);
    const auto executor = co_await asio::this_coro::executor;
    std::optional<asio::windows::stream_handle> instance;

    for (bool first = true;; first = false) {
        if (shutdown.current()) {
            log::info(log::target::pipe_server, "Shutdown received, stopping named pipe server");
            if (instance) close_instance(*instance);
            co_return Status{};
        }
        // Abandoned by whoever awaits the listener (the standalone run on Ctrl+C).
        if (co_await cancelled()) {
            if (instance) close_instance(*instance);
            co_return Status{};
        }

        if (!instance) {
            Result<asio::windows::stream_handle> created =
                first ? create_first_instance(executor, path) : create_pipe_instance(executor, path, false);
            if (!created) co_return fail(created.error());
            instance.emplace(std::move(*created));
            if (first && on_listening) {
                if (auto told = on_listening(); !told) {
                    close_instance(*instance);
                    co_return fail(told.error());
                }
            }
        }

        // One wait for a client, ended early by the one cancellation path:
        // a shutdown publication and the listener's own abandonment both
        // cancel the pending connect.
        auto pending = std::make_shared<PendingConnect>();
        ShutdownWatch watch = shutdown.watch([pending] { pending->cancel(true); });
        auto [connect_error, connect_bytes] =
            co_await async_connect_pipe(*instance, pending, asio::experimental::as_tuple(asio::use_awaitable));
        pending->finished();
        watch = ShutdownWatch();

        if (co_await cancelled()) {
            close_instance(*instance);
            co_return Status{};
        }

        if (!connect_error) {
            // A client that got in is served, even when the signal came too.
            spawn_connection(executor, std::move(*instance), context.pipe_name, context.manager);
            instance.reset();
            if (!pending->by_shutdown()) continue;
        }
        if (!pending->by_shutdown()) {
            log::warn(log::target::pipe_server, "Named pipe connect error: {}", connect_error_text(connect_error));
            pause(kConnectErrorPause);
            auto next = create_pipe_instance(executor, path, false);
            close_instance(*instance);
            if (!next) co_return fail(next.error());
            instance.emplace(std::move(*next));
            continue;
        }
        log::info(log::target::pipe_server, "Shutdown signal received in pipe listener loop");
        if (instance) close_instance(*instance);
        co_return Status{};
    }
}

}  // namespace

asio::awaitable<Status> run_pipe_server(const PipeServerContext& context, ShutdownReceiver shutdown,
                                        ListeningCallback on_listening) {
    Status served = co_await serve_pipe(context, std::move(shutdown), on_listening);
    if (!served) log::error(log::target::pipe_server, "Named pipe server failed: {}", served.error().multi_line());
    co_return served;
}

}  // namespace zorv::pipe_server
