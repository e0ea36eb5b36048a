#pragma once
// The Win32 side of the publisher check: what WinVerifyTrust says about a
// file's embedded Authenticode signature, which certificate signed it
// (CryptQueryObject), and whether two signers hold the same public key.
// Nothing here decides; publisher_check.hpp does, over these answers.

#include <windows.h>

#include <wincrypt.h>

#include <filesystem>
#include <string>

#include "common/error.hpp"
#include "common/unique_resource.hpp"

namespace zorv::security {

// WinVerifyTrust's status for the file's embedded signature: generic verify
// v2, no UI, no revocation check, nothing fetched from the network. 0 when
// the signature verifies.
LONG embedded_signature_status(const std::filesystem::path& file);

// The certificate of the signer of the file's embedded signature. Fails with
// the system's code, CRYPT_E_NO_MATCH when the file carries no signature.
Result<win32::UniqueCertificate> embedded_signer(const std::filesystem::path& file);

// Both certificates hold the same public key (CertComparePublicKeyInfo).
bool same_public_key(PCCERT_CONTEXT first, PCCERT_CONTEXT second);

// The certificate subject's display name, for the log.
std::string subject_name(PCCERT_CONTEXT certificate);

}  // namespace zorv::security
