// `zorv diag`: one text report for support, from what any user may read.
// Every section is gathered on its own; one that cannot be read says why and
// the others go on, so the report works with the service stopped or absent.

#include <windows.h>

#include <chrono>
#include <fstream>
#include <optional>

#include <fmt/format.h>

#include "api/pipe_path.hpp"
#include "common/child_tool.hpp"
#include "common/product.hpp"
#include "common/text.hpp"
#include "common/version.hpp"
#include "common/win32.hpp"
#include "console_output.hpp"
#include "diag.hpp"
#include "diag_report.hpp"
#include "file_facts.hpp"
#include "file_version.hpp"
#include "log_tail.hpp"
#include "pipe_commands.hpp"
#include "security/strict_mode.hpp"
#include "server_identity.hpp"
#include "service/scm_steps.hpp"
#include "service_config.hpp"
#include "service_query.hpp"

namespace zorv::ctl {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kDiagLogLines = 200;
// A stopped service leaves no pipe: the report does not wait long for one.
constexpr std::chrono::seconds kPipeWait{3};
constexpr std::size_t kNetshOutputLimit = 64 * 1024;

std::string unreadable(const Error& error) { return "could not be read: " + error.one_line(); }

std::string utc_now_text() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02} UTC", now.wYear, now.wMonth, now.wDay, now.wHour,
                       now.wMinute, now.wSecond);
}

std::string version_of(const std::optional<fs::path>& image) {
    if (!image) return "unknown (no helper image found)";
    const std::string text = win32::path_text(*image);
    return fmt::format("{} ({})", file_product_version(text).value_or("no version resource"), text);
}

std::string exit_code_text(const ServiceSnapshot& service) {
    if (service.win32_exit_code == ERROR_SERVICE_SPECIFIC_ERROR)
        return fmt::format("{} (service-specific code {})", service.win32_exit_code, service.service_exit_code);
    return std::to_string(service.win32_exit_code);
}

// Facts gathered once and used by more than one section.
struct Gathered {
    Result<std::optional<ServiceSnapshot>> service = std::optional<ServiceSnapshot>();
    std::optional<fs::path> registered_image;
    Result<ServerIdentity> server = fail("not asked");
    // The helper the report is about: the registered one, else the one serving the pipe.
    std::optional<fs::path> helper_image;
};

DiagSection versions_section(const Gathered& facts) {
    std::optional<fs::path> cli;
    if (auto own = win32::current_exe_path()) cli = *own;
    return {"Versions", {"zorv: " + version_of(cli), "zorv-helper: " + version_of(facts.helper_image)}};
}

DiagSection service_section(const Gathered& facts) {
    DiagSection section{"Service " + std::string(product::kServiceName), {}};
    if (!facts.service) return {section.title, {unreadable(facts.service.error())}};
    if (!*facts.service) return {section.title, {"not installed"}};
    const ServiceSnapshot& service = **facts.service;
    section.lines = {
        "state: " + service::service_state_name(service.state),
        "pid: " + (service.pid == 0 ? std::string("none") : std::to_string(service.pid)),
        "last exit code: " + exit_code_text(service),
        "image path: " + service.image_command,
    };
    auto config = query_service_config_facts();
    if (!config) {
        section.lines.push_back("start type and failure actions " + unreadable(config.error()));
        return section;
    }
    section.lines.push_back("start type: " + config->start_type);
    for (const std::string& action : config->failure_actions) section.lines.push_back("failure actions: " + action);
    return section;
}

DiagSection strict_mode_section() {
    const security::StrictModeDecision mode = security::read_strict_mode();
    return {"Hardened mode policy",
            {fmt::format("{} ({}), read from HKLM\\{} and HKLM\\{}", mode.strict ? "on" : "off", mode.source,
                         win32::from_wide(security::policy_key_path()),
                         win32::from_wide(security::legacy_policy_key_path()))}};
}

DiagSection pipe_section(const std::string& pipe, const Gathered& facts) {
    DiagSection section{"Pipe server", {"pipe: " + api::pipe_path(pipe)}};
    if (!facts.server) {
        section.lines.push_back("no verified helper: " + facts.server.error().one_line());
        return section;
    }
    section.lines.push_back(fmt::format("process {}: {}", facts.server->pid, facts.server->image));
    return section;
}

DiagSection firewall_section() {
    DiagSection section{"Firewall rule " + std::string(product::kFirewallRuleName), {}};
    const std::vector<std::string> arguments{"advfirewall", "firewall", "show", "rule",
                                             fmt::format("name={}", product::kFirewallRuleName), "verbose"};
    auto shown = run_child_tool_for_output("netsh.exe", arguments, kChildToolDeadline, kNetshOutputLimit);
    if (!shown) return {section.title, {"netsh.exe " + unreadable(shown.error())}};
    section.lines.push_back(fmt::format("netsh.exe exit code {}", shown->exit_code));
    for (const std::string_view line : text::split_lines(shown->output))
        if (!text::is_blank(line)) section.lines.emplace_back(line);
    return section;
}

// One line per file: name, size, and for the service folder itself its
// SHA-256 and signature. The stale configuration is neither read nor hashed.
std::string file_line(const fs::directory_entry& entry, bool with_content_facts) {
    const std::string name = win32::path_text(entry.path().filename());
    std::error_code error;
    const auto size = entry.file_size(error);
    std::string line = error ? fmt::format("{}: size unreadable", name) : fmt::format("{}: {} bytes", name, size);
    if (!with_content_facts) return line;
    if (entry.path().filename() == fs::path(product::kCoreConfigFile)) return line + ", configuration: not read";
    auto digest = file_sha256(entry.path());
    line += digest ? ", sha256 " + *digest : ", sha256 " + unreadable(digest.error());
    return line + ", signature " + signature_status(entry.path());
}

void list_files(const fs::path& folder, bool with_content_facts, std::vector<std::string>& lines) {
    std::error_code error;
    fs::directory_iterator entries(folder, fs::directory_options::skip_permission_denied, error);
    if (error) {
        lines.push_back(fmt::format("{} could not be listed: {}", win32::path_text(folder), error.message()));
        return;
    }
    for (const fs::directory_entry& entry : entries) {
        std::error_code kind_error;
        if (entry.is_regular_file(kind_error)) lines.push_back(file_line(entry, with_content_facts));
    }
}

DiagSection folder_section(const std::optional<fs::path>& folder) {
    if (!folder) return {"Service folder", {"unknown: the service is not installed and no helper serves the pipe"}};
    DiagSection section{"Service folder " + win32::path_text(*folder), {}};
    list_files(*folder, true, section.lines);
    section.lines.push_back(win32::from_wide(product::kLogFolder) + ":");
    list_files(*folder / product::kLogFolder, false, section.lines);
    return section;
}

DiagSection log_section(const std::optional<fs::path>& folder, const std::wstring& file_name) {
    DiagSection section{fmt::format("{} (last {} lines)", win32::from_wide(file_name), kDiagLogLines), {}};
    if (!folder) return {section.title, {"unknown: no service folder"}};
    auto lines = read_log_tail(*folder / product::kLogFolder / file_name, kDiagLogLines);
    if (!lines) return {section.title, {unreadable(lines.error())}};
    section.lines = std::move(*lines);
    return section;
}

// Connects without sending anything: who serves the pipe is all it asks.
Result<ServerIdentity> identify_pipe_server(const Invocation& invocation, const std::string& pipe) {
    const pipe_client::Deadline deadline(std::min<std::chrono::milliseconds>(invocation.timeout, kPipeWait));
    auto handle = pipe_client::connect(pipe, deadline);
    if (!handle) return fail(with_waited_time(handle.error(), deadline));
    return verify_pipe_server(handle->get(), pipe, invocation.server_path);
}

Gathered gather(const Invocation& invocation, const std::string& pipe) {
    Gathered facts;
    facts.service = query_service();
    if (facts.service && *facts.service)
        if (auto image = registered_image_path((*facts.service)->image_command)) facts.registered_image = *image;
    facts.server = identify_pipe_server(invocation, pipe);
    facts.helper_image = facts.registered_image;
    if (!facts.helper_image && facts.server && !facts.server->image.empty())
        facts.helper_image = fs::path(win32::to_wide(facts.server->image));
    return facts;
}

fs::path default_report_path() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    return fs::current_path() / fmt::format("zorv-diag-{:04}{:02}{:02}-{:02}{:02}{:02}.txt", now.wYear, now.wMonth,
                                            now.wDay, now.wHour, now.wMinute, now.wSecond);
}

}  // namespace

Outcome run_diag(const Invocation& invocation, const std::string& pipe) {
    const Gathered facts = gather(invocation, pipe);
    std::optional<fs::path> folder;
    if (facts.helper_image) folder = facts.helper_image->parent_path();

    const std::vector<DiagSection> sections{
        versions_section(facts),
        service_section(facts),
        strict_mode_section(),
        pipe_section(pipe, facts),
        firewall_section(),
        folder_section(folder),
        log_section(folder, win32::to_wide(product::kHelperLogBaseName) + L".log"),
        log_section(folder, std::wstring(product::kCoreLogFile)),
    };
    const std::string report = render_diag_report(utc_now_text(), sections);

    const fs::path out = invocation.out_file ? *invocation.out_file : default_report_path();
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(report.data(), static_cast<std::streamsize>(report.size()));
    file.close();
    if (!file) return {kExitOtherReply, fmt::format("could not write the report to {}", win32::path_text(out))};
    std::error_code error;
    const fs::path shown = fs::absolute(out, error);
    print(fmt::format("Diagnostics report written to {}\n", win32::path_text(error ? out : shown)));
    return {};
}

}  // namespace zorv::ctl
