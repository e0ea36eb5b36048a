#include "pipe_server/pipe_listener.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/overlapped_ptr.hpp>

#include "api/pipe_path.hpp"
#include "logger/log.hpp"
#include "pipe_server/connection.hpp"
#include "pipe_server/pipe_instance.hpp"

namespace zorv::pipe_server {

namespace {

using namespace std::chrono_literals;

constexpr int kFirstInstanceRetries = 5;  // six attempts in all
constexpr auto kFirstInstanceRetryPause = 200ms;
constexpr auto kConnectErrorPause = 50ms;

// Cancels a pending ConnectNamedPipe. Cancellation may arrive from another
// thread before the call has been issued; the flag lets the initiator catch up.
struct ConnectCancellation {
    HANDLE pipe = nullptr;
    OVERLAPPED* overlapped = nullptr;
    std::atomic<bool> requested{false};
};

class CancelConnect {
public:
    explicit CancelConnect(std::shared_ptr<ConnectCancellation> state) : state_(std::move(state)) {}
    void operator()(asio::cancellation_type_t) {
        state_->requested = true;
        ::CancelIoEx(state_->pipe, state_->overlapped);
    }

private:
    std::shared_ptr<ConnectCancellation> state_;
};

// Issues ConnectNamedPipe on the instance; completes with the connect's error.
class InitiateConnect {
public:
    explicit InitiateConnect(asio::windows::stream_handle& pipe) : pipe_(&pipe) {}

    template <typename Handler>
    void operator()(Handler handler) const {
        auto slot = asio::get_associated_cancellation_slot(handler);
        asio::windows::overlapped_ptr overlapped(pipe_->get_executor(), std::move(handler));
        auto cancellation = std::make_shared<ConnectCancellation>();
        cancellation->pipe = pipe_->native_handle();
        cancellation->overlapped = overlapped.get();
        if (slot.is_connected()) slot.template emplace<CancelConnect>(cancellation);

        const BOOL connected = ::ConnectNamedPipe(pipe_->native_handle(), overlapped.get());
        const DWORD error = connected ? ERROR_SUCCESS : ::GetLastError();
        if (connected || error == ERROR_IO_PENDING) {
            overlapped.release();  // completes through the completion port
            if (cancellation->requested) ::CancelIoEx(cancellation->pipe, cancellation->overlapped);
        } else if (error == ERROR_PIPE_CONNECTED) {
            // The client arrived between creation and this call.
            overlapped.complete(std::error_code(), 0);
        } else {
            overlapped.complete(std::error_code(static_cast<int>(error), asio::system_category()), 0);
        }
    }

private:
    asio::windows::stream_handle* pipe_;
};

template <typename CompletionToken>
auto async_connect_pipe(asio::windows::stream_handle& pipe, CompletionToken&& token) {
    return asio::async_initiate<CompletionToken, void(std::error_code, std::size_t)>(InitiateConnect(pipe), token);
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
    const std::string path = api::pipe_path(context.pipe_name);
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

        // Whichever finishes first cancels the other, and both have ended
        // before the group completes. The operations are built outside the
        // co_await expression: GCC 12 may destroy temporaries there twice.
        auto connect = async_connect_pipe(*instance, asio::experimental::deferred);
        auto shutdown_changed = asio::co_spawn(executor, shutdown.changed(), asio::experimental::deferred);
        auto race = asio::experimental::make_parallel_group(std::move(connect), std::move(shutdown_changed));
        auto [order, connect_error, connect_bytes, shutdown_error] =
            co_await race.async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);

        if (co_await cancelled()) {
            close_instance(*instance);
            co_return Status{};
        }

        if (order[0] == 0 && !connect_error) {
            spawn_connection(executor, std::move(*instance), context.pipe_name, context.manager);
            instance.reset();
            continue;
        }
        if (order[0] == 0) {
            log::warn(log::target::pipe_server, "Named pipe connect error: {}", connect_error_text(connect_error));
            pause(kConnectErrorPause);
            auto next = create_pipe_instance(executor, path, false);
            close_instance(*instance);
            if (!next) co_return fail(next.error());
            instance.emplace(std::move(*next));
            continue;
        }
        log::info(log::target::pipe_server, "Shutdown signal received in pipe listener loop");
        close_instance(*instance);
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
