#pragma once
// Where the control pipe lives in the object namespace.

#include <string>
#include <string_view>

namespace zorv::api {

// "\\.\pipe\" followed by the bare name.
std::string pipe_path(std::string_view pipe_name);

}  // namespace zorv::api
