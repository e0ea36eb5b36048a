#pragma once
// The commands, each ending in an exit status and, for any status but 0, the
// one line that says why.

#include <string>

#include "command_line.hpp"
#include "common/error.hpp"
#include "pipe_client/pipe_client.hpp"

namespace zorv::ctl {

enum ExitStatus : int {
    kExitOk = 0,
    kExitOtherReply = 1,  // a reply other than 200; the service not running; no log yet
    kExitUsage = 2,
    kExitNoReply = 3,  // nothing usable came back, or the server is not the helper
};

struct Outcome {
    int status = kExitOk;
    std::string complaint;
};

// `pipe` is the name the invocation resolved to.
Outcome run_request(const Invocation& invocation, const std::string& pipe);
Outcome run_wait(const Invocation& invocation, const std::string& pipe);
Outcome run_version(const Invocation& invocation, const std::string& pipe);
Outcome run_service(const Invocation& invocation);
Outcome run_logs(const Invocation& invocation);
Outcome run_diag(const Invocation& invocation, const std::string& pipe);

// A pipe that never appeared (pipe_client::connect's ERROR_FILE_NOT_FOUND):
// the operator also hears how long it was looked for. Other errors as they are.
Error with_waited_time(const Error& error, const pipe_client::Deadline& deadline);

// `--version`.
std::string version_line();

}  // namespace zorv::ctl
