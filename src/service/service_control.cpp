#include "service/service_control.hpp"

#include <array>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace zorv::service {

namespace {

using NamedCode = std::pair<std::uint32_t, std::string_view>;

constexpr std::array kPlainControls{
    NamedCode{SERVICE_CONTROL_STOP, "Stop"},
    NamedCode{SERVICE_CONTROL_PAUSE, "Pause"},
    NamedCode{SERVICE_CONTROL_CONTINUE, "Continue"},
    NamedCode{SERVICE_CONTROL_INTERROGATE, "Interrogate"},
    NamedCode{SERVICE_CONTROL_SHUTDOWN, "Shutdown"},
    NamedCode{SERVICE_CONTROL_PARAMCHANGE, "ParamChange"},
    NamedCode{SERVICE_CONTROL_NETBINDADD, "NetBindAdd"},
    NamedCode{SERVICE_CONTROL_NETBINDREMOVE, "NetBindRemove"},
    NamedCode{SERVICE_CONTROL_NETBINDENABLE, "NetBindEnable"},
    NamedCode{SERVICE_CONTROL_NETBINDDISABLE, "NetBindDisable"},
    NamedCode{SERVICE_CONTROL_PRESHUTDOWN, "Preshutdown"},
    NamedCode{SERVICE_CONTROL_TIMECHANGE, "TimeChange"},
    NamedCode{SERVICE_CONTROL_USER_LOGOFF, "UserLogoff"},
    NamedCode{SERVICE_CONTROL_TRIGGEREVENT, "TriggerEvent"},
    NamedCode{SERVICE_CONTROL_LOWRESOURCES, "LowResources"},
    NamedCode{SERVICE_CONTROL_SYSTEMLOWRESOURCES, "SystemLowResources"},
};

// Controls whose meaning lies in the event type that comes with them.
constexpr std::array kDeviceEvents{
    NamedCode{0x8000, "DeviceArrival"},       NamedCode{0x8001, "DeviceQueryRemove"},
    NamedCode{0x8002, "DeviceQueryRemoveFailed"}, NamedCode{0x8003, "DeviceRemovePending"},
    NamedCode{0x8004, "DeviceRemoveComplete"}, NamedCode{0x8006, "CustomEvent"},
};
constexpr std::array kHardwareProfileEvents{
    NamedCode{0x0017, "QueryChangeConfig"},
    NamedCode{0x0018, "ConfigChanged"},
    NamedCode{0x0019, "ConfigChangeCanceled"},
};
constexpr std::array kPowerEvents{
    NamedCode{0x0000, "QuerySuspend"},      NamedCode{0x0002, "QuerySuspendFailed"},
    NamedCode{0x0004, "Suspend"},           NamedCode{0x0006, "ResumeCritical"},
    NamedCode{0x0007, "ResumeSuspend"},     NamedCode{0x0009, "BatteryLow"},
    NamedCode{0x000A, "PowerStatusChange"}, NamedCode{0x000B, "OemEvent"},
    NamedCode{0x0012, "ResumeAutomatic"},   NamedCode{0x8013, "PowerSettingChange"},
};
constexpr std::array kSessionEvents{
    NamedCode{0x1, "ConsoleConnect"},   NamedCode{0x2, "ConsoleDisconnect"}, NamedCode{0x3, "RemoteConnect"},
    NamedCode{0x4, "RemoteDisconnect"}, NamedCode{0x5, "SessionLogon"},      NamedCode{0x6, "SessionLogoff"},
    NamedCode{0x7, "SessionLock"},      NamedCode{0x8, "SessionUnlock"},     NamedCode{0x9, "SessionRemoteControl"},
    NamedCode{0xA, "SessionCreate"},    NamedCode{0xB, "SessionTerminate"},
};

template <std::size_t N>
std::optional<std::string_view> name_of(const std::array<NamedCode, N>& table, std::uint32_t code) {
    for (const auto& [value, name] : table)
        if (value == code) return name;
    return std::nullopt;
}

template <std::size_t N>
std::optional<std::string> event_control(std::string_view control, const std::array<NamedCode, N>& events,
                                         std::uint32_t event_type) {
    const auto event = name_of(events, event_type);
    if (!event) return std::nullopt;
    return fmt::format("{}({})", control, *event);
}

// The range the platform leaves to each service for its own controls.
constexpr std::uint32_t kFirstUserControl = 128;
constexpr std::uint32_t kLastUserControl = 255;

constexpr DWORD kPendingWaitHintMs = 10'000;

SERVICE_STATUS own_process_status(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    return status;
}

}  // namespace

std::optional<std::string> describe_service_control(std::uint32_t control, std::uint32_t event_type) {
    if (const auto name = name_of(kPlainControls, control)) return std::string(*name);
    switch (control) {
        case SERVICE_CONTROL_DEVICEEVENT:
            return event_control("DeviceEvent", kDeviceEvents, event_type);
        case SERVICE_CONTROL_HARDWAREPROFILECHANGE:
            return event_control("HardwareProfileChange", kHardwareProfileEvents, event_type);
        case SERVICE_CONTROL_POWEREVENT:
            return event_control("PowerEvent", kPowerEvents, event_type);
        case SERVICE_CONTROL_SESSIONCHANGE:
            return event_control("SessionChange", kSessionEvents, event_type);
        default:
            break;
    }
    if (control >= kFirstUserControl && control <= kLastUserControl) return fmt::format("UserDefined({})", control);
    return std::nullopt;
}

ControlResponse handle_control_event(std::uint32_t control, std::uint32_t event_type) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            return {ControlLogRecord{log::Level::Info, "SCM control event: Stop requested"},
                    ControlAction::PublishShutdown, NO_ERROR};
        case SERVICE_CONTROL_SHUTDOWN:
            return {ControlLogRecord{log::Level::Info, "SCM control event: System Shutdown requested"},
                    ControlAction::PublishShutdown, NO_ERROR};
        case SERVICE_CONTROL_INTERROGATE:
            // The SCM keeps the status last reported; nothing to add.
            return {ControlLogRecord{log::Level::Debug, "SCM control event: Interrogate"}, ControlAction::None,
                    NO_ERROR};
        default:
            break;
    }
    if (const auto name = describe_service_control(control, event_type))
        return {ControlLogRecord{log::Level::Debug, "SCM control event unhandled: " + *name}, ControlAction::None,
                ERROR_CALL_NOT_IMPLEMENTED};
    return {std::nullopt, ControlAction::None, ERROR_CALL_NOT_IMPLEMENTED};
}

SERVICE_STATUS start_pending_status() {
    SERVICE_STATUS status = own_process_status(SERVICE_START_PENDING);
    status.dwCheckPoint = 1;
    status.dwWaitHint = kPendingWaitHintMs;
    return status;
}

SERVICE_STATUS stop_pending_status() {
    SERVICE_STATUS status = own_process_status(SERVICE_STOP_PENDING);
    status.dwCheckPoint = 1;
    status.dwWaitHint = kPendingWaitHintMs;
    return status;
}

SERVICE_STATUS running_status() {
    SERVICE_STATUS status = own_process_status(SERVICE_RUNNING);
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    return status;
}

SERVICE_STATUS stopped_status() { return own_process_status(SERVICE_STOPPED); }

SERVICE_STATUS stopped_after_failure_status(const Error& error) {
    SERVICE_STATUS status = stopped_status();
    const auto code = error.os_code();
    if (code && *code != NO_ERROR) {
        status.dwWin32ExitCode = *code;
    } else {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = kServiceSpecificStartFailure;
    }
    return status;
}

}  // namespace zorv::service
