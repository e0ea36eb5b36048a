#include "service_config.hpp"

#include <windows.h>

#include <fmt/format.h>

#include "common/product.hpp"
#include "common/unique_resource.hpp"
#include "common/win32.hpp"

namespace zorv::ctl {

namespace {

std::string start_type_name(DWORD type) {
    switch (type) {
        case SERVICE_BOOT_START: return "boot";
        case SERVICE_SYSTEM_START: return "system";
        case SERVICE_AUTO_START: return "auto";
        case SERVICE_DEMAND_START: return "demand";
        case SERVICE_DISABLED: return "disabled";
    }
    return fmt::format("unknown ({})", type);
}

std::string action_name(SC_ACTION_TYPE type) {
    switch (type) {
        case SC_ACTION_NONE: return "none";
        case SC_ACTION_RESTART: return "restart";
        case SC_ACTION_REBOOT: return "reboot";
        case SC_ACTION_RUN_COMMAND: return "run command";
        default: return fmt::format("unknown ({})", static_cast<int>(type));
    }
}

// QueryServiceConfig2W's two-call pattern.
Result<std::vector<unsigned char>> query_config2(SC_HANDLE service, DWORD level) {
    DWORD needed = 0;
    ::QueryServiceConfig2W(service, level, nullptr, 0, &needed);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return fail(win32::last_os_error());
    std::vector<unsigned char> buffer(needed);
    if (!::QueryServiceConfig2W(service, level, buffer.data(), needed, &needed)) return fail(win32::last_os_error());
    return buffer;
}

Result<DWORD> query_start_type(SC_HANDLE service) {
    DWORD needed = 0;
    ::QueryServiceConfigW(service, nullptr, 0, &needed);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return fail(win32::last_os_error());
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service, config, needed, &needed)) return fail(win32::last_os_error());
    return config->dwStartType;
}

std::vector<std::string> failure_action_lines(const SERVICE_FAILURE_ACTIONSW& actions) {
    std::vector<std::string> lines{fmt::format("reset period: {} s", actions.dwResetPeriod)};
    if (actions.cActions == 0 || actions.lpsaActions == nullptr) lines.push_back("no actions");
    for (DWORD i = 0; i < actions.cActions && actions.lpsaActions != nullptr; ++i)
        lines.push_back(fmt::format("failure {}: {} after {} ms", i + 1, action_name(actions.lpsaActions[i].Type),
                                    actions.lpsaActions[i].Delay));
    return lines;
}

}  // namespace

Result<ServiceConfigFacts> query_service_config_facts() {
    win32::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return fail(win32::last_os_error().context("Failed to reach the Service Control Manager"));
    const std::wstring name(product::kServiceNameW);
    win32::UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    if (!service) return fail(win32::last_os_error().context("Failed to open the service"));

    ServiceConfigFacts facts;
    auto start_type = query_start_type(service.get());
    facts.start_type = start_type ? start_type_name(*start_type) : "unreadable: " + start_type.error().one_line();
    auto actions = query_config2(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS);
    if (actions)
        facts.failure_actions = failure_action_lines(*reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(actions->data()));
    else
        facts.failure_actions = {"unreadable: " + actions.error().one_line()};
    return facts;
}

}  // namespace zorv::ctl
