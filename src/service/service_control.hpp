#pragma once
// What the service tells the Service Control Manager and how it answers its
// controls. Plain decisions only; service_runtime.cpp applies them.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "logger/log.hpp"

namespace zorv::service {

// A control code (with its event type, for the controls that carry one) that
// the handler recognises, rendered by name: "Pause", "SessionChange(SessionLogon)",
// "UserDefined(130)". Nullopt for a code or event type it cannot decode.
std::optional<std::string> describe_service_control(std::uint32_t control, std::uint32_t event_type);

enum class ControlAction {
    None,
    PublishShutdown,  // publish true on the shutdown signal
};

struct ControlLogRecord {
    log::Level level;
    std::string message;
    friend bool operator==(const ControlLogRecord&, const ControlLogRecord&) = default;
};

struct ControlResponse {
    std::optional<ControlLogRecord> log;
    ControlAction action = ControlAction::None;
    std::uint32_t return_code = ERROR_CALL_NOT_IMPLEMENTED;
};

// The handler's answer to one control. Never waits.
ControlResponse handle_control_event(std::uint32_t control, std::uint32_t event_type = 0);

// The status reports, and the stopped report that follows a failed start.
// Both pending reports start at checkpoint 1 with a 10 s hint; the status
// reporter advances the checkpoint while the work goes on.
SERVICE_STATUS start_pending_status();
SERVICE_STATUS stop_pending_status();
SERVICE_STATUS running_status();
SERVICE_STATUS stopped_status();
// Stopped with a non-zero exit code, so that the SCM records the failure and
// the dispatcher returns instead of leaving the service in start-pending: the
// failing Win32 code when the error carries one, otherwise a service-specific
// code.
SERVICE_STATUS stopped_after_failure_status(const Error& error);

inline constexpr DWORD kServiceSpecificStartFailure = 1;

}  // namespace zorv::service
