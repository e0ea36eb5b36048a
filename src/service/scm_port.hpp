#pragma once
// The Service Control Manager calls that installation and removal make, behind
// small interfaces, so that the waiting and error-code rules can be driven by
// scripted states in tests. The Win32 implementations own their SC_HANDLEs.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/win32.hpp"

namespace zorv::service {

// Access rights asked of the SCM and of the service.
inline constexpr DWORD kInstallManagerAccess = SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;
inline constexpr DWORD kUninstallManagerAccess = SC_MANAGER_CONNECT;
inline constexpr DWORD kStopAndDeleteAccess = SERVICE_QUERY_STATUS | SERVICE_STOP | DELETE;
inline constexpr DWORD kDeletionProbeAccess = SERVICE_QUERY_STATUS;
inline constexpr DWORD kNewServiceAccess = SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START;
// What the running service asks of its own registration to set its recovery.
inline constexpr DWORD kOwnRecoveryManagerAccess = SC_MANAGER_CONNECT;
inline constexpr DWORD kOwnRecoveryAccess = SERVICE_CHANGE_CONFIG;
static_assert(kInstallManagerAccess == 3 && kUninstallManagerAccess == 1);
static_assert(kStopAndDeleteAccess == 0x10024 && kDeletionProbeAccess == 4 && kNewServiceAccess == 0x16);

// The crash-recovery settings written right after creation.
struct CrashRecoveryPolicy {
    DWORD reset_period_seconds = 0;
    std::vector<SC_ACTION> actions;
};

// One opened service; the handle is closed when this is dropped. Failures
// carry the Win32 code (Error::os_code) for the caller to examine.
class ScmService {
public:
    virtual ~ScmService() = default;
    // StartServiceW without arguments.
    virtual Status start() = 0;
    // dwCurrentState from QueryServiceStatusEx.
    virtual Result<std::uint32_t> query_state() = 0;
    // ControlService with SERVICE_CONTROL_STOP.
    virtual Status send_stop() = 0;
    // DeleteService: marks the service for deletion.
    virtual Status mark_for_deletion() = 0;
    // ChangeServiceConfig2W with SERVICE_CONFIG_FAILURE_ACTIONS.
    virtual Status set_failure_actions(const CrashRecoveryPolicy& policy) = 0;
    // ... with SERVICE_CONFIG_FAILURE_ACTIONS_FLAG: whether a stop with a
    // non-zero exit code triggers the actions as a crash does.
    virtual Status set_failure_actions_on_non_crash_failures(bool enabled) = 0;
    // ... with SERVICE_CONFIG_SERVICE_SID_INFO.
    virtual Status set_service_sid_type(DWORD sid_type) = 0;
};

// An open connection to the SCM.
class ScmConnection {
public:
    virtual ~ScmConnection() = default;
    // OpenServiceW on product::kServiceName.
    virtual Result<std::unique_ptr<ScmService>> open_service(DWORD access) = 0;
};

class Win32ScmService final : public ScmService {
public:
    explicit Win32ScmService(win32::UniqueServiceHandle handle) : handle_(std::move(handle)) {}
    Status start() override;
    Result<std::uint32_t> query_state() override;
    Status send_stop() override;
    Status mark_for_deletion() override;
    Status set_failure_actions(const CrashRecoveryPolicy& policy) override;
    Status set_failure_actions_on_non_crash_failures(bool enabled) override;
    Status set_service_sid_type(DWORD sid_type) override;

private:
    win32::UniqueServiceHandle handle_;
};

// What CreateServiceW registers.
struct ServiceRegistration {
    std::wstring name;
    std::wstring display_name;
    std::wstring image_path;
    DWORD desired_access = 0;
    DWORD service_type = 0;
    DWORD start_type = 0;
    DWORD error_control = 0;
};

class Win32ScmConnection final : public ScmConnection {
public:
    // OpenSCManagerW on the local machine's default database.
    static Result<std::unique_ptr<Win32ScmConnection>> open(DWORD access);
    Result<std::unique_ptr<ScmService>> open_service(DWORD access) override;
    Result<std::unique_ptr<Win32ScmService>> create_service(const ServiceRegistration& registration);

private:
    explicit Win32ScmConnection(win32::UniqueServiceHandle handle) : handle_(std::move(handle)) {}
    win32::UniqueServiceHandle handle_;
};

}  // namespace zorv::service
