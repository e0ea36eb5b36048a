#include "manager/watchdog.hpp"

namespace zorv::manager {

// Placeholder until the client watchdog lands.
void launch_client_watchdog(const asio::any_io_executor&, WatchdogRequest) {}

}  // namespace zorv::manager
