#pragma once
// One server instance of the control pipe.

#include <string_view>

#include <asio/any_io_executor.hpp>
#include <asio/windows/stream_handle.hpp>

#include "common/error.hpp"
#include "common/win32.hpp"

namespace zorv::pipe_server {

inline constexpr DWORD kPipeBufferSize = 64 * 1024;

// Creates the instance with the pipe's fixed security descriptor (or the
// system default when the descriptor cannot be built). `first_instance` asks
// for sole ownership of the name.
Result<win32::UniqueHandle> create_pipe_handle(std::string_view path, bool first_instance);

// The same, registered with the executor's I/O completion port; calls on it
// that finish at once skip the port (see async_overlapped_call).
Result<asio::windows::stream_handle> create_pipe_instance(const asio::any_io_executor& executor,
                                                          std::string_view path, bool first_instance);

}  // namespace zorv::pipe_server
