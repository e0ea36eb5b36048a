#pragma once
// One accepted control pipe connection: verify the caller, read one request
// frame, dispatch it, write one reply frame, close.

#include <windows.h>

#include "common/unique_resource.hpp"
#include "pipe_server/server_context.hpp"

namespace zorv::pipe_server {

// Serves the connection on the calling thread as long as its client keeps
// pace: a read that finds nothing waits a moment at most, and a reply larger
// than the pipe's buffer is not waited for here. What is left then is
// finished on the context's runtime, with the frame deadline. `io_event` is
// a manual-reset event of the caller's, free for the call's duration. Logs
// its own failure; never throws.
void serve_connection(win32::UniqueHandle pipe, HANDLE io_event, const PipeServerContext& context);

}  // namespace zorv::pipe_server
