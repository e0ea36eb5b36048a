#include "file_facts.hpp"

#include <windows.h>
#include <bcrypt.h>
#include <softpub.h>
#include <wintrust.h>

#include <array>
#include <vector>

#include <fmt/format.h>

#include "common/text.hpp"
#include "common/unique_resource.hpp"
#include "common/win32.hpp"

namespace zorv::ctl {

namespace {

Error cng_error(std::string_view call, NTSTATUS status) {
    return Error(fmt::format("{} failed with 0x{:08X}", call, static_cast<std::uint32_t>(status)));
}

using UniqueHash = win32::unique_resource<win32::null_empty_traits<BCRYPT_HASH_HANDLE, &::BCryptDestroyHash>>;

}  // namespace

Result<std::string> file_sha256(const std::filesystem::path& file) {
    win32::UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle) return fail(win32::last_os_error());
    win32::UniqueAlgorithmProvider provider;
    if (const NTSTATUS status = ::BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        !BCRYPT_SUCCESS(status))
        return fail(cng_error("BCryptOpenAlgorithmProvider", status));
    UniqueHash hash;
    if (const NTSTATUS status = ::BCryptCreateHash(provider.get(), hash.put(), nullptr, 0, nullptr, 0, 0);
        !BCRYPT_SUCCESS(status))
        return fail(cng_error("BCryptCreateHash", status));
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(handle.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            return fail(win32::last_os_error());
        if (read == 0) break;
        if (const NTSTATUS status = ::BCryptHashData(hash.get(), buffer.data(), read, 0); !BCRYPT_SUCCESS(status))
            return fail(cng_error("BCryptHashData", status));
    }
    std::array<unsigned char, 32> digest{};
    if (const NTSTATUS status = ::BCryptFinishHash(hash.get(), digest.data(), digest.size(), 0); !BCRYPT_SUCCESS(status))
        return fail(cng_error("BCryptFinishHash", status));
    return text::hex(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

std::string signature_status(const std::filesystem::path& file) {
    WINTRUST_FILE_INFO file_info{};
    file_info.cbStruct = sizeof(file_info);
    file_info.pcwszFilePath = file.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file_info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG verdict = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    (void)::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    switch (verdict) {
        case ERROR_SUCCESS: return "valid";
        case TRUST_E_NOSIGNATURE: return "not signed";
        default: return fmt::format("not trusted (0x{:08X}: {})", static_cast<std::uint32_t>(verdict),
                                    win32::error_text(static_cast<DWORD>(verdict)));
    }
}

}  // namespace zorv::ctl
