#include "service/install.hpp"

#include <string_view>

#include "common/clock.hpp"
#include "common/product.hpp"
#include "common/text.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"
#include "manager/wintun.hpp"
#include "security/strict_mode.hpp"
#include "service/event_source.hpp"
#include "service/install_location.hpp"
#include "service/scm_port.hpp"
#include "service/scm_steps.hpp"

namespace zorv::service {

namespace {

constexpr std::string_view kCoreTunInterface = "singbox_tun";

std::string debug_path(const std::filesystem::path& path) { return text::quoted(win32::path_text(path)); }

}  // namespace

Status install_service() {
    log::info(log::target::service, "Beginning installation of Windows service '{}'", product::kServiceName);
    manager::remove_wintun_device(kCoreTunInterface);

    auto scm = Win32ScmConnection::open(kInstallManagerAccess);
    if (!scm) return fail(scm.error().context("Failed to open Windows service manager"));

    // Before the earlier registration is touched, so that a refusal leaves it as it was.
    if (auto here = win32::current_exe_path(); here)
        if (auto location = check_install_location(*here); !location) return location;

    clock::Clock& poll_clock = clock::system_clock();
    // Deleting the registration deletes its Parameters key and the policy in it.
    const auto strict_mode = security::save_strict_mode_value();
    log::info(log::target::service, "Removing existing service registration if any...");
    if (auto removed = remove_existing_service(**scm, poll_clock); !removed) return removed;

    auto executable = win32::current_exe_path();
    if (!executable) return fail(executable.error().context("Failed to resolve current exe path"));
    log::info(log::target::service, "Registering service binary from path: {}", debug_path(*executable));

    auto service = (*scm)->create_service(service_registration(*executable));
    if (!service) return fail(service.error().context("Failed to create Windows service"));

    if (strict_mode) {
        log::info(log::target::service, "Keeping the StrictMode policy of the earlier registration");
        if (auto kept = security::restore_strict_mode_value(*strict_mode); !kept)
            return fail(kept.error().context("Failed to keep the StrictMode policy"));
    }

    log::info(log::target::service, "Registering Event Log source '{}'", product::kServiceName);
    if (auto source = register_event_source(*executable); !source)
        return fail(source.error().context("Failed to register the Event Log source"));

    log::info(log::target::service, "Configuring crash recovery failure actions (restart after 5s)");
    if (auto recovery = configure_recovery(**service); !recovery)
        log::warn(log::target::service, "Crash recovery is not fully configured: {}", recovery.error().one_line());

    // The directory was locked down when this process started (see main).
    return start_and_wait_until_running(**service, poll_clock);
}

Status uninstall_service() {
    log::info(log::target::service, "Beginning uninstallation of Windows service '{}'", product::kServiceName);
    manager::remove_wintun_device(kCoreTunInterface);

    auto scm = Win32ScmConnection::open(kUninstallManagerAccess);
    if (!scm) return fail(scm.error().context("Failed to open Windows service manager"));

    // Nothing installed is not a success: the operator meant some other machine or service.
    if (auto probe = (*scm)->open_service(kDeletionProbeAccess);
        !probe && probe.error().os_code() == ERROR_SERVICE_DOES_NOT_EXIST) {
        log::warn(log::target::service, "Service '{}' is not installed; there is nothing to uninstall", product::kServiceName);
        return fail(fmt::format("The service {} is not installed; there is nothing to uninstall", product::kServiceName));
    }

    clock::Clock& poll_clock = clock::system_clock();
    auto removed = remove_existing_service(**scm, poll_clock);
    if (removed) removed = remove_event_source();
    if (removed)
        log::info(log::target::service, "Service '{}' successfully uninstalled", product::kServiceName);
    else
        log::error(log::target::service, "Failed to uninstall service '{}': Err({})", product::kServiceName, removed.error().multi_line());
    return removed;
}

}  // namespace zorv::service
