#include "pipe_server/pipe_listener.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include <asio/this_coro.hpp>

#include "api/pipe_path.hpp"
#include "logger/log.hpp"
#include "pipe_server/connection.hpp"
#include "pipe_server/overlapped_call.hpp"
#include "pipe_server/pipe_instance.hpp"

namespace zorv::pipe_server {

namespace {

using namespace std::chrono_literals;

constexpr int kFirstInstanceRetries = 5;  // six attempts in all
constexpr auto kFirstInstanceRetryPause = 200ms;
constexpr auto kConnectErrorPause = 50ms;

// Waits for a client on the instance. A client that arrived between the
// creation and this call is connected already, which is a success too.
DWORD start_connect(HANDLE pipe, OVERLAPPED* overlapped, DWORD* /*bytes*/) {
    const DWORD error = overlapped_result(::ConnectNamedPipe(pipe, overlapped));
    return error == ERROR_PIPE_CONNECTED ? ERROR_SUCCESS : error;
}

// The task of an accepted connection, started by the next connect: on this
// thread once that connect waits (the listener is then suspended, and its
// completion goes to whichever worker is free), queued when it finished at
// once because the next client was already there.
OnIssued start_task_when_listening(const asio::any_io_executor& executor, asio::windows::stream_handle connected,
                                   const PipeServerContext& context) {
    return [executor, connected = std::move(connected), name = context.pipe_name,
            manager = context.manager](bool pending) mutable {
        if (pending) spawn_connection(executor, std::move(connected), std::move(name), std::move(manager));
        else post_connection(executor, std::move(connected), std::move(name), std::move(manager));
    };
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

struct ClientWait {
    std::error_code error;     // none when a client connected
    bool by_shutdown = false;  // a shutdown publication ended the wait
};

// One wait for a client, ended early by either cancellation path: a shutdown
// publication (on the publishing thread, nothing posted) and the listener's
// own abandonment both cancel the pending connect.
asio::awaitable<ClientWait> wait_for_client(asio::windows::stream_handle& instance, ShutdownReceiver& shutdown,
                                            OnIssued start_task) {
    auto cancellation = std::make_shared<CallCancellation>(instance.native_handle());
    auto shutdown_seen = std::make_shared<std::atomic<bool>>(false);
    const ShutdownWatch watch = shutdown.watch([cancellation, shutdown_seen] {
        shutdown_seen->store(true);
        cancellation->request();
    });
    auto [error, bytes] = co_await overlapped_call(instance, start_connect, cancellation, std::move(start_task));
    co_return ClientWait{error, shutdown_seen->load()};
}

// Starts the task of a connection accepted but not yet started.
void start_accepted(const asio::any_io_executor& executor, std::optional<asio::windows::stream_handle>& accepted,
                    const PipeServerContext& context) {
    if (!accepted) return;
    spawn_connection(executor, std::move(*accepted), context.pipe_name, context.manager);
    accepted.reset();
}

// GCC 12 inlines the runtime's recycling allocator into this coroutine's
// frame allocation and then takes the frame's own operator delete for a
// mismatch with the global operator new it found inside: a false positive
// that comes and goes with inlining decisions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// The accept loop. An instance of ours holds the name from the first creation
// on: after a connect error the next instance exists before the failed one is
// closed, so no other process can slip in and own the name. A connection's
// task starts once the next instance listens; on the way out it starts at once.
asio::awaitable<Status> serve_pipe(const PipeServerContext& context, ShutdownReceiver shutdown,
                                   const ListeningCallback& on_listening) {
    const std::string path = api::pipe_path(context.pipe_name);
    log::info(log::target::pipe_server, "Named pipe server starting on {}", path);
    const auto executor = co_await asio::this_coro::executor;
    std::optional<asio::windows::stream_handle> instance;
    std::optional<asio::windows::stream_handle> accepted;  // connected, its task not started yet

    for (bool first = true;; first = false) {
        if (shutdown.current()) {
            log::info(log::target::pipe_server, "Shutdown received, stopping named pipe server");
            start_accepted(executor, accepted, context);
            if (instance) close_instance(*instance);
            co_return Status{};
        }
        // Abandoned by whoever awaits the listener (the standalone run on Ctrl+C).
        if (co_await cancelled()) {
            start_accepted(executor, accepted, context);
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

        OnIssued start_task;
        if (accepted) start_task = start_task_when_listening(executor, std::move(*accepted), context);
        accepted.reset();
        const ClientWait waited = co_await wait_for_client(*instance, shutdown, std::move(start_task));
        const std::error_code& connect_error = waited.error;

        if (co_await cancelled()) {
            close_instance(*instance);
            co_return Status{};
        }

        if (!connect_error) {
            accepted.emplace(std::move(*instance));
            instance.reset();
            auto next = create_pipe_instance(executor, path, false);
            if (!next) {
                start_accepted(executor, accepted, context);
                co_return fail(next.error());
            }
            instance.emplace(std::move(*next));
            continue;
        }
        if (!waited.by_shutdown) {
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

#pragma GCC diagnostic pop

}  // namespace

asio::awaitable<Status> run_pipe_server(const PipeServerContext& context, ShutdownReceiver shutdown,
                                        ListeningCallback on_listening) {
    Status served = co_await serve_pipe(context, std::move(shutdown), on_listening);
    if (!served) log::error(log::target::pipe_server, "Named pipe server failed: {}", served.error().multi_line());
    co_return served;
}

}  // namespace zorv::pipe_server
