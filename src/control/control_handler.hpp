#pragma once
// What answers the control pipe: a request frame parsed and routed, its
// command decoded once; a manager operation run in its turn on the queue,
// as the caller; every reply encoded into its frame.

#include <memory>
#include <string>
#include <vector>

#include "api/frame_handler.hpp"
#include "control/manager_queue.hpp"
#include "manager/runtime_manager.hpp"

namespace zorv::control {

class ControlHandler final : public api::FrameHandler {
public:
    // Fails when the queue's thread cannot be started. `pipe_name` is what
    // the health check reports.
    static Result<std::shared_ptr<ControlHandler>> create(std::shared_ptr<manager::RuntimeManager> manager,
                                                          std::string pipe_name);

    Result<Answer> handle(std::vector<char> payload) override;

    // Once no request comes any more: the operation under way finishes, those
    // still waiting, and every later one, are refused.
    void close() { queue_->close(); }

private:
    ControlHandler(std::shared_ptr<manager::RuntimeManager> manager, std::string pipe_name,
                   std::shared_ptr<ManagerQueue> queue);

    const std::shared_ptr<manager::RuntimeManager> manager_;
    const std::string pipe_name_;
    // Shared with the answers waiting on it, so that it is never destroyed on
    // its own thread.
    const std::shared_ptr<ManagerQueue> queue_;
};

}  // namespace zorv::control
