#pragma once
// The executable the SCM holds for the service: read back by `install`, to say
// when it re-points the service, and by the operator CLI, to find the logs and
// the version of an installed helper that does not answer.

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zorv::service {

// The command line registered for an opened service (QueryServiceConfigW).
Result<std::wstring> registered_command_line(SC_HANDLE service);

// The command line registered for product::kServiceName; nullopt when the
// service is not installed.
Result<std::optional<std::wstring>> query_registered_command_line();

// The executable a registered command line names, which must be a full path.
// Quoted, the first quoted word. Bare, the text up to the first ".exe" that
// ends a word: `install` quotes a path with spaces, but an installer may
// register C:\Program Files\...\zorv-helper.exe unquoted, which the SCM still
// runs.
Result<std::filesystem::path> image_path_of_command_line(std::wstring_view command_line);

}  // namespace zorv::service
