#include "service/scm_steps.hpp"

#include <array>
#include <string_view>

#include "common/clock.hpp"
#include "common/argument_quoting.hpp"
#include "common/product.hpp"
#include "logger/log.hpp"

namespace zorv::service {

namespace {


std::uint32_t os_code_of(const Error& error) { return error.os_code().value_or(0); }

// Polls the service until it reports stopped, sending a stop control at every
// check unless it already reports stop-pending.
Status stop_and_wait(ScmService& service, clock::Clock& clock) {
    const auto started = clock.now();
    for (;;) {
        auto state = service.query_state();
        if (!state) return fail(state.error().context("Query service status before stopping"));
        const std::uint32_t last_state = *state;
        if (last_state == SERVICE_STOPPED) return {};
        if (last_state != SERVICE_STOP_PENDING) {
            if (auto sent = service.send_stop(); !sent) {
                const std::uint32_t code = os_code_of(sent.error());
                if (code == ERROR_SERVICE_NOT_ACTIVE) return {};
                if (code != ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
                    return fail(sent.error().context("Failed to stop service"));
            }
        }
        if (clock.now() - started >= kServiceWaitTimeout)
            return fail("Timed out waiting for service to stop from " + service_state_name(last_state));
        clock.sleep(kServicePollInterval);
    }
}

Status wait_until_running(ScmService& service, clock::Clock& clock) {
    const auto started = clock.now();
    for (;;) {
        auto state = service.query_state();
        if (!state) return fail(state.error().context("Check service running"));
        if (*state == SERVICE_RUNNING) {
            log::info(log::target::service, "Service '{}' successfully installed and entered Running state", product::kServiceName);
            return {};
        }
        if (clock.now() - started >= kServiceWaitTimeout)
            return fail("Timed out waiting for service to enter Running state");
        clock.sleep(kServicePollInterval);
    }
}

bool counts_as_deleted(const Status& deleted) {
    if (deleted) return true;
    const std::uint32_t code = os_code_of(deleted.error());
    return code == ERROR_SERVICE_DOES_NOT_EXIST || code == ERROR_SERVICE_MARKED_FOR_DELETE;
}

}  // namespace

std::string service_state_name(std::uint32_t state) {
    static constexpr std::array<std::string_view, 7> kNames{
        "Stopped", "StartPending", "StopPending", "Running", "ContinuePending", "PausePending", "Paused"};
    if (state >= 1 && state <= kNames.size()) return std::string(kNames[state - 1]);
    return "Unknown(" + std::to_string(state) + ")";
}

Status remove_existing_service(ScmConnection& scm, clock::Clock& clock) {
    auto opened = scm.open_service(kStopAndDeleteAccess);
    if (!opened) {
        const std::uint32_t code = os_code_of(opened.error());
        if (code == ERROR_SERVICE_DOES_NOT_EXIST) return {};
        if (code == ERROR_SERVICE_MARKED_FOR_DELETE) return wait_for_service_deletion(scm, clock);
        return fail(opened.error().context("Failed to open existing service"));
    }
    {
        // The handle must be closed before the deletion can complete.
        const std::unique_ptr<ScmService> service = std::move(*opened);
        if (auto stopped = stop_and_wait(*service, clock); !stopped) return stopped;
        if (auto deleted = service->mark_for_deletion(); !counts_as_deleted(deleted))
            return fail(deleted.error().context("Failed to delete service"));
    }
    return wait_for_service_deletion(scm, clock);
}

Status wait_for_service_deletion(ScmConnection& scm, clock::Clock& clock) {
    const auto started = clock.now();
    for (;;) {
        auto probe = scm.open_service(kDeletionProbeAccess);
        if (probe) {
            probe->reset();  // still registered; keep no handle that would hold it
        } else {
            const std::uint32_t code = os_code_of(probe.error());
            if (code == ERROR_SERVICE_DOES_NOT_EXIST) return {};
            if (code != ERROR_SERVICE_MARKED_FOR_DELETE) return fail(probe.error().context("Check service deletion"));
        }
        if (clock.now() - started >= kServiceWaitTimeout) return fail("Timed out waiting for service deletion");
        clock.sleep(kServicePollInterval);
    }
}

Status start_and_wait_until_running(ScmService& service, clock::Clock& clock) {
    log::info(log::target::service, "Starting Windows service '{}'", product::kServiceName);
    if (auto started = service.start(); !started && os_code_of(started.error()) != ERROR_SERVICE_ALREADY_RUNNING) {
        log::error(log::target::service, "Failed to start service: {}", started.error().multi_line());
        return fail(started.error().context("Failed to start Windows service"));
    }

    log::info(log::target::service, "Waiting for service '{}' to enter Running state...", product::kServiceName);
    auto running = wait_until_running(service, clock);
    if (!running) log::error(log::target::service, "Service '{}' failed to enter Running state within timeout", product::kServiceName);
    return running;
}

std::wstring service_image_path(std::wstring_view executable) { return quote_windows_argument(executable); }

CrashRecoveryPolicy crash_recovery_policy() {
    constexpr DWORD kOneDaySeconds = 86'400;
    constexpr DWORD kRestartDelayMs = 5'000;
    const SC_ACTION restart{SC_ACTION_RESTART, kRestartDelayMs};
    return CrashRecoveryPolicy{kOneDaySeconds, {restart, restart, restart}};
}

Status configure_recovery(ScmService& service) {
    Status outcome;
    const auto keep_first = [&outcome](Status step, std::string_view what) {
        if (!step && outcome) outcome = fail(step.error().context(std::string(what)));
    };
    keep_first(service.set_failure_actions(crash_recovery_policy()), "Set failure actions");
    keep_first(service.set_failure_actions_on_non_crash_failures(true), "Apply failure actions to non-crash failures");
    keep_first(service.set_service_sid_type(SERVICE_SID_TYPE_UNRESTRICTED), "Set the service SID type");
    return outcome;
}

Status configure_own_recovery(ScmConnection& scm) {
    auto service = scm.open_service(kOwnRecoveryAccess);
    if (!service) return fail(service.error().context("Open the service's own registration"));
    return configure_recovery(**service);
}

ServiceRegistration service_registration(const std::filesystem::path& executable) {
    return ServiceRegistration{
        .name = std::wstring(product::kServiceNameW),
        .display_name = std::wstring(product::kServiceDisplayNameW),
        .image_path = service_image_path(executable.native()),
        .desired_access = kNewServiceAccess,
        .service_type = SERVICE_WIN32_OWN_PROCESS,
        .start_type = SERVICE_AUTO_START,
        .error_control = SERVICE_ERROR_NORMAL,
    };
}

}  // namespace zorv::service
