#include "control/control_handler.hpp"

#include <exception>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "common/text.hpp"
#include "control/replies.hpp"
#include "control/router.hpp"
#include "logger/log.hpp"
#include "security/client_impersonation.hpp"

namespace zorv::control {

namespace {

api::PipeResponse busy_reply(std::string_view why) {
    return error_reply(500, error_name::kBusy, fmt::format("Helper busy: {}", why));
}

// Runs on the manager's queue, as the caller at the other end of the pipe;
// never throws.
api::PipeResponse run_manager_call(ManagerCall& call, manager::RuntimeManager& manager, HANDLE caller) {
    try {
        security::NamedPipeClientIdentity client(caller);
        return call(manager, client);
    } catch (const std::exception& e) {
        log::error(log::target::pipe_server, "Manager operation failed: {}", text::log_safe(e.what()));
        return error_reply(500, error_name::kInternal, e.what());
    }
}

// The manager operation as an answer that waits its turn on the queue.
api::FrameHandler::Deferred in_turn(ManagerCall call, std::shared_ptr<manager::RuntimeManager> manager,
                                    std::shared_ptr<ManagerQueue> queue) {
    return [call = std::move(call), manager = std::move(manager), queue = std::move(queue)](
               HANDLE caller, api::FrameHandler::ReplySink reply) mutable {
        queue->submit([call = std::move(call), manager, caller,
                       reply = std::move(reply)](std::optional<std::string_view> refusal) mutable {
            reply(reply_frame(refusal ? busy_reply(*refusal) : run_manager_call(call, *manager, caller)));
        });
    };
}

}  // namespace

ControlHandler::ControlHandler(std::shared_ptr<manager::RuntimeManager> manager, std::string pipe_name,
                               std::shared_ptr<ManagerQueue> queue)
    : manager_(std::move(manager)), pipe_name_(std::move(pipe_name)), queue_(std::move(queue)) {}

Result<std::shared_ptr<ControlHandler>> ControlHandler::create(std::shared_ptr<manager::RuntimeManager> manager,
                                                               std::string pipe_name) {
    try {
        auto queue = std::make_shared<ManagerQueue>();
        return std::shared_ptr<ControlHandler>(new ControlHandler(std::move(manager), std::move(pipe_name), queue));
    } catch (const std::system_error& e) {
        return fail(Error(e.what()).context("Failed to start the manager's queue"));
    }
}

Result<api::FrameHandler::Answer> ControlHandler::handle(std::vector<char> payload) {
    auto request = api::parse_pipe_request(std::string_view(payload.data(), payload.size()));
    if (!request) return fail(request.error().context("Invalid JSON request"));
    std::vector<char>().swap(payload);  // the request holds what is needed of it

    request->method = api::normalize_method(request->method);
    request->path = api::normalize_path(request->path);
    auto routed = route_request(std::move(*request), pipe_name_);
    if (auto* call = std::get_if<ManagerCall>(&routed)) return Answer(in_turn(std::move(*call), manager_, queue_));
    auto reply = reply_frame(std::get<api::PipeResponse>(routed));
    if (!reply) return fail(reply.error());
    return Answer(std::move(*reply));
}

}  // namespace zorv::control
