#pragma once
// Where the control pipe lives in the object namespace.

#include <windows.h>

#include <string>
#include <string_view>

namespace zorv::api {

// What a client opens the pipe with: reading, and writing of data only.
// Not GENERIC_WRITE: on a pipe it includes FILE_CREATE_PIPE_INSTANCE, which
// the helper's pipe grants to SYSTEM and administrators alone, so the open
// of an ordinary user asking for it is denied.
inline constexpr DWORD kClientPipeAccess = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;

// "\\.\pipe\" followed by the bare name.
std::string pipe_path(std::string_view pipe_name);

}  // namespace zorv::api
