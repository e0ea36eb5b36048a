#pragma once
// The one status record of the control API, as the manager keeps it; its
// wire form is the control layer's.

#include <cstdint>
#include <optional>
#include <string>

namespace zorv::manager {

struct RuntimeStatus {
    bool running = false;
    std::string state = "stopped";
    std::optional<std::string> detail;
    std::optional<std::uint32_t> pid;
    std::optional<std::uint32_t> singbox_pid;
    std::optional<std::string> profile_id;
    std::optional<std::string> binary_path;
    std::optional<std::string> config_path;
    std::optional<std::int64_t> started_at;
    std::optional<std::int64_t> stopped_at;
    std::optional<std::string> client_runtime_id;
    std::optional<std::string> last_operation_id;
    std::string service_instance_id;

    friend bool operator==(const RuntimeStatus&, const RuntimeStatus&) = default;
};

// A stopped record: running false, state "stopped", the instance id; nothing else.
RuntimeStatus bare_stopped(std::string service_instance_id);

}  // namespace zorv::manager
