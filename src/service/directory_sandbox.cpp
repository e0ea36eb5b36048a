#include "service/directory_sandbox.hpp"

#include <system_error>

#include "common/child_tool.hpp"
#include "common/product.hpp"
#include "common/win32.hpp"

namespace zorv::service {

namespace {

constexpr std::string_view kAccessTool = "icacls";

// A missing directory (its metadata unreadable) is created with its parents;
// a failure to create it is left to icacls to run into.
void ensure_directory(const std::filesystem::path& directory) {
    std::error_code ec;
    if (std::filesystem::exists(directory, ec) && !ec) return;
    std::filesystem::create_directories(directory, ec);
}

}  // namespace

std::vector<std::string> directory_lockdown_arguments(std::string_view directory) {
    return {std::string(directory), "/inheritance:r", "/grant:r", "*S-1-5-18:(OI)(CI)F", "*S-1-5-32-544:(OI)(CI)F"};
}

std::vector<std::string> logs_read_access_arguments(std::string_view logs_directory) {
    return {std::string(logs_directory), "/grant", "*S-1-5-11:(OI)(CI)RX", "*S-1-5-32-545:(OI)(CI)RX"};
}

void apply_directory_sandbox(const std::filesystem::path& directory) {
    apply_directory_sandbox(directory, [](std::string_view program, const std::vector<std::string>& arguments) {
        (void)run_child_tool(program, arguments);
    });
}

void apply_directory_sandbox(const std::filesystem::path& directory, const ToolRun& run_tool) {
    if (directory.empty()) return;  // no service directory is known: nothing to lock down
    ensure_directory(directory);
    run_tool(kAccessTool, directory_lockdown_arguments(win32::path_text(directory)));

    const std::filesystem::path logs = directory / product::kLogFolder;
    ensure_directory(logs);
    run_tool(kAccessTool, logs_read_access_arguments(win32::path_text(logs)));
}

}  // namespace zorv::service
