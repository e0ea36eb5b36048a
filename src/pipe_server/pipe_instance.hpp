#pragma once
// One server instance of the control pipe.

#include <string_view>

#include <asio/any_io_executor.hpp>
#include <asio/windows/stream_handle.hpp>

#include "common/error.hpp"
#include "common/unique_resource.hpp"

namespace zorv::pipe_server {

inline constexpr DWORD kPipeBufferSize = 64 * 1024;

// Creates an overlapped instance with the pipe's fixed security descriptor
// (or the system default when the descriptor cannot be built), bound to no
// completion port. `first_instance` asks for sole ownership of the name.
Result<win32::UniqueHandle> create_pipe_handle(std::string_view path, bool first_instance);

// Hands an instance with no call pending to the executor's completion port;
// calls on it that finish at once then skip the port (see overlapped_call).
Result<asio::windows::stream_handle> bind_to_runtime(const asio::any_io_executor& executor,
                                                     win32::UniqueHandle pipe);

}  // namespace zorv::pipe_server
