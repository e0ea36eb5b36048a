#include "service/install_location.hpp"

#include "common/product.hpp"
#include "common/text.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"
#include "security/path_text_rules.hpp"
#include "security/strict_mode.hpp"
#include "security/write_access.hpp"
#include "service/registered_image.hpp"

namespace zorv::service {

namespace {


Status check_install_folder(const std::filesystem::path& folder) {
    const auto admin_only = security::check_admin_only_path(folder, security::ObjectKind::Folder);
    if (admin_only) return {};
    const std::string problem = admin_only.error().one_line();
    if (security::load_strict_mode().strict) {
        const std::string refusal = fmt::format("Strict mode refuses to install the service from '{}': {}",
                                                win32::path_text(folder), problem);
        log::error(log::target::service, "{}", text::log_safe(refusal));
        return fail(refusal);
    }
    log::warn(log::target::service,
              "Installing from '{}', which others than SYSTEM, Administrators and TrustedInstaller can change: {}. "
              "The service runs what sits there as SYSTEM; install from a folder of its own under Program Files",
              text::log_safe(win32::path_text(folder)), text::log_safe(problem));
    return {};
}

bool same_file_path(const std::filesystem::path& a, const std::filesystem::path& b) {
    return security::normalize_path(win32::path_text(a)).text() == security::normalize_path(win32::path_text(b)).text();
}

void note_replaced_registration(const std::filesystem::path& executable) {
    auto registered = query_registered_command_line();
    if (!registered || !*registered) return;  // nothing to replace, or the install's own steps will say why
    auto image = image_path_of_command_line(**registered);
    const std::string shown = image ? win32::path_text(*image) : win32::from_wide(**registered);
    if (image && same_file_path(*image, executable)) return;
    log::warn(log::target::service, "The service {} is registered from '{}'; this install re-points it to '{}'",
              product::kServiceName, text::log_safe(shown), text::log_safe(win32::path_text(executable)));
}

}  // namespace

Status check_install_location(const std::filesystem::path& executable) {
    if (executable.has_parent_path())
        if (auto safe = check_install_folder(executable.parent_path()); !safe) return safe;
    note_replaced_registration(executable);
    return {};
}

}  // namespace zorv::service
