#pragma once
// The publisher check: a helper that carries an embedded Authenticode
// signature deploys only cores signed with the same key. What turns it on is
// the signature's presence, not its validity, so that an expired or
// offline-unverifiable certificate cannot turn it off. An unsigned helper (a
// development build) deploys any core and says so once at start.
//
// The decisions are plain functions over what the system answered
// (signature.hpp asks it); PublisherCheck carries them out.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/unique_resource.hpp"

namespace zorv::security {

// What looking up the helper's own signer found.
enum class OwnSignature {
    Signed,      // its signer's certificate was read
    Unsigned,    // the file carries no embedded signature
    Unreadable,  // anything else: the check stays on and refuses every core
};
// `error_code`: the system's code of a failed lookup, when it had one.
OwnSignature classify_own_signature(bool signer_found, std::optional<std::uint32_t> error_code);

// What the system said about a deployed core.
struct CoreSignatureFacts {
    std::int32_t trust_status = 0;  // WinVerifyTrust
    bool helper_signer_known = false;
    bool core_signer_known = false;
    bool same_public_key = false;  // both known and CertComparePublicKeyInfo agreed
};

enum class CoreVerdict { Accepted, Unsigned, BadDigest, NotVerified, OtherPublisher, HelperSignerUnknown };
CoreVerdict judge_core_signature(const CoreSignatureFacts& facts);

// The start's error for a refused core, naming the source path and the reason.
std::string core_refusal(CoreVerdict verdict, std::int32_t trust_status, std::string_view source_path);

class PublisherCheck {
public:
    // Reads the signer of the helper's own executable and logs, once, which
    // way deployed cores are treated.
    static PublisherCheck load();

    bool active() const { return active_; }
    // Success when the check is off or `core` passes it; otherwise the
    // refusal, which names `source_path` (the client's path of that file).
    Status check_core(const std::filesystem::path& core, std::string_view source_path) const;

private:
    PublisherCheck() = default;

    bool active_ = false;
    win32::UniqueCertificate helper_signer_;  // empty when active but unreadable
};

}  // namespace zorv::security
