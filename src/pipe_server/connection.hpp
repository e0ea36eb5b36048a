#pragma once
// One accepted control pipe connection: verify the caller, read one request
// frame, dispatch it, write one reply frame, close.

#include <memory>
#include <string>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/windows/stream_handle.hpp>

#include "manager/runtime_manager.hpp"

namespace zorv::pipe_server {

// Serves the connection and logs its own failure; never throws.
asio::awaitable<void> handle_connection(asio::windows::stream_handle pipe, std::string pipe_name,
                                        std::shared_ptr<manager::RuntimeManager> manager);

// Starts handle_connection as a detached task on `executor`; it runs on the
// calling thread until it first waits.
void spawn_connection(const asio::any_io_executor& executor, asio::windows::stream_handle pipe,
                      std::string pipe_name, std::shared_ptr<manager::RuntimeManager> manager);

// The same, queued on `executor`, for a caller that must go on at once.
void post_connection(const asio::any_io_executor& executor, asio::windows::stream_handle pipe,
                     std::string pipe_name, std::shared_ptr<manager::RuntimeManager> manager);

}  // namespace zorv::pipe_server
