#pragma once
// What support needs to know of a file in the service folder without its
// content: its SHA-256 and whether its Authenticode signature holds.

#include <filesystem>
#include <string>

#include "common/error.hpp"

namespace zorv::ctl {

// Lower-case hexadecimal, read in pieces (any size costs fixed memory).
Result<std::string> file_sha256(const std::filesystem::path& file);

// "valid", "not signed", or what WinVerifyTrust said; no revocation check
// (no network for a report).
std::string signature_status(const std::filesystem::path& file);

}  // namespace zorv::ctl
