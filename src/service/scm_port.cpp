#include "service/scm_port.hpp"

#include "common/product.hpp"
#include "common/win32.hpp"

namespace zorv::service {

Status Win32ScmService::start() {
    if (!::StartServiceW(handle_.get(), 0, nullptr)) return fail(win32::last_os_error());
    return {};
}

Result<std::uint32_t> Win32ScmService::query_state() {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(handle_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed))
        return fail(win32::last_os_error());
    return status.dwCurrentState;
}

Status Win32ScmService::send_stop() {
    SERVICE_STATUS status{};
    if (!::ControlService(handle_.get(), SERVICE_CONTROL_STOP, &status)) return fail(win32::last_os_error());
    return {};
}

Status Win32ScmService::mark_for_deletion() {
    if (!::DeleteService(handle_.get())) return fail(win32::last_os_error());
    return {};
}

Status Win32ScmService::set_failure_actions(const CrashRecoveryPolicy& policy) {
    std::vector<SC_ACTION> actions = policy.actions;
    SERVICE_FAILURE_ACTIONSW failure_actions{};
    failure_actions.dwResetPeriod = policy.reset_period_seconds;
    failure_actions.lpRebootMsg = nullptr;
    failure_actions.lpCommand = nullptr;
    failure_actions.cActions = static_cast<DWORD>(actions.size());
    failure_actions.lpsaActions = actions.data();
    if (!::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure_actions))
        return fail(win32::last_os_error());
    return {};
}

Status Win32ScmService::set_failure_actions_on_non_crash_failures(bool enabled) {
    SERVICE_FAILURE_ACTIONS_FLAG flag{};
    flag.fFailureActionsOnNonCrashFailures = enabled ? TRUE : FALSE;
    if (!::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag))
        return fail(win32::last_os_error());
    return {};
}

Status Win32ScmService::set_service_sid_type(DWORD sid_type) {
    SERVICE_SID_INFO info{};
    info.dwServiceSidType = sid_type;
    if (!::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_SERVICE_SID_INFO, &info))
        return fail(win32::last_os_error());
    return {};
}

Result<std::unique_ptr<Win32ScmConnection>> Win32ScmConnection::open(DWORD access) {
    win32::UniqueServiceHandle handle(::OpenSCManagerW(nullptr, nullptr, access));
    if (!handle) return fail(win32::last_os_error());
    return std::unique_ptr<Win32ScmConnection>(new Win32ScmConnection(std::move(handle)));
}

Result<std::unique_ptr<ScmService>> Win32ScmConnection::open_service(DWORD access) {
    const std::wstring name(product::kServiceNameW);
    win32::UniqueServiceHandle handle(::OpenServiceW(handle_.get(), name.c_str(), access));
    if (!handle) return fail(win32::last_os_error());
    return std::make_unique<Win32ScmService>(std::move(handle));
}

Result<std::unique_ptr<Win32ScmService>> Win32ScmConnection::create_service(const ServiceRegistration& registration) {
    win32::UniqueServiceHandle handle(::CreateServiceW(handle_.get(), registration.name.c_str(), registration.display_name.c_str(),
                                     registration.desired_access, registration.service_type, registration.start_type,
                                     registration.error_control, registration.image_path.c_str(),
                                     /*lpLoadOrderGroup=*/nullptr, /*lpdwTagId=*/nullptr,
                                     /*lpDependencies=*/nullptr, /*lpServiceStartName=*/nullptr,
                                     /*lpPassword=*/nullptr));
    if (!handle) return fail(win32::last_os_error());
    return std::make_unique<Win32ScmService>(std::move(handle));
}

}  // namespace zorv::service
