#include "api/pipe_path.hpp"

namespace zorv::api {

std::string pipe_path(std::string_view pipe_name) { return std::string("\\\\.\\pipe\\") + std::string(pipe_name); }

}  // namespace zorv::api
