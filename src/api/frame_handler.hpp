#pragma once
// The seam between the pipe's transport and what answers it: the transport
// reads a whole request frame, hands its payload over and writes back the
// reply frame it gets, knowing nothing of what a request means.

#include <windows.h>

#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "common/error.hpp"

namespace zorv::api {

class FrameHandler {
public:
    // Takes the reply frame, once, on whichever thread produced it.
    using ReplySink = std::move_only_function<void(Result<std::string> reply_frame)>;
    // An answer that waits its turn, started once the transport can wait for
    // it. `caller` is the connected pipe, open until the sink is called: the
    // answer may act with the caller's rights.
    using Deferred = std::move_only_function<void(HANDLE caller, ReplySink reply)>;
    // The reply frame at once, or the answer that gives it later.
    using Answer = std::variant<std::string, Deferred>;

    virtual ~FrameHandler() = default;
    // Never waits. Fails only when no reply is due: the connection then closes.
    virtual Result<Answer> handle(std::vector<char> payload) = 0;
};

}  // namespace zorv::api
