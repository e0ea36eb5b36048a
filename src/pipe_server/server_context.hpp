#pragma once
// What every part of the control pipe's server shares.

#include <memory>
#include <string>

#include <asio/any_io_executor.hpp>

#include "manager/runtime_manager.hpp"
#include "pipe_server/manager_queue.hpp"

namespace zorv::pipe_server {

struct PipeServerContext {
    std::string pipe_name;  // bare name, without \\.\pipe\ in front
    std::shared_ptr<manager::RuntimeManager> manager;
    // Where a connection whose client is slow is finished.
    asio::any_io_executor executor;
    // Where manager operations wait their turn; the listener makes its own,
    // and without one they run on the thread that routed them.
    std::shared_ptr<ManagerQueue> manager_queue = nullptr;
};

}  // namespace zorv::pipe_server
