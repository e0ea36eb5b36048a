#pragma once
// The control pipe: one listening instance at a time, one request per connection.

#include <functional>

#include "common/error.hpp"
#include "pipe_server/server_context.hpp"
#include "pipe_server/shutdown_signal.hpp"

namespace zorv::pipe_server {

// Called once, as soon as the first instance holds the pipe name; an error it
// returns ends the listener with that error.
using ListeningCallback = std::function<Status()>;

// Serves on threads of its own until the shutdown signal turns true (success)
// or an instance cannot be created (the error, also logged at ERROR); blocks
// the caller meanwhile. Connections whose clients are slow are finished on
// the context's executor, which must keep running after this returns for
// them to end.
Status run_pipe_server(const PipeServerContext& context, ShutdownReceiver shutdown,
                       ListeningCallback on_listening = {});

}  // namespace zorv::pipe_server
