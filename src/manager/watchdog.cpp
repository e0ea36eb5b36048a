#include "manager/watchdog.hpp"

#include <windows.h>

#include <asio/co_spawn.hpp>
#include <asio/error.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/object_handle.hpp>

#include "common/text.hpp"
#include "logger/log.hpp"

namespace zorv::manager {

struct ClientWatchdogs::Watch {
    WatchdogRequest request;  // the newest start's; guarded by the registry's mutex
    HANDLE client = nullptr;  // owned by the waiting task; valid while registered
};

namespace {

asio::awaitable<asio::error_code> wait_for_exit(asio::windows::object_handle& client) {
    asio::error_code waited;
    co_await client.async_wait(asio::redirect_error(asio::use_awaitable, waited));
    co_return waited;
}

bool still_running(HANDLE process) { return ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

}  // namespace

std::shared_ptr<ClientWatchdogs> ClientWatchdogs::create(asio::any_io_executor executor) {
    return std::shared_ptr<ClientWatchdogs>(new ClientWatchdogs(std::move(executor)));
}

bool ClientWatchdogs::hand_to_existing(const WatchdogRequest& request) {
    std::lock_guard lock(mutex_);
    const auto found = watches_.find(request.client_pid);
    // A watch whose client has just ended is about to act for the old
    // process; a live process of that id is a new one and gets its own watch.
    if (found == watches_.end() || !still_running(found->second->client)) return false;
    found->second->request = request;
    log::info(log::target::manager, "Watchdog for GUI client PID={} already active; now for operation {}",
              request.client_pid, text::log_safe(request.operation_id));
    return true;
}

void ClientWatchdogs::watch(WatchdogRequest request) {
    if (hand_to_existing(request)) return;
    win32::UniqueHandle client(::OpenProcess(SYNCHRONIZE, FALSE, request.client_pid));
    // A client that is already gone, or that we may not open, is not watched.
    if (!client) return;

    const std::uint32_t client_pid = request.client_pid;
    auto watch = std::make_shared<Watch>(Watch{std::move(request), client.get()});
    {
        std::lock_guard lock(mutex_);
        watches_[client_pid] = watch;  // replaces one whose client has ended; that one finds itself gone
    }
    log::info(log::target::manager, "Watchdog active: monitoring GUI client PID={}", client_pid);
    run(client_pid, std::move(watch), std::move(client));
}

void ClientWatchdogs::run(std::uint32_t client_pid, std::shared_ptr<Watch> watch, win32::UniqueHandle client) {
    auto task = [](std::shared_ptr<ClientWatchdogs> self, std::uint32_t client_pid, std::shared_ptr<Watch> watch,
                   win32::UniqueHandle client) -> asio::awaitable<void> {
        // The wait is registered with the system's thread pool; no worker is
        // held while the client runs. The handle closes when this task ends,
        // after the watch has left the registry.
        asio::windows::object_handle exit_event(self->executor_);
        exit_event.assign(client.release());
        const asio::error_code waited = co_await wait_for_exit(exit_event);

        WatchdogRequest request;
        {
            std::lock_guard lock(self->mutex_);
            const auto found = self->watches_.find(client_pid);
            const bool registered = found != self->watches_.end() && found->second == watch;
            request = watch->request;
            if (registered) self->watches_.erase(found);
        }
        // Cancelled because the runtime is going down: the client may still run.
        if (waited == asio::error::operation_aborted) co_return;
        if (waited) {
            log::warn(log::target::manager, "Watchdog: waiting for GUI client PID={} failed: {}; no longer watching",
                      client_pid, waited.message());
            co_return;
        }
        log::info(log::target::manager, "Watchdog: GUI client PID={} has terminated", client_pid);
        if (const auto manager = request.manager.lock()) manager->on_client_exit(request);
    };
    // Detached: nobody awaits it, and a failure inside ends only this watch.
    asio::co_spawn(executor_, task(shared_from_this(), client_pid, std::move(watch), std::move(client)),
                   [](std::exception_ptr) {});
}

}  // namespace zorv::manager
