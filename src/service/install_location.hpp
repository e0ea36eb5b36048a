#pragma once
// What `install` says about where it registers the service from, before it
// touches the registration.

#include <filesystem>

#include "common/error.hpp"

namespace zorv::service {

// The service runs whatever sits at its registered path as SYSTEM, so the
// executable's folder and every folder above it must be changeable by SYSTEM,
// Administrators and TrustedInstaller alone (decided as strict mode decides
// for a caller's files). Otherwise the install goes on with a warning that
// names the folder and the account, or, in strict mode, is refused. Then,
// when the registration it will replace names another executable, says so.
Status check_install_location(const std::filesystem::path& executable);

}  // namespace zorv::service
