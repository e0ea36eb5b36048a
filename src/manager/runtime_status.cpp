#include "manager/runtime_status.hpp"

namespace zorv::manager {

RuntimeStatus bare_stopped(std::string service_instance_id) {
    RuntimeStatus status;
    status.service_instance_id = std::move(service_instance_id);
    return status;
}

nlohmann::json to_json(const RuntimeStatus& status) {
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

}  // namespace zorv::manager
