#include "control/replies.hpp"

#include <exception>

#include "api/framing.hpp"
#include "common/text.hpp"
#include "logger/log.hpp"

namespace zorv::control {

nlohmann::json status_json(const manager::RuntimeStatus& status) {
    // nlohmann::json objects are ordered maps, so keys come out sorted by byte.
    nlohmann::json json = nlohmann::json::object();
    const auto put = [&json](const char* key, const auto& value) {
        if (value) json[key] = *value;
    };
    json["running"] = status.running;
    json["state"] = status.state;
    put("detail", status.detail);
    put("pid", status.pid);
    put("singboxPid", status.singbox_pid);
    put("profileId", status.profile_id);
    put("binaryPath", status.binary_path);
    put("configPath", status.config_path);
    put("startedAt", status.started_at);
    put("stoppedAt", status.stopped_at);
    put("clientRuntimeId", status.client_runtime_id);
    put("lastOperationId", status.last_operation_id);
    json["serviceInstanceId"] = status.service_instance_id;
    return json;
}

api::PipeResponse reply(std::uint16_t status, nlohmann::json body) { return api::PipeResponse{status, std::move(body)}; }

api::PipeResponse status_reply(const manager::RuntimeStatus& status) {
    try {
        return reply(200, status_json(status));
    } catch (const std::exception&) {
        return reply(200, nullptr);
    }
}

api::PipeResponse error_reply(std::uint16_t status, std::string_view code, std::string message) {
    return reply(status, nlohmann::json{{"error", code}, {"message", std::move(message)}});
}

api::PipeResponse failed_reply(std::string_view code, std::string_view what, const Error& error) {
    const std::string message = error.one_line();
    log::error(log::target::pipe_server, "{}: {}", what, text::log_safe(message));
    return error_reply(500, code, message);
}

Result<std::string> reply_frame(const api::PipeResponse& response) {
    try {
        return api::encode_frame(api::serialize_response(response));
    } catch (const std::exception& e) {
        return fail(Error(e.what()).context("Failed to serialise reply"));
    }
}

}  // namespace zorv::control
