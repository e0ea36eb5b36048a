#include "manager/watchdog.hpp"

#include <windows.h>

#include <asio/co_spawn.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/object_handle.hpp>

#include "logger/log.hpp"
#include "manager/client_exit.hpp"

namespace zorv::manager {

namespace {

asio::awaitable<void> watch_client(WatchdogRequest request) {
    win32::UniqueHandle client(::OpenProcess(SYNCHRONIZE, FALSE, request.client_pid));
    // A client that is already gone, or that we may not open, is not watched.
    if (!client) co_return;
    log::info(log::target::manager, "Watchdog active: monitoring GUI client PID={}", request.client_pid);

    asio::error_code waited;
    {
        // The wait is registered with the system's thread pool; no worker is
        // held while the client runs. The handle is closed when this scope ends.
        asio::windows::object_handle exit_event(co_await asio::this_coro::executor);
        exit_event.assign(client.get());
        client.release();
        co_await exit_event.async_wait(asio::redirect_error(asio::use_awaitable, waited));
    }
    // Cancelled because the runtime is going down: the client may still run.
    if (waited) co_return;

    log::info(log::target::manager, "Watchdog: GUI client PID={} has terminated", request.client_pid);
    stop_core_after_client_exit(request);
}

}  // namespace

void launch_client_watchdog(const asio::any_io_executor& executor, WatchdogRequest request) {
    // Detached: nobody awaits it, and a failure inside ends only this watchdog.
    asio::co_spawn(executor, watch_client(std::move(request)), [](std::exception_ptr) {});
}

}  // namespace zorv::manager
