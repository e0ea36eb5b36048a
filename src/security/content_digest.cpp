#include "security/content_digest.hpp"

#include <vector>

#include "common/win32.hpp"

namespace zorv::security {

namespace {
constexpr std::size_t kReadChunk = 1024 * 1024;
}

Result<Sha256> Sha256::begin() {
    Sha256 sha;
    if (const NTSTATUS status = ::BCryptOpenAlgorithmProvider(sha.provider_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        !BCRYPT_SUCCESS(status))
        return fail(win32::cng_error("BCryptOpenAlgorithmProvider", status));
    if (const NTSTATUS status = ::BCryptCreateHash(sha.provider_.get(), sha.hash_.put(), nullptr, 0, nullptr, 0, 0);
        !BCRYPT_SUCCESS(status))
        return fail(win32::cng_error("BCryptCreateHash", status));
    return sha;
}

Status Sha256::add(std::span<const char> bytes) {
    // BCryptHashData takes a non-const input pointer but does not write to it.
    auto* input = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
    if (const NTSTATUS status = ::BCryptHashData(hash_.get(), input, static_cast<ULONG>(bytes.size()), 0);
        !BCRYPT_SUCCESS(status))
        return fail(win32::cng_error("BCryptHashData", status));
    return {};
}

Result<Sha256Digest> Sha256::finish() {
    Sha256Digest digest{};
    if (const NTSTATUS status =
            ::BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
        !BCRYPT_SUCCESS(status))
        return fail(win32::cng_error("BCryptFinishHash", status));
    return digest;
}

Result<Sha256Digest> sha256_of_file(HANDLE file) {
    auto sha = Sha256::begin();
    if (!sha) return fail(sha.error());
    std::vector<char> buffer(kReadChunk);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            return fail(win32::last_os_error());
        if (read == 0) break;
        if (auto added = sha->add(std::span<const char>(buffer.data(), read)); !added) return fail(added.error());
    }
    return sha->finish();
}

}  // namespace zorv::security
