#include "service_query.hpp"

#include <windows.h>

#include "common/product.hpp"
#include "common/win32.hpp"
#include "service/registered_image.hpp"

namespace zorv::ctl {

Result<std::optional<ServiceSnapshot>> query_service() {
    win32::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return fail(win32::last_os_error().context("Failed to reach the Service Control Manager"));
    const std::wstring name(product::kServiceNameW);
    win32::UniqueServiceHandle handle(
        ::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!handle) {
        if (::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return std::optional<ServiceSnapshot>();
        return fail(win32::last_os_error().context("Failed to open the service " + std::string(product::kServiceName)));
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(handle.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                &needed))
        return fail(win32::last_os_error().context("Failed to query the service's status"));
    auto image = service::registered_command_line(handle.get());
    if (!image) return fail(image.error());
    return ServiceSnapshot{status.dwCurrentState, status.dwProcessId, status.dwWin32ExitCode,
                           status.dwServiceSpecificExitCode, win32::from_wide(*image)};
}

Result<std::filesystem::path> registered_image_path(const std::string& image_command) {
    return service::image_path_of_command_line(win32::to_wide(image_command));
}

}  // namespace zorv::ctl
