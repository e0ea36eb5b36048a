#include "control/router.hpp"

#include <array>

#include <fmt/format.h>

#include "common/clock.hpp"
#include "common/text.hpp"
#include "control/replies.hpp"
#include "logger/log.hpp"

namespace zorv::control {

namespace {

using nlohmann::json;

constexpr std::string_view kDefaultStopTrigger = "api-stop";

api::PipeResponse health(std::string_view pipe_name) {
    log::debug(log::target::pipe_server, "Responding to /healthz");
    return reply(200, json{{"ok", true},
                           {"serviceName", pipe_name},
                           {"clientVerificationEnabled", true},
                           {"operationId", clock::new_operation_id()}});
}

api::PipeResponse runtime_status(manager::RuntimeManager& manager) {
    const manager::RuntimeStatus status = manager.status();
    log::debug(log::target::pipe_server, "Responding to /v1/runtime/status: running={}, pid={}", status.running,
               text::option_form(status.pid));
    return status_reply(status);
}

// The wire's start record in the manager's terms.
manager::StartCommand start_command(api::StartRuntimeRequest request) {
    return manager::StartCommand{std::move(request.profile_id),     std::move(request.binary_path),
                                 std::move(request.config_path),    std::move(request.config_content),
                                 std::move(request.source_path),    request.client_pid,
                                 std::move(request.client_runtime_id), std::move(request.operation_id)};
}

api::PipeResponse start_runtime(manager::RuntimeManager& manager, const manager::StartCommand& command,
                                security::ClientIdentity& client) {
    log::info(log::target::pipe_server, "Processing /v1/runtime/start (op_id={}, profile_id={}, client_pid={})",
              text::option_form(command.operation_id), text::option_form(command.profile_id), command.client_pid);
    auto started = manager.start(command, client);
    if (!started) return failed_reply(error_name::kStartFailed, "Runtime start failed", started.error());
    log::info(log::target::pipe_server, "Runtime successfully started (pid={}, profile_id={})",
              text::option_form(started->pid), text::option_form(started->profile_id));
    return status_reply(*started);
}

// A body that does not decode is answered at once, without the manager.
std::variant<api::PipeResponse, ManagerCall> start_route(const api::PipeRequest& pipe_request) {
    const std::optional<json>& body = pipe_request.body;
    if (!body || body->is_null()) {
        log::warn(log::target::pipe_server, "Missing body in /v1/runtime/start request");
        return error_reply(400, error_name::kValidation, "Missing request body");
    }
    auto request = api::decode_start_request(*body, pipe_request.body_duplicate_keys);
    if (!request) {
        const std::string problem = request.error().one_line();
        log::warn(log::target::pipe_server, "Invalid /v1/runtime/start payload: {}", text::log_safe(problem));
        return error_reply(400, error_name::kValidation, problem);
    }
    return ManagerCall([command = start_command(std::move(*request))](manager::RuntimeManager& manager,
                                                                      security::ClientIdentity& client) {
        return start_runtime(manager, command, client);
    });
}

// The wire's stop record in the manager's terms; a body that does not decode
// is dropped, and the stop goes ahead without identifiers.
manager::StopCommand stop_command(const api::PipeRequest& pipe_request) {
    api::StopRuntimeRequest request;
    if (pipe_request.body && !pipe_request.body->is_null()) {
        if (auto decoded = api::decode_stop_request(*pipe_request.body, pipe_request.body_duplicate_keys))
            request = std::move(*decoded);
    }
    return manager::StopCommand{request.trigger ? std::move(*request.trigger) : std::string(kDefaultStopTrigger),
                                std::move(request.operation_id), std::move(request.client_runtime_id)};
}

api::PipeResponse stop_runtime(manager::RuntimeManager& manager, manager::StopCommand command) {
    log::info(log::target::pipe_server, "Processing /v1/runtime/stop (trigger='{}', op_id={}, client_runtime_id={})",
              text::log_safe(command.trigger), text::option_form(command.operation_id),
              text::option_form(command.client_runtime_id));
    const auto status = manager.stop(std::move(command));
    if (!status) return failed_reply(error_name::kStopFailed, "Runtime stop failed", status.error());
    log::info(log::target::pipe_server, "Runtime stopped successfully (state='{}')", status->state);
    return status_reply(*status);
}

// Only a text `operationId` of an object body counts; anything else is ignored.
std::optional<std::string> reset_operation_id(const std::optional<json>& body) {
    if (!body || !body->is_object()) return std::nullopt;
    const auto found = body->find("operationId");
    if (found == body->end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

api::PipeResponse reset_runtime(manager::RuntimeManager& manager, std::optional<std::string> operation_id) {
    log::info(log::target::pipe_server, "Processing /v1/runtime/reset (op_id={})", text::option_form(operation_id));
    const auto status = manager.reset(std::move(operation_id));
    if (!status) return failed_reply(error_name::kResetFailed, "Runtime reset failed", status.error());
    return status_reply(*status);
}

api::PipeResponse register_client() {
    log::info(log::target::pipe_server, "Processing /v1/runtime/register_client");
    return reply(200, json{{"ok", true}, {"operationId", clock::new_operation_id()}});
}

api::PipeResponse not_found(const std::string& method, const std::string& path) {
    log::warn(log::target::pipe_server, "Route not found: {} {}", text::log_safe(method), text::log_safe(path));
    return error_reply(404, error_name::kNotFound, fmt::format("Route not found: {} {}", method, path));
}

// One route: its answer, or the manager operation that gives it.
using Routed = std::variant<api::PipeResponse, ManagerCall>;
struct Route {
    RouteName name;
    Routed (*route)(api::PipeRequest request, std::string_view pipe_name);
};

constexpr std::array<Route, 6> kRoutes = {{
    {{"GET", "/healthz"}, [](api::PipeRequest, std::string_view pipe_name) -> Routed { return health(pipe_name); }},
    {{"GET", "/v1/runtime/status"},
     [](api::PipeRequest, std::string_view) -> Routed {
         return ManagerCall([](manager::RuntimeManager& manager, security::ClientIdentity&) {
             return runtime_status(manager);
         });
     }},
    {{"POST", "/v1/runtime/start"},
     [](api::PipeRequest request, std::string_view) -> Routed { return start_route(request); }},
    {{"POST", "/v1/runtime/stop"},
     [](api::PipeRequest request, std::string_view) -> Routed {
         return ManagerCall([command = stop_command(request)](manager::RuntimeManager& manager,
                                                              security::ClientIdentity&) mutable {
             return stop_runtime(manager, std::move(command));
         });
     }},
    {{"POST", "/v1/runtime/reset"},
     [](api::PipeRequest request, std::string_view) -> Routed {
         return ManagerCall([operation_id = reset_operation_id(request.body)](manager::RuntimeManager& manager,
                                                                              security::ClientIdentity&) mutable {
             return reset_runtime(manager, std::move(operation_id));
         });
     }},
    {{"POST", "/v1/runtime/register_client"},
     [](api::PipeRequest, std::string_view) -> Routed { return register_client(); }},
}};

}  // namespace

std::vector<RouteName> route_names() {
    std::vector<RouteName> names;
    for (const Route& route : kRoutes) names.push_back(route.name);
    return names;
}

std::variant<api::PipeResponse, ManagerCall> route_request(api::PipeRequest request, std::string_view pipe_name) {
    const std::string& method = request.method;
    const std::string& path = request.path;
    if (log::enabled(log::Level::Debug))
        log::debug(log::target::pipe_server, "Dispatching pipe request: {} {}", text::log_safe(method),
                   text::log_safe(path));
    for (const Route& route : kRoutes)
        if (route.name.method == method && route.name.path == path) return route.route(std::move(request), pipe_name);
    return not_found(method, path);
}

}  // namespace zorv::control
