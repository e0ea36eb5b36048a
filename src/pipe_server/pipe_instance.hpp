#pragma once
// One server instance of the control pipe.

#include <string>
#include <string_view>

#include <asio/any_io_executor.hpp>
#include <asio/windows/stream_handle.hpp>

#include "common/error.hpp"
#include "common/unique_resource.hpp"

namespace zorv::pipe_server {

inline constexpr DWORD kPipeBufferSize = 64 * 1024;

// The pipe's security descriptor in SDDL, owned by `owner_sid` (the account
// the helper runs as: SYSTEM for the service; a console run can name no
// other owner without the restore privilege).
std::wstring pipe_security_sddl(std::wstring_view owner_sid);

// Creates an overlapped instance with the pipe's security descriptor, bound
// to no completion port; fails when the descriptor cannot be built.
// `first_instance` asks for sole ownership of the name.
Result<win32::UniqueHandle> create_pipe_handle(std::string_view path, bool first_instance);

// Hands an instance with no call pending to the executor's completion port;
// calls on it that finish at once then skip the port (see overlapped_call).
Result<asio::windows::stream_handle> bind_to_runtime(const asio::any_io_executor& executor,
                                                     win32::UniqueHandle pipe);

}  // namespace zorv::pipe_server
