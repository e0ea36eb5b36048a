#include "manager/core_config.hpp"

#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "common/clock.hpp"
#include "common/file_reading.hpp"
#include "common/product.hpp"
#include "common/text.hpp"
#include "logger/log.hpp"
#include "logger/rotate_log.hpp"
#include "security/path_checks.hpp"
#include "security/path_text_rules.hpp"
#include "security/strict_mode.hpp"

namespace zorv::manager {

namespace {

constexpr std::array<std::string_view, 3> kLanProxyTypes = {"http", "mixed", "socks"};
constexpr std::string_view kAllAddresses = "0.0.0.0";

// The Unicode White_Space property.
bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string trim_unicode_space(std::string_view value) {
    std::u32string code_points = text::decode_utf8(value);
    const auto first = std::find_if_not(code_points.begin(), code_points.end(), is_unicode_space);
    const auto last = std::find_if_not(code_points.rbegin(), code_points.rend(), is_unicode_space).base();
    if (first >= last) return {};
    return text::encode_utf8(std::u32string_view(&*first, static_cast<std::size_t>(last - first)));
}

bool string_equals(const nlohmann::json& object, const char* key, std::string_view expected) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() && it->get_ref<const std::string&>() == expected;
}

std::optional<std::string> tun_interface_of(const nlohmann::json& inbound) {
    if (!string_equals(inbound, "type", "tun")) return std::nullopt;
    const auto name = inbound.find("interface_name");
    if (name == inbound.end() || !name->is_string()) return std::nullopt;
    std::string trimmed = trim_unicode_space(name->get_ref<const std::string&>());
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

std::optional<std::uint16_t> lan_proxy_port_of(const nlohmann::json& inbound) {
    const bool proxy_type = std::any_of(kLanProxyTypes.begin(), kLanProxyTypes.end(),
                                        [&](std::string_view type) { return string_equals(inbound, "type", type); });
    if (!proxy_type || !string_equals(inbound, "listen", kAllAddresses)) return std::nullopt;
    const auto port = inbound.find("listen_port");
    // Only an integer written without sign or fraction parses as unsigned.
    if (port == inbound.end() || !port->is_number_unsigned()) return std::nullopt;
    const auto value = port->get<std::uint64_t>();
    if (value < 1 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// Opens the configuration file after the existence and link checks; all of
// it runs with the client's rights.
Result<win32::UniqueHandle> open_configuration_file(const std::string& given, const std::filesystem::path& path) {
    if (!security::metadata_following_links(path)) return fail("Specified config path does not exist: " + given);
    if (security::has_reparse_point(path))
        return fail("Specified config path resolves through a reparse point: " + given);
    // Not following a link at the last step: one swapped in after the check
    // is opened as itself and refused below.
    // In strict mode nobody may hold it open for writing or deleting: a
    // handle opened before its DACL was locked down would outlive the check.
    // Overlapped, so that every read of it has a deadline.
    const DWORD share = security::strict_mode_active() ? FILE_SHARE_READ
                                                       : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN |
                                               FILE_FLAG_OVERLAPPED | security::kCallerPathOpenFlags,
                                           nullptr));
    if (!file) {
        const Error error = win32::last_os_error();
        if (win32::is_not_found_error(error)) return fail("Specified config path does not exist: " + given);
        return fail(error.context("Specified config path could not be opened: " + given));
    }
    return file;
}

std::unexpected<Error> too_large(const std::string& given) {
    return fail(fmt::format("Specified config path is larger than {} bytes: {}", kMaxConfigFileBytes, given));
}

// Reads at most kMaxConfigFileBytes; a file that grew past that since its
// size was taken is refused rather than cut short. Whoever owns the file can
// stall a read of it, so the whole read has a deadline.
Result<std::string> read_bounded(HANDLE file, const std::string& given) {
    const auto deadline = std::chrono::steady_clock::now() + kConfigReadDeadline;
    auto content = win32::read_at_most_by(file, 0, static_cast<std::size_t>(kMaxConfigFileBytes) + 1, deadline);
    if (!content && content.error().os_code() == static_cast<std::uint32_t>(ERROR_TIMEOUT))
        return fail(fmt::format("Specified config path could not be read within {} s: {}",
                                std::chrono::duration_cast<std::chrono::seconds>(kConfigReadDeadline).count(), given));
    if (!content) return fail(content.error().context("Failed to read specified config path: " + given));
    if (content->size() > kMaxConfigFileBytes) return too_large(given);
    return content;
}

Result<std::string> read_configuration_file(const std::string& given, security::ClientIdentity& client) {
    // An empty path names nothing; every other one must be plain local text
    // before the file system is asked anything about it.
    if (given.empty()) return fail("Specified config path does not exist: " + given);
    if (!security::is_plain_local_path(given)) return fail("Specified config path is not a plain local path: " + given);

    const std::filesystem::path path(win32::to_wide(given));
    Result<win32::UniqueHandle> opened = fail("Specified config path could not be opened: " + given);
    if (auto ran = security::run_as_client(client, [&] { opened = open_configuration_file(given, path); }); !ran)
        return fail(ran.error().context("Specified config path could not be opened: " + given));
    if (!opened) return fail(opened.error());
    // The handle is judged, not the path: as the helper, the text could lead
    // elsewhere (a drive letter mapped in the client's logon session).
    if (auto guarded = security::check_strict_mode_file("config path " + given, opened->get()); !guarded)
        return fail(guarded.error());

    const auto facts = win32::handle_facts(opened->get());
    if (!facts) return fail(facts.error().context("Failed to read specified config path: " + given));
    if (facts->reparse_point) return fail("Specified config path resolves through a reparse point: " + given);
    if (facts->directory) return fail("Specified config path is not a file: " + given);
    if (facts->size > kMaxConfigFileBytes) return too_large(given);
    return read_bounded(opened->get(), given);
}

}  // namespace

Result<ConfigurationSelection> select_configuration(const StartCommand& request,
                                                    security::ClientIdentity& client) {
    const std::string stdin_argument(kStdinConfigArgument);
    if (request.config_content) return ConfigurationSelection{stdin_argument, stdin_argument, *request.config_content};
    if (!request.config_path) return fail("Neither configContent nor configPath was provided");
    auto content = read_configuration_file(*request.config_path, client);
    if (!content) return fail(content.error());
    return ConfigurationSelection{stdin_argument, *request.config_path, std::move(*content)};
}

std::string session_header(std::string_view local_time, std::string_view profile, std::string_view config_label) {
    const std::string rule(20, '=');
    return fmt::format("\n{0} [sing-box launch session at {1}] (profile: {2}, config: {3}) {0}\n", rule, local_time,
                       text::log_safe(profile), text::log_safe(config_label));
}

CoreLog prepare_core_log(const std::filesystem::path& service_dir, std::string_view profile,
                         std::string_view config_label) {
    const std::filesystem::path directory = service_dir / product::kLogFolder;
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);

    CoreLog log_file{directory / product::kCoreLogFile, {}, std::nullopt};
    if (auto rotated = logger::rotate_log(log_file.path, kCoreLogRotateBytes, kCoreLogGenerations); !rotated)
        log::warn(log::target::manager, "Failed to rotate sing-box.log: {}", rotated.error().one_line());

    // Not inheritable: the core gets duplicates of its own.
    log_file.file.reset(::CreateFileW(log_file.path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (log_file.file) {
        const std::string header = session_header(clock::local_timestamp(), profile, config_label);
        DWORD written = 0;
        LARGE_INTEGER end{};
        if (::WriteFile(log_file.file.get(), header.data(), static_cast<DWORD>(header.size()), &written, nullptr) &&
            written == header.size() && ::GetFileSizeEx(log_file.file.get(), &end))
            log_file.session_start = static_cast<std::uint64_t>(end.QuadPart);
    }
    log::info(log::target::manager, "sing-box log file prepared at {} (append mode)", win32::path_text(log_file.path));
    return log_file;
}

NetworkParameters network_parameters_from_text(std::optional<std::string_view> text) {
    NetworkParameters parameters;
    if (!text) return parameters;
    const nlohmann::json document = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded() || !document.is_object()) return parameters;
    const auto inbounds = document.find("inbounds");
    if (inbounds == document.end() || !inbounds->is_array()) return parameters;

    for (const auto& inbound : *inbounds) {
        if (!inbound.is_object()) continue;
        if (auto name = tun_interface_of(inbound)) {
            parameters.tun_interface = std::move(*name);
            break;
        }
    }
    for (const auto& inbound : *inbounds) {
        if (!inbound.is_object()) continue;
        if (auto port = lan_proxy_port_of(inbound)) {
            parameters.lan_proxy_port = port;
            break;
        }
    }
    return parameters;
}

NetworkParameters resolve_network_parameters(const ConfigurationSelection& selection) {
    NetworkParameters parameters = network_parameters_from_text(selection.content);
    const std::optional<std::uint32_t> port =
        parameters.lan_proxy_port ? std::optional<std::uint32_t>(*parameters.lan_proxy_port) : std::nullopt;
    log::info(log::target::manager, "Resolved network parameters: tun_interface='{}', lan_proxy_port={}",
              text::log_safe(parameters.tun_interface), text::option_form(port));
    return parameters;
}

}  // namespace zorv::manager
