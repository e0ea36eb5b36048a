#include "service_query.hpp"

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "common/product.hpp"
#include "common/win32.hpp"
#include "service/scm_port.hpp"

namespace zorv::ctl {

namespace {

Result<std::string> query_image_command(SC_HANDLE service) {
    DWORD needed = 0;
    ::QueryServiceConfigW(service, nullptr, 0, &needed);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
        return fail(win32::last_os_error().context("Failed to read the service's configuration"));
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service, config, needed, &needed))
        return fail(win32::last_os_error().context("Failed to read the service's configuration"));
    return win32::from_wide(config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"");
}

}  // namespace

Result<std::optional<ServiceSnapshot>> query_service() {
    win32::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return fail(win32::last_os_error().context("Failed to reach the Service Control Manager"));
    const std::wstring name(product::SERVICE_NAME_W);
    win32::UniqueServiceHandle handle(
        ::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!handle) {
        if (::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return std::optional<ServiceSnapshot>();
        return fail(win32::last_os_error().context("Failed to open the service " + std::string(product::SERVICE_NAME)));
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(handle.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                &needed))
        return fail(win32::last_os_error().context("Failed to query the service's status"));
    auto image = query_image_command(handle.get());
    if (!image) return fail(image.error());
    return ServiceSnapshot{status.dwCurrentState, status.dwProcessId, status.dwWin32ExitCode,
                           status.dwServiceSpecificExitCode, std::move(*image)};
}

Result<std::filesystem::path> registered_image_path(const std::string& image_command) {
    // CommandLineToArgvW would answer an empty line with this program's own path.
    if (image_command.find_first_not_of(" \t") == std::string::npos)
        return fail("The service has no registered image path");
    const auto words = win32::command_line_words(win32::to_wide(image_command).c_str());
    if (!words) return fail(words.error().context("Failed to read the registered image path"));
    const std::filesystem::path image = words->empty() ? std::filesystem::path() : std::filesystem::path(words->front());
    if (image.empty() || !image.is_absolute() || !image.has_parent_path())
        return fail("The service's registered image path is not a full path: " + image_command);
    return image;
}

}  // namespace zorv::ctl
