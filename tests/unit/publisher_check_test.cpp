#include <gtest/gtest.h>

#include <windows.h>

#include "security/publisher_check.hpp"

namespace zorv::security {
namespace {

TEST(PublisherCheck, OnlyAHelperWithoutSignatureTurnsTheCheckOff) {
    EXPECT_EQ(classify_own_signature(true, std::nullopt), OwnSignature::Signed);
    EXPECT_EQ(classify_own_signature(false, static_cast<std::uint32_t>(CRYPT_E_NO_MATCH)), OwnSignature::Unsigned);
    // A signature that cannot be read keeps the check on.
    EXPECT_EQ(classify_own_signature(false, static_cast<std::uint32_t>(CRYPT_E_ASN1_BADTAG)),
              OwnSignature::Unreadable);
    EXPECT_EQ(classify_own_signature(false, ERROR_ACCESS_DENIED), OwnSignature::Unreadable);
    EXPECT_EQ(classify_own_signature(false, std::nullopt), OwnSignature::Unreadable);
}

TEST(PublisherCheck, CoreVerdicts) {
    struct Case {
        const char* name;
        CoreSignatureFacts facts;
        CoreVerdict expected;
    };
    const CoreSignatureFacts same_key{0, true, true, true};
    const std::vector<Case> cases = {
        {"verified, same key", same_key, CoreVerdict::Accepted},
        {"verified, other key", {0, true, true, false}, CoreVerdict::OtherPublisher},
        {"verified, signer unreadable", {0, true, false, false}, CoreVerdict::OtherPublisher},
        {"no signature", {TRUST_E_NOSIGNATURE, true, false, false}, CoreVerdict::Unsigned},
        {"not a signable form", {TRUST_E_SUBJECT_FORM_UNKNOWN, true, false, false}, CoreVerdict::Unsigned},
        {"no provider", {TRUST_E_PROVIDER_UNKNOWN, true, false, false}, CoreVerdict::Unsigned},
        // A tampered file still names its signer: the digest decides.
        {"tampered", {TRUST_E_BAD_DIGEST, true, true, true}, CoreVerdict::BadDigest},
        {"untrusted root", {CERT_E_UNTRUSTEDROOT, true, true, true}, CoreVerdict::NotVerified},
        {"expired", {CERT_E_EXPIRED, true, true, true}, CoreVerdict::NotVerified},
        {"helper signer unknown", {0, false, true, false}, CoreVerdict::HelperSignerUnknown},
    };
    for (const auto& c : cases) EXPECT_EQ(judge_core_signature(c.facts), c.expected) << c.name;
}

// The other reasons are read end to end (core_signature_test.sh).
TEST(PublisherCheck, AnUnverifiedSignatureIsRefusedWithItsStatus) {
    EXPECT_EQ(core_refusal(CoreVerdict::NotVerified, CERT_E_UNTRUSTEDROOT, "C:\\bin\\sing-box.exe"),
              "source_path is not signed by the helper's publisher (signature not verified, status 0x800b0109): "
              "C:\\bin\\sing-box.exe");
}

}  // namespace
}  // namespace zorv::security
