#pragma once
// What every command ends in: an exit status and, for any status but 0, the
// one line that says why. Each command takes the parsed invocation and, when
// it talks to the helper, the pipe name the invocation resolved to.

#include <string>

#include "command_line.hpp"

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

}  // namespace zorv::ctl
