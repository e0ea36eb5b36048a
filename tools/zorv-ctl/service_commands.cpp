// The commands that ask the Service Control Manager, not the pipe.

#include <windows.h>

#include <fmt/format.h>

#include "common/product.hpp"
#include "common/win32.hpp"
#include "console_output.hpp"
#include "log_tail.hpp"
#include "security/strict_mode.hpp"
#include "service/scm_steps.hpp"
#include "service_commands.hpp"
#include "service_query.hpp"

namespace zorv::ctl {

namespace {

using nlohmann::json;

std::string exit_code_text(const ServiceSnapshot& service) {
    if (service.win32_exit_code == ERROR_SERVICE_SPECIFIC_ERROR)
        return fmt::format("{} (service-specific code {})", service.win32_exit_code, service.service_exit_code);
    if (service.win32_exit_code == 0) return "0";
    return fmt::format("{} ({})", service.win32_exit_code, win32::error_text(service.win32_exit_code));
}

// The policy as the registry holds it now; the service applies it from its
// next start.
std::string strict_mode_text(const security::StrictModeDecision& mode) {
    return fmt::format("{} ({})", mode.strict ? "on" : "off", mode.source);
}

// One "name: value" row each, in the order shown. Further facts about the
// service belong here as rows of their own, and in `service_facts` below.
std::vector<std::pair<std::string, std::string>> service_rows(const ServiceSnapshot& service,
                                                              const security::StrictModeDecision& mode) {
    return {
        {"service", std::string(product::kServiceName)},
        {"state", service::service_state_name(service.state)},
        {"pid", service.pid == 0 ? std::string("none") : std::to_string(service.pid)},
        {"last exit code", exit_code_text(service)},
        {"image", printable_line(service.image_command)},
        {"strict mode", strict_mode_text(mode)},
    };
}

json service_facts(const ServiceSnapshot& service, const security::StrictModeDecision& mode) {
    return {{"service", product::kServiceName},
            {"installed", true},
            {"state", service::service_state_name(service.state)},
            {"pid", service.pid},
            {"win32ExitCode", service.win32_exit_code},
            {"serviceExitCode", service.service_exit_code},
            {"image", service.image_command},
            {"strictMode", mode.strict}};
}

std::string not_installed() { return fmt::format("The service {} is not installed", product::kServiceName); }

}  // namespace

Outcome run_service(const Invocation& invocation) {
    auto service = query_service();
    if (!service) return {kExitNoReply, service.error().one_line()};
    if (!*service) {
        if (invocation.json_only)
            print(json{{"service", product::kServiceName}, {"installed", false}}.dump() + "\n");
        return {kExitOtherReply, not_installed()};
    }
    const ServiceSnapshot& snapshot = **service;
    const security::StrictModeDecision mode = security::read_strict_mode();
    if (invocation.json_only) {
        print(service_facts(snapshot, mode).dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
    } else {
        for (const auto& [name, value] : service_rows(snapshot, mode)) print(fmt::format("{}: {}\n", name, value));
    }
    if (snapshot.state == SERVICE_RUNNING) return {};
    return {kExitOtherReply, fmt::format("The service {} is {}, last exit code {}", product::kServiceName,
                                         service::service_state_name(snapshot.state), exit_code_text(snapshot))};
}

Outcome run_logs(const Invocation& invocation) {
    auto service = query_service();
    if (!service) return {kExitNoReply, service.error().one_line()};
    if (!*service) return {kExitOtherReply, not_installed() + ", so there is no folder to find its logs in"};
    auto image = registered_image_path((*service)->image_command);
    if (!image) return {kExitOtherReply, image.error().one_line()};
    const std::filesystem::path file =
        image->parent_path() / product::kLogFolder /
        (invocation.core_log ? std::wstring(product::kCoreLogFile)
                             : win32::to_wide(product::kHelperLogBaseName) + L".log");
    auto lines = read_log_tail(file, invocation.lines);
    if (!lines) return {kExitOtherReply, lines.error().one_line()};
    if (invocation.json_only) {
        print(json{{"file", win32::path_text(file)}, {"lines", *lines}}.dump(-1, ' ', false,
                                                                              json::error_handler_t::replace) +
              "\n");
        return {};
    }
    for (const auto& line : *lines) print(line + "\n");
    return {};
}

}  // namespace zorv::ctl
