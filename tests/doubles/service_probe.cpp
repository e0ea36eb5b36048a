// Looks at a service registration the way an administrator's tool would and
// prints what it found, one "key=value" line each:
//   service_probe <service-name>
//     open=ok | open=error <win32 code>
//     state=<dwCurrentState>          (when opened)
//     exit=<dwWin32ExitCode> specific=<dwServiceSpecificExitCode>  (when opened)
//     image=<registered image path>   (when opened)
//     start_type=<dwStartType>        (when opened)
//     failure_actions=reset=<s> [<type>/<delay ms>]...  (when opened; or "error <code>")
//   service_probe --stop <service-name>
//     stopped=exited | stop=error <step> <win32 code>
//     Sends the stop control and waits (30 s at most) for the service's
//     process itself to end, not only for the stopped report.
// Exits 0 when the service could be opened (and, with --stop, its process
// ended), 2 when it could not be opened, 1 on other failures.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/unique_resource.hpp"
#include "common/win32.hpp"

namespace {

using zorv::win32::from_wide;
using zorv::win32::UniqueHandle;
using zorv::win32::UniqueServiceHandle;

constexpr DWORD kProcessExitWaitMs = 30'000;

int report_stop_failure(const char* step) {
    std::printf("stop=error %s %lu\n", step, ::GetLastError());
    return 1;
}

// The process is opened before the control is sent, so its exit is seen even
// if it ends at once.
int stop_and_wait_for_exit(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                &needed))
        return report_stop_failure("query");
    if (status.dwCurrentState == SERVICE_STOPPED) {
        std::printf("stopped=exited\n");
        return 0;
    }
    UniqueHandle process{::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId)};
    if (!process) return report_stop_failure("open-process");
    SERVICE_STATUS control{};
    if (!::ControlService(service, SERVICE_CONTROL_STOP, &control)) return report_stop_failure("control");
    if (::WaitForSingleObject(process.get(), kProcessExitWaitMs) != WAIT_OBJECT_0) return report_stop_failure("wait");
    std::printf("stopped=exited\n");
    return 0;
}

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
    const bool stop = argc == 3 && std::string(argv[1]) == "--stop";
    if (argc != 2 && !stop) {
        std::fputs("usage: service_probe [--stop] <service-name>\n", stderr);
        return 1;
    }
    UniqueServiceHandle manager{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (!manager) {
        std::printf("scm=error %lu\n", ::GetLastError());
        return 1;
    }
    const std::wstring name = zorv::win32::to_wide(argv[argc - 1]);
    const DWORD access = SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | (stop ? SERVICE_STOP : 0);
    UniqueServiceHandle service{::OpenServiceW(manager.get(), name.c_str(), access)};
    if (!service) {
        std::printf("open=error %lu\n", ::GetLastError());
        return 2;
    }
    std::printf("open=ok\n");
    if (stop) {
        const int outcome = stop_and_wait_for_exit(service.get());
        std::fflush(stdout);
        return outcome;
    }

    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                               sizeof status, &needed)) {
        std::printf("state=%lu\n", status.dwCurrentState);
        std::printf("exit=%lu specific=%lu\n", status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
    }

    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed != 0 && ::QueryServiceConfigW(service.get(), config, needed, &needed)) {
        std::printf("image=%s\n", from_wide(config->lpBinaryPathName ? config->lpBinaryPathName : L"").c_str());
        std::printf("start_type=%lu\n", config->dwStartType);
    }
    print_failure_actions(service.get());
    std::fflush(stdout);
    return 0;
}
