#pragma once
// The Service Control Manager's view of the helper's service, as any
// authenticated user may read it.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/error.hpp"

namespace zorv::ctl {

struct ServiceSnapshot {
    std::uint32_t state = 0;  // SERVICE_STOPPED .. SERVICE_PAUSED
    std::uint32_t pid = 0;    // 0 when no process runs
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_exit_code = 0;  // meaningful when win32_exit_code is ERROR_SERVICE_SPECIFIC_ERROR
    std::string image_command;            // the registered command line, as registered
};

// Nullopt when the service is not installed.
Result<std::optional<ServiceSnapshot>> query_service();

// The executable named by a registered command line (quoted or bare).
Result<std::filesystem::path> registered_image_path(const std::string& image_command);

}  // namespace zorv::ctl
