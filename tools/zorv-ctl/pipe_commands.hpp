#pragma once
// The commands that talk to the helper over its pipe. Nothing is sent before
// the server is known to be the helper (server_identity.hpp).

#include <string>

#include "commands.hpp"
#include "common/error.hpp"
#include "pipe_client/pipe_client.hpp"

namespace zorv::ctl {

Outcome run_request(const Invocation& invocation, const std::string& pipe);
Outcome run_wait(const Invocation& invocation, const std::string& pipe);
Outcome run_version(const Invocation& invocation, const std::string& pipe);

// A pipe that never appeared (pipe_client::connect's ERROR_FILE_NOT_FOUND):
// the operator also hears how long it was looked for. Other errors as they are.
Error with_waited_time(const Error& error, const pipe_client::Deadline& deadline);

// `--version`.
std::string version_line();

}  // namespace zorv::ctl
