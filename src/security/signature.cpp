#include "security/signature.hpp"

#include <softpub.h>
#include <wintrust.h>

#include <cstdint>
#include <vector>

#include "common/win32.hpp"

namespace zorv::security {

namespace {
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
}

LONG embedded_signature_status(const std::filesystem::path& file) {
    WINTRUST_FILE_INFO file_info{};
    file_info.cbStruct = sizeof(file_info);
    file_info.pcwszFilePath = file.c_str();

    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file_info;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    // A service must not wait on the network, nor let an unreachable
    // revocation server decide what it runs.
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    // INVALID_HANDLE_VALUE: there is no interactive user to ask.
    return ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
}

Result<win32::UniqueCertificate> embedded_signer(const std::filesystem::path& file) {
    DWORD encoding = 0;
    DWORD content_type = 0;
    DWORD format_type = 0;
    win32::UniqueCertStore store;
    win32::UniqueCryptMessage message;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, file.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content_type, &format_type, store.put(),
                            message.put(), nullptr))
        return fail(win32::last_os_error());

    // The signer is named by issuer and serial number; its certificate is
    // among those the signature carries.
    DWORD size = 0;
    if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size))
        return fail(win32::last_os_error());
    std::vector<std::uint64_t> buffer((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, buffer.data(), &size))
        return fail(win32::last_os_error());
    win32::UniqueCertificate signer(::CertFindCertificateInStore(store.get(), kEncoding, 0, CERT_FIND_SUBJECT_CERT,
                                                                 buffer.data(), nullptr));
    if (!signer) return fail(win32::last_os_error());
    return signer;
}

bool same_public_key(PCCERT_CONTEXT first, PCCERT_CONTEXT second) {
    return ::CertComparePublicKeyInfo(kEncoding, &first->pCertInfo->SubjectPublicKeyInfo,
                                      &second->pCertInfo->SubjectPublicKeyInfo) != FALSE;
}

std::string subject_name(PCCERT_CONTEXT certificate) {
    const DWORD length = ::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length <= 1) return {};
    std::wstring name(length, L'\0');
    ::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), length);
    name.resize(length - 1);
    return win32::from_wide(name);
}

}  // namespace zorv::security
