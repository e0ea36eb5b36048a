#include "security/strict_mode.hpp"

#include <atomic>
#include <memory>
#include <type_traits>

#include <fmt/format.h>

#include "common/product.hpp"
#include "common/win32.hpp"
#include "logger/helper_events.hpp"
#include "logger/log.hpp"
#include "security/write_access.hpp"

namespace zorv::security {

namespace {

std::atomic<bool> g_strict{false};

constexpr DWORD kAnyType = RRF_RT_ANY | RRF_NOEXPAND;


}  // namespace

std::wstring policy_key_path() { return L"SOFTWARE\\Policies\\VEXL2\\Helper"; }

std::wstring legacy_policy_key_path() {
    return std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + std::wstring(product::kServiceNameW) +
           L"\\Parameters";
}

StrictModeDecision decide_strict_mode(const StrictModeValue& value) {
    using Kind = StrictModeValue::Kind;
    switch (value.kind) {
        case Kind::Absent:
            return {false, true, "StrictMode absent"};
        case Kind::Dword:
            if (value.dword <= 1) return {value.dword == 1, true, fmt::format("StrictMode={}", value.dword)};
            return {true, false, fmt::format("StrictMode={} is neither 0 nor 1", value.dword)};
        case Kind::OtherType:
            return {true, false, "StrictMode is not a DWORD"};
        case Kind::Unreadable:
            return {true, false, fmt::format("StrictMode cannot be read: {}", win32::error_text(value.error))};
    }
    return {true, false, "StrictMode unknown"};
}

StrictModeDecision decide_strict_mode(const StrictModeValue& policy, const StrictModeValue& legacy) {
    StrictModeDecision from_policy = decide_strict_mode(policy);
    StrictModeDecision from_legacy = decide_strict_mode(legacy);
    from_legacy.source = "service Parameters: " + from_legacy.source;
    if (from_policy.strict) return from_policy;
    if (from_legacy.strict) return from_legacy;
    const bool only_legacy_set = policy.kind == StrictModeValue::Kind::Absent && legacy.kind != StrictModeValue::Kind::Absent;
    return only_legacy_set ? from_legacy : from_policy;
}

StrictModeValue read_strict_mode_value(const std::wstring& key) {
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof data;
    const LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), kStrictModeValueName.data(), kAnyType,
                                          &type, &data, &size);
    if (status == ERROR_FILE_NOT_FOUND) return {StrictModeValue::Kind::Absent};
    if (status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof data)
        return {StrictModeValue::Kind::Dword, data};
    if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) return {StrictModeValue::Kind::OtherType};
    return {StrictModeValue::Kind::Unreadable, 0, static_cast<std::uint32_t>(status)};
}

StrictModeDecision read_strict_mode() {
    return decide_strict_mode(read_strict_mode_value(policy_key_path()), read_strict_mode_value(legacy_policy_key_path()));
}

StrictModeDecision load_strict_mode() {
    StrictModeDecision decision = read_strict_mode();
    g_strict.store(decision.strict);
    const auto level = decision.understood ? log::Level::Info : log::Level::Warn;
    if (decision.strict)
        log::record(level, log::target::security,
                    "Strict mode: on ({}): callers, source_path and config paths must be writable only by SYSTEM, "
                    "Administrators and TrustedInstaller",
                    decision.source);
    else
        log::record(level, log::target::security, "Strict mode: off ({})", decision.source);
    return decision;
}

bool strict_mode_active() { return g_strict.load(); }

void set_strict_mode_active(bool strict) { g_strict.store(strict); }

Status check_strict_mode_path(std::string_view subject, const std::filesystem::path& path) {
    if (!strict_mode_active()) return {};
    if (auto protected_path = check_admin_only_path(path); !protected_path) {
        events::strict_mode_refusal(win32::path_text(path), subject, protected_path.error().one_line());
        return fail(protected_path.error().context(fmt::format("Strict mode refuses {}", subject)));
    }
    return {};
}

Status check_strict_mode_file(std::string_view subject, HANDLE file) {
    if (!strict_mode_active()) return {};
    if (auto protected_file = check_admin_only_file(file); !protected_file)
        return fail(protected_file.error().context(fmt::format("Strict mode refuses {}", subject)));
    return {};
}

std::optional<SavedStrictMode> save_strict_mode_value() {
    const std::wstring key = legacy_policy_key_path();
    SavedStrictMode saved;
    DWORD size = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), kStrictModeValueName.data(), kAnyType, &saved.type, nullptr,
                       &size) != ERROR_SUCCESS)
        return std::nullopt;
    saved.data.resize(size);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), kStrictModeValueName.data(), kAnyType, &saved.type,
                       saved.data.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    saved.data.resize(size);
    return saved;
}

Status restore_strict_mode_value(const SavedStrictMode& saved) {
    const std::wstring key_path = legacy_policy_key_path();
    win32::UniqueRegistryKey key;
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) return fail(win32::os_error(static_cast<DWORD>(status)));
    status = ::RegSetValueExW(key.get(), kStrictModeValueName.data(), 0, saved.type, saved.data.data(),
                              static_cast<DWORD>(saved.data.size()));
    if (status != ERROR_SUCCESS) return fail(win32::os_error(static_cast<DWORD>(status)));
    return {};
}

}  // namespace zorv::security
