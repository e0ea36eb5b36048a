// Looks at a service registration the way an administrator's tool would and
// prints what it found, one "key=value" line each:
//   service_probe <service-name>
//     open=ok | open=error <win32 code>
//     state=<dwCurrentState>          (when opened)
//     exit=<dwWin32ExitCode> specific=<dwServiceSpecificExitCode>  (when opened)
//     image=<registered image path>   (when opened)
//     start_type=<dwStartType>        (when opened)
//     failure_actions=reset=<s> [<type>/<delay ms>]...  (when opened; or "error <code>")
// Exits 0 when the service could be opened, 2 when it could not, 1 on other
// failures.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/win32.hpp"

namespace {

using zorv::win32::from_wide;

struct ScHandle {
    SC_HANDLE handle = nullptr;
    ~ScHandle() {
        if (handle != nullptr) ::CloseServiceHandle(handle);
    }
};

void print_failure_actions(SC_HANDLE service) {
    DWORD needed = 0;
    ::QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed);
    auto* actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer.data());
    if (needed == 0 ||
        !::QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), needed, &needed)) {
        std::printf("failure_actions=error %lu\n", ::GetLastError());
        return;
    }
    std::printf("failure_actions=reset=%lu", actions->dwResetPeriod);
    for (DWORD i = 0; i < actions->cActions; ++i)
        std::printf(" %d/%lu", static_cast<int>(actions->lpsaActions[i].Type), actions->lpsaActions[i].Delay);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: service_probe <service-name>\n", stderr);
        return 1;
    }
    ScHandle manager{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (manager.handle == nullptr) {
        std::printf("scm=error %lu\n", ::GetLastError());
        return 1;
    }
    const std::wstring name = zorv::win32::to_wide(argv[1]);
    ScHandle service{::OpenServiceW(manager.handle, name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG)};
    if (service.handle == nullptr) {
        std::printf("open=error %lu\n", ::GetLastError());
        return 2;
    }
    std::printf("open=ok\n");

    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (::QueryServiceStatusEx(service.handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                               sizeof status, &needed)) {
        std::printf("state=%lu\n", status.dwCurrentState);
        std::printf("exit=%lu specific=%lu\n", status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
    }

    ::QueryServiceConfigW(service.handle, nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed != 0 && ::QueryServiceConfigW(service.handle, config, needed, &needed)) {
        std::printf("image=%s\n", from_wide(config->lpBinaryPathName ? config->lpBinaryPathName : L"").c_str());
        std::printf("start_type=%lu\n", config->dwStartType);
    }
    print_failure_actions(service.handle);
    std::fflush(stdout);
    return 0;
}
