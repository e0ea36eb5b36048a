#include "service/directory_sandbox.hpp"

#include <aclapi.h>

#include <algorithm>
#include <system_error>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "common/product.hpp"
#include "common/text.hpp"
#include "logger/helper_events.hpp"
#include "security/write_access.hpp"

namespace zorv::service {

namespace {

constexpr std::string_view kAccessTool = "icacls";
constexpr std::string_view kAdministrators = "*S-1-5-32-544";

void ensure_directory(const std::filesystem::path& directory) {
    std::error_code ec;
    if (std::filesystem::exists(directory, ec) && !ec) return;
    std::filesystem::create_directories(directory, ec);  // a failure shows in the steps that follow
}

std::string contents_of(std::string_view directory) { return std::string(directory) + "\\*"; }

Result<win32::UniqueLocalMemory<void>> read_file_descriptor(const std::filesystem::path& object) {
    win32::UniqueLocalMemory<void> descriptor;
    const DWORD status =
        ::GetNamedSecurityInfoW(object.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, nullptr, nullptr, descriptor.put());
    if (status != ERROR_SUCCESS) return fail(win32::os_error(status));
    return descriptor;
}

class Lockdown {
public:
    Lockdown(const std::filesystem::path& directory, ChildToolRunner& tools, const DescriptorReader& read)
        : tools_(tools), read_(read) {
        result_.directory = directory;
    }

    void run_step(std::vector<std::string> arguments) {
        auto exit_code = tools_.run(kAccessTool, arguments);
        const std::string shown = fmt::format("icacls {}", fmt::join(arguments, " "));
        if (!exit_code)
            error(fmt::format("Directory lock-down step failed: {}: {}", shown, exit_code.error().one_line()));
        else if (*exit_code != 0)
            error(fmt::format("Directory lock-down step failed: {} exited with {}", shown, *exit_code));
    }

    Result<win32::UniqueLocalMemory<void>> descriptor() { return read_(result_.directory); }

    void error(std::string message) { result_.records.push_back({log::Level::Error, std::move(message)}); }
    void fail_with(std::string why) { result_.failure = std::move(why); }
    DirectoryLockdown finish() { return std::move(result_); }

private:
    ChildToolRunner& tools_;
    const DescriptorReader& read_;
    DirectoryLockdown result_;
};

}  // namespace

std::vector<std::string> directory_owner_arguments(std::string_view directory) {
    return {std::string(directory), "/setowner", std::string(kAdministrators)};
}

std::vector<std::string> directory_lockdown_arguments(std::string_view directory) {
    return {std::string(directory), "/inheritance:r", "/grant:r", "*S-1-5-18:(OI)(CI)F", "*S-1-5-32-544:(OI)(CI)F"};
}

std::vector<std::string> entry_removal_arguments(std::string_view directory, const std::vector<std::string>& sids) {
    std::vector<std::string> arguments{std::string(directory), "/remove"};
    for (const std::string& sid : sids) arguments.push_back("*" + sid);
    return arguments;
}

std::vector<std::string> contents_owner_arguments(std::string_view directory) {
    return {contents_of(directory), "/setowner", std::string(kAdministrators), "/T", "/C", "/L", "/Q"};
}

std::vector<std::string> contents_reset_arguments(std::string_view directory) {
    return {contents_of(directory), "/reset", "/T", "/C", "/L", "/Q"};
}

std::vector<std::string> logs_read_access_arguments(std::string_view logs_directory) {
    return {std::string(logs_directory), "/grant", "*S-1-5-11:(OI)(CI)RX", "*S-1-5-32-545:(OI)(CI)RX"};
}

std::vector<std::string> foreign_explicit_entries(PSECURITY_DESCRIPTOR descriptor) {
    std::vector<std::string> sids;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return sids;
    const security::Sid system = security::sids::local_system();
    const security::Sid administrators = security::sids::administrators();
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if ((header->AceFlags & INHERITED_ACE) != 0) continue;
        // Allowed and denied ACEs (and their callback forms) keep the SID right after the mask.
        PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        if (!::IsValidSid(sid)) continue;
        const security::Sid holder = security::Sid::copy_of(sid);
        if (holder == system || holder == administrators) continue;
        const std::string text = holder.text();
        if (std::find(sids.begin(), sids.end(), text) == sids.end()) sids.push_back(text);
    }
    return sids;
}

DirectoryLockdown lock_down_directory(const std::filesystem::path& directory) {
    return lock_down_directory(directory, system_child_tools(), read_file_descriptor);
}

DirectoryLockdown lock_down_directory(const std::filesystem::path& directory, ChildToolRunner& tools,
                                      const DescriptorReader& read_descriptor) {
    Lockdown lockdown(directory, tools, read_descriptor);
    ensure_directory(directory);
    const std::string shown = win32::path_text(directory);
    // The folder itself first: from here on no one else can add to it.
    lockdown.run_step(directory_owner_arguments(shown));
    lockdown.run_step(directory_lockdown_arguments(shown));
    if (auto granted = lockdown.descriptor()) {
        if (auto left = foreign_explicit_entries(granted->get()); !left.empty())
            lockdown.run_step(entry_removal_arguments(shown, left));
    }
    lockdown.run_step(contents_owner_arguments(shown));
    lockdown.run_step(contents_reset_arguments(shown));
    const std::filesystem::path logs = directory / product::kLogFolder;
    ensure_directory(logs);
    lockdown.run_step(logs_read_access_arguments(win32::path_text(logs)));

    auto descriptor = lockdown.descriptor();
    if (!descriptor)
        lockdown.fail_with(fmt::format("the security of {} cannot be read: {}", text::quoted(shown),
                                       descriptor.error().one_line()));
    else if (auto writer = security::find_untrusted_writer(descriptor->get(), security::ObjectKind::Folder))
        lockdown.fail_with(fmt::format("{} is writable by {}", text::quoted(shown), security::account_name(*writer)));
    return lockdown.finish();
}

void log_lockdown(const DirectoryLockdown& lockdown) {
    log::info(log::target::service, "Applying SDDL security sandbox to service directory: {}",
              text::quoted(win32::path_text(lockdown.directory)));
    for (const LockdownRecord& record : lockdown.records) log::record(record.level, log::target::service, "{}", record.message);
    if (lockdown.failure) {
        log::error(log::target::service, "Service directory is not locked down: {}", *lockdown.failure);
        events::lockdown_failed(win32::path_text(lockdown.directory), *lockdown.failure);
    } else
        log::info(log::target::service, "Service directory locked down: only SYSTEM, Administrators and TrustedInstaller can change it");
}

}  // namespace zorv::service
