#pragma once
// What the manager is asked to do, in its own terms: the router decodes a
// request into one of these, and nothing of the wire reaches the manager.

#include <cstdint>
#include <optional>
#include <string>

namespace zorv::manager {

struct StartCommand {
    std::optional<std::string> profile_id;
    std::optional<std::string> binary_path;
    std::optional<std::string> config_path;
    std::optional<std::string> config_content;
    std::optional<std::string> source_path;
    std::uint32_t client_pid = 0;  // 0: no client to watch
    std::optional<std::string> client_runtime_id;
    std::optional<std::string> operation_id;
};

struct StopCommand {
    std::string trigger;  // who asked, for the log
    std::optional<std::string> operation_id;
    // A stop naming another client's runtime leaves the session running.
    std::optional<std::string> client_runtime_id;
};

}  // namespace zorv::manager
