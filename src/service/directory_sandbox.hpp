#pragma once
// Locks the service directory down to LocalSystem and Administrators, and lets
// ordinary users read its logs.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zorv::service {

// Arguments of the icacls run on the service directory: no inherited entries,
// full control for LocalSystem and Administrators, inherited below.
std::vector<std::string> directory_lockdown_arguments(std::string_view directory);
// Arguments of the icacls run on its logs folder: read and execute for
// Authenticated Users and Users in addition.
std::vector<std::string> logs_read_access_arguments(std::string_view logs_directory);

// Runs one system tool by bare name and waits for it; the outcome is of no interest.
using ToolRun = std::function<void(std::string_view program, const std::vector<std::string>& arguments)>;

// Creates `directory` and its logs folder when missing and runs icacls on
// both. Never fails and logs nothing: every failure is ignored.
void apply_directory_sandbox(const std::filesystem::path& directory);
void apply_directory_sandbox(const std::filesystem::path& directory, const ToolRun& run_tool);

}  // namespace zorv::service
