#pragma once
// The control pipe: one listening instance at a time, one request per connection.

#include <functional>
#include <memory>
#include <string>

#include <asio/awaitable.hpp>

#include "common/error.hpp"
#include "manager/runtime_manager.hpp"
#include "pipe_server/shutdown_signal.hpp"

namespace zorv::pipe_server {

struct PipeServerContext {
    std::string pipe_name;  // bare name, without \\.\pipe\ in front
    std::shared_ptr<manager::RuntimeManager> manager;
};

// Called once, as soon as the first instance holds the pipe name; an error it
// returns ends the listener with that error.
using ListeningCallback = std::function<Status()>;

// Serves until the shutdown signal turns true (success) or an instance cannot
// be created (the error, also logged at ERROR). Runs on the caller's executor.
asio::awaitable<Status> run_pipe_server(const PipeServerContext& context, ShutdownReceiver shutdown,
                                        ListeningCallback on_listening = {});

}  // namespace zorv::pipe_server
