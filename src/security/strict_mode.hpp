#pragma once
// Strict mode: the policy of managed machines under which only what an
// administrator placed may drive the helper or become its core.
//
// An administrator, Group Policy or device management sets the DWORD value
// StrictMode under HKLM\SOFTWARE\Policies\VEXL2\Helper (absent or 0: the
// standard rules; 1: strict). The value under the service's Parameters key,
// where earlier versions read it, is still honoured: either one set makes the
// helper strict. The policy key belongs to the administrator: neither the
// package nor `uninstall` deletes it, and re-registering the service (which
// deletes the service's key) leaves it alone. The helper reads the values
// once at each start, of the service and of `run`, and keeps the mode for the
// life of the process. In strict mode the caller's executable, a
// sourcePath and a configPath must, on top of the standard rules, be writable
// by SYSTEM, Administrators and TrustedInstaller alone, and so must every
// folder above them.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace zorv::security {

inline constexpr std::wstring_view kStrictModeValueName = L"StrictMode";

// SOFTWARE\Policies\VEXL2\Helper under HKLM, as the administrative template names it.
std::wstring policy_key_path();
// SYSTEM\CurrentControlSet\Services\<service>\Parameters under HKLM.
std::wstring legacy_policy_key_path();

// What the registry holds under the value's name.
struct StrictModeValue {
    enum class Kind { Absent, Dword, OtherType, Unreadable };
    Kind kind = Kind::Absent;
    std::uint32_t dword = 0;  // Kind::Dword
    std::uint32_t error = 0;  // Kind::Unreadable: the system error code
};

struct StrictModeDecision {
    bool strict = false;
    // False for a value that is present but neither DWORD 0 nor 1: an
    // administrator meant something, so the helper runs strict to be safe.
    bool understood = true;
    std::string source;  // "StrictMode absent", "StrictMode=1", ...
};
StrictModeDecision decide_strict_mode(const StrictModeValue& value);
// Both locations: strict when either one asks for it (or cannot be read); the
// source names the legacy location when the decision comes from there.
StrictModeDecision decide_strict_mode(const StrictModeValue& policy, const StrictModeValue& legacy);

// The value under HKLM\`key`.
StrictModeValue read_strict_mode_value(const std::wstring& key);
// Reads both locations and decides.
StrictModeDecision read_strict_mode();

// Reads the policy, logs once which mode this process runs in, and keeps it.
StrictModeDecision load_strict_mode();
// The mode kept by the last load_strict_mode() (standard before any).
bool strict_mode_active();
// Sets the kept mode directly (tests).
void set_strict_mode_active(bool strict);

// In strict mode: success when `path` and every folder above it can be
// changed by the trusted three alone, else "Strict mode refuses {subject}:
// {which path is writable by whom}". Always success in standard mode.
Status check_strict_mode_path(std::string_view subject, const std::filesystem::path& path);

// The same for a file already opened (a configPath opened as the client):
// its handle's descriptor and the folders above its final path, see
// check_admin_only_file. Always success in standard mode.
Status check_strict_mode_file(std::string_view subject, HANDLE file);

// The legacy value's raw type and bytes, carried across a re-registration
// (deleting a service deletes its registry key, Parameters included).
struct SavedStrictMode {
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;
};
std::optional<SavedStrictMode> save_strict_mode_value();
Status restore_strict_mode_value(const SavedStrictMode& saved);

}  // namespace zorv::security
