#include "file_facts.hpp"

#include <windows.h>

#include <fmt/format.h>

#include "common/text.hpp"
#include "common/unique_resource.hpp"
#include "common/win32.hpp"
#include "security/content_digest.hpp"
#include "security/signature.hpp"

namespace zorv::ctl {

Result<std::string> file_sha256(const std::filesystem::path& file) {
    win32::UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle) return fail(win32::last_os_error());
    auto digest = security::sha256_of_file(handle.get());
    if (!digest) return fail(digest.error());
    return text::hex(std::string_view(reinterpret_cast<const char*>(digest->data()), digest->size()));
}

std::string signature_status(const std::filesystem::path& file) {
    switch (const LONG verdict = security::embedded_signature_status(file)) {
        case ERROR_SUCCESS: return "valid";
        case TRUST_E_NOSIGNATURE: return "not signed";
        default: return fmt::format("not trusted (0x{:08X}: {})", static_cast<std::uint32_t>(verdict),
                                    win32::error_text(static_cast<DWORD>(verdict)));
    }
}

}  // namespace zorv::ctl
