#include "pipe_server/pipe_listener.hpp"

namespace zorv::pipe_server {

std::string pipe_path(std::string_view pipe_name) { return std::string("\\\\.\\pipe\\") + std::string(pipe_name); }

}  // namespace zorv::pipe_server
