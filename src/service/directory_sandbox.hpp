#pragma once
// Locks the service directory down to SYSTEM and Administrators, lets
// ordinary users read its logs, and checks the result.
//
// It runs before anything else touches the folder (the log's rotation, the
// shredder), so it cannot log as it goes: it returns its records, and the
// caller writes them once the logger is up.

#include <windows.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/child_tool.hpp"
#include "common/error.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"

namespace zorv::service {

// The icacls runs, in order. On the directory: owner Administrators; no
// inherited entries and full control for SYSTEM and Administrators, inherited
// below; every other explicit entry removed. On what it holds: owner
// Administrators and the entries reset to what the directory passes down,
// acting on links themselves, never on what they point to. On its logs
// folder: read and execute for Authenticated Users and Users in addition.
std::vector<std::string> directory_owner_arguments(std::string_view directory);
std::vector<std::string> directory_lockdown_arguments(std::string_view directory);
std::vector<std::string> entry_removal_arguments(std::string_view directory, const std::vector<std::string>& sids);
std::vector<std::string> contents_owner_arguments(std::string_view directory);
std::vector<std::string> contents_reset_arguments(std::string_view directory);
std::vector<std::string> logs_read_access_arguments(std::string_view logs_directory);

// The SIDs ("S-1-...") of explicit entries for anyone but SYSTEM and
// Administrators, each once: what granting with replacement leaves behind.
std::vector<std::string> foreign_explicit_entries(PSECURITY_DESCRIPTOR descriptor);

struct LockdownRecord {
    log::Level level;
    std::string message;
    friend bool operator==(const LockdownRecord&, const LockdownRecord&) = default;
};

struct DirectoryLockdown {
    std::filesystem::path directory;
    std::vector<LockdownRecord> records;
    // Why the directory can be changed by someone besides SYSTEM,
    // Administrators and TrustedInstaller (as hardened mode decides it), or
    // why that could not be read; empty once it is locked down.
    std::optional<std::string> failure;
    bool verified() const { return !failure.has_value(); }
};

// The owner and DACL of a file object, as GetNamedSecurityInfoW returns them.
using DescriptorReader = std::function<Result<win32::UniqueLocalMemory<void>>(const std::filesystem::path&)>;

// Creates `directory` when missing, runs the icacls steps, creates its logs
// folder when missing, then reads the directory's descriptor back. A step
// that fails is an Error record; the lock-down goes on with the next.
DirectoryLockdown lock_down_directory(const std::filesystem::path& directory);
DirectoryLockdown lock_down_directory(const std::filesystem::path& directory, ChildToolRunner& tools,
                                      const DescriptorReader& read_descriptor);

// Writes the lock-down's records, and its verdict at Error when it failed.
void log_lockdown(const DirectoryLockdown& lockdown);

}  // namespace zorv::service
