#include "security/publisher_check.hpp"

#include <windows.h>

#include <fmt/format.h>

#include "common/win32.hpp"
#include "logger/log.hpp"
#include "security/signature.hpp"

namespace zorv::security {

namespace {

// The codes WinVerifyTrust answers for a file with no signature it knows of.
bool means_unsigned(std::int32_t status) {
    return status == TRUST_E_NOSIGNATURE || status == TRUST_E_SUBJECT_FORM_UNKNOWN ||
           status == TRUST_E_PROVIDER_UNKNOWN;
}

}  // namespace

OwnSignature classify_own_signature(bool signer_found, std::optional<std::uint32_t> error_code) {
    if (signer_found) return OwnSignature::Signed;
    if (error_code == static_cast<std::uint32_t>(CRYPT_E_NO_MATCH)) return OwnSignature::Unsigned;
    return OwnSignature::Unreadable;
}

CoreVerdict judge_core_signature(const CoreSignatureFacts& facts) {
    if (!facts.helper_signer_known) return CoreVerdict::HelperSignerUnknown;
    if (means_unsigned(facts.trust_status)) return CoreVerdict::Unsigned;
    if (facts.trust_status == TRUST_E_BAD_DIGEST) return CoreVerdict::BadDigest;
    if (facts.trust_status != 0) return CoreVerdict::NotVerified;
    if (!facts.core_signer_known || !facts.same_public_key) return CoreVerdict::OtherPublisher;
    return CoreVerdict::Accepted;
}

std::string core_refusal(CoreVerdict verdict, std::int32_t trust_status, std::string_view source_path) {
    std::string reason;
    switch (verdict) {
        case CoreVerdict::Accepted: return {};
        case CoreVerdict::Unsigned: reason = "unsigned"; break;
        case CoreVerdict::BadDigest: reason = "bad digest"; break;
        case CoreVerdict::NotVerified:
            reason = fmt::format("signature not verified, status {:#010x}", static_cast<std::uint32_t>(trust_status));
            break;
        case CoreVerdict::OtherPublisher: reason = "other publisher"; break;
        case CoreVerdict::HelperSignerUnknown: reason = "the helper's own signer is unknown"; break;
    }
    return fmt::format("source_path is not signed by the helper's publisher ({}): {}", reason, source_path);
}

PublisherCheck PublisherCheck::load() {
    PublisherCheck check;
    auto executable = win32::current_exe_path();
    Result<win32::UniqueCertificate> signer =
        executable ? embedded_signer(*executable) : Result<win32::UniqueCertificate>(fail(executable.error()));
    switch (classify_own_signature(signer.has_value(), signer ? std::nullopt : signer.error().os_code())) {
        case OwnSignature::Signed:
            check.active_ = true;
            check.helper_signer_ = std::move(*signer);
            log::info(log::target::security,
                      "Publisher check: on (helper signed by '{}'): a deployed core must carry a valid signature "
                      "with the same key",
                      subject_name(check.helper_signer_.get()));
            break;
        case OwnSignature::Unsigned:
            log::warn(log::target::security,
                      "Publisher check: off (zorv-helper.exe carries no signature): deployed cores are not "
                      "signature-checked");
            break;
        case OwnSignature::Unreadable:
            check.active_ = true;
            log::error(log::target::security,
                       "Publisher check: on, but the helper's own signer could not be read ({}): every core "
                       "deployment is refused",
                       signer.error().one_line());
            break;
    }
    return check;
}

Status PublisherCheck::check_core(const std::filesystem::path& core, std::string_view source_path) const {
    if (!active_) return {};
    CoreSignatureFacts facts;
    facts.helper_signer_known = helper_signer_.valid();
    facts.trust_status = embedded_signature_status(core);
    if (auto core_signer = embedded_signer(core)) {
        facts.core_signer_known = true;
        facts.same_public_key =
            facts.helper_signer_known && same_public_key(helper_signer_.get(), core_signer->get());
    }
    const CoreVerdict verdict = judge_core_signature(facts);
    if (verdict == CoreVerdict::Accepted) return {};
    return fail(core_refusal(verdict, facts.trust_status, source_path));
}

}  // namespace zorv::security
