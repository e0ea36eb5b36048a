#pragma once
// The client watchdog: stops the core when the GUI client that started it exits.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include <asio/any_io_executor.hpp>

#include "manager/runtime_manager.hpp"

namespace zorv::manager {

// One watch per client process id: a start that names a client already
// watched hands its operation and runtime id to that watch instead of
// starting another, so the number of watches is bounded by the live clients.
class ClientWatchdogs : public std::enable_shared_from_this<ClientWatchdogs> {
public:
    static std::shared_ptr<ClientWatchdogs> create(asio::any_io_executor executor);

    // Called by the start, before its reply: opens the client now, so that a
    // client that exits right after the reply is still seen, and a process id
    // reused later is never mistaken for it. A client that cannot be opened
    // is not watched.
    void watch(WatchdogRequest request);

private:
    struct Watch;
    explicit ClientWatchdogs(asio::any_io_executor executor) : executor_(std::move(executor)) {}
    bool hand_to_existing(const WatchdogRequest& request);
    void run(std::uint32_t client_pid, std::shared_ptr<Watch> watch, win32::UniqueHandle client);

    asio::any_io_executor executor_;
    std::mutex mutex_;
    std::map<std::uint32_t, std::shared_ptr<Watch>> watches_;
};

}  // namespace zorv::manager
