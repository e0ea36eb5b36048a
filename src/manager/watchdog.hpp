#pragma once
// The client watchdog: stops the core when the GUI client that started it exits.

#include <asio/any_io_executor.hpp>

#include "manager/runtime_manager.hpp"

namespace zorv::manager {

// Starts one detached watchdog task on `executor`; returns at once.
void launch_client_watchdog(const asio::any_io_executor& executor, WatchdogRequest request);

}  // namespace zorv::manager
