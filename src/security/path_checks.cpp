#include "security/path_checks.hpp"

#include <windows.h>

#include <array>
#include <vector>

#include "common/text.hpp"
#include "common/win32.hpp"
#include "security/path_text_rules.hpp"
#include "security/strict_mode.hpp"

namespace zorv::security {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::uint64_t kDosHeaderSize = 64;
constexpr std::size_t kPeOffsetPosition = 60;

win32::UniqueHandle open_for_attributes(const std::filesystem::path& path, DWORD extra_flags) {
    // Backup semantics lets directories be opened as well as files.
    return win32::UniqueHandle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_BACKUP_SEMANTICS | kCallerPathOpenFlags | extra_flags,
                                             nullptr));
}

std::optional<BY_HANDLE_FILE_INFORMATION> file_information(const std::filesystem::path& path, DWORD extra_flags) {
    if (path.empty()) return std::nullopt;
    win32::UniqueHandle handle = open_for_attributes(path, extra_flags);
    if (!handle) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info)) return std::nullopt;
    return info;
}

bool read_exactly(HANDLE file, void* buffer, DWORD size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    DWORD total = 0;
    while (total < size) {
        DWORD read = 0;
        if (!::ReadFile(file, bytes + total, size - total, &read, nullptr) || read == 0) return false;
        total += read;
    }
    return true;
}

AuthorizedFolders authorized_folders_from_environment() {
    return AuthorizedFolders{win32::env_var(L"ProgramFiles"), win32::env_var(L"ProgramFiles(x86)"),
                             win32::env_var(L"USERPROFILE"), win32::env_var(L"LOCALAPPDATA"),
                             win32::env_var(L"APPDATA")};
}

}  // namespace

std::optional<FileMetadata> metadata_following_links(const std::filesystem::path& path) {
    const auto info = file_information(path, 0);
    if (!info) return std::nullopt;
    return FileMetadata{(static_cast<std::uint64_t>(info->nFileSizeHigh) << 32) | info->nFileSizeLow,
                        info->dwFileAttributes};
}

std::optional<std::uint32_t> attributes_without_following(const std::filesystem::path& path) {
    const auto info = file_information(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (!info) return std::nullopt;
    return info->dwFileAttributes;
}

bool has_reparse_point(const std::filesystem::path& path, const ReparseLookups& lookups) {
    std::filesystem::path current = path;
    for (;;) {
        if (!current.empty() && lookups.readable_following_links(current)) {
            const auto attributes = lookups.attributes_without_following(current);
            if (attributes && (*attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
        }
        std::filesystem::path parent = current.parent_path();
        if (parent.empty() || parent == current) return false;
        current = std::move(parent);
    }
}

bool has_reparse_point(const std::filesystem::path& path) {
    static const ReparseLookups system_lookups{
        [](const std::filesystem::path& p) { return metadata_following_links(p).has_value(); },
        [](const std::filesystem::path& p) { return attributes_without_following(p); }};
    return has_reparse_point(path, system_lookups);
}

bool is_windows_executable(const std::filesystem::path& path) {
    win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL | kCallerPathOpenFlags, nullptr));
    if (!file) return false;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size) || static_cast<std::uint64_t>(size.QuadPart) < kDosHeaderSize)
        return false;

    std::array<unsigned char, kDosHeaderSize> dos{};
    if (!read_exactly(file.get(), dos.data(), static_cast<DWORD>(dos.size()))) return false;
    if (dos[0] != 'M' || dos[1] != 'Z') return false;
    const std::uint32_t pe_offset = static_cast<std::uint32_t>(dos[kPeOffsetPosition]) |
                                    (static_cast<std::uint32_t>(dos[kPeOffsetPosition + 1]) << 8) |
                                    (static_cast<std::uint32_t>(dos[kPeOffsetPosition + 2]) << 16) |
                                    (static_cast<std::uint32_t>(dos[kPeOffsetPosition + 3]) << 24);
    if (pe_offset == 0 || static_cast<std::uint64_t>(pe_offset) + 4 > static_cast<std::uint64_t>(size.QuadPart))
        return false;

    LARGE_INTEGER position{};
    position.QuadPart = pe_offset;
    if (!::SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN)) return false;
    std::array<unsigned char, 4> signature{};
    if (!read_exactly(file.get(), signature.data(), static_cast<DWORD>(signature.size()))) return false;
    return signature == std::array<unsigned char, 4>{'P', 'E', 0, 0};
}

std::optional<std::string> canonical_path_text(const std::filesystem::path& path) {
    if (path.empty()) return std::nullopt;
    win32::UniqueHandle handle = open_for_attributes(path, 0);
    if (!handle) return std::nullopt;
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle.get(), buffer.data(),
                                                         static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
        if (length == 0) return std::nullopt;
        if (length < buffer.size()) return win32::from_wide(std::wstring_view(buffer.data(), length));
        buffer.resize(length + 1);
    }
}

Status check_binary_path(std::string_view binary_path, const std::filesystem::path& service_dir) {
    const std::string service_text = win32::path_text(service_dir);
    if (auto plain = check_binary_path_text(binary_path, service_text); !plain) return plain;

    const std::string given(binary_path);
    const std::string canonical_service = canonical_path_text(service_dir).value_or(service_text);
    const std::filesystem::path binary(win32::to_wide(binary_path));
    if (const auto canonical = canonical_path_text(binary)) {
        if (!is_within_directory(*canonical, canonical_service))
            return fail("binary_path must reside within the service directory: " + given);
    } else if (binary.has_parent_path()) {
        const auto canonical_parent = canonical_path_text(binary.parent_path());
        if (canonical_parent && !is_within_directory(*canonical_parent, canonical_service))
            return fail("binary_path parent must reside within the service directory: " + given);
    }
    if (has_reparse_point(binary)) return fail("binary_path resolves through a reparse point: " + given);
    return {};
}

Result<std::string> validate_source_path(std::string_view source_path, const std::filesystem::path& service_dir) {
    if (auto plain = check_source_path_text(source_path); !plain) return fail(plain.error());
    const std::string given(source_path);
    const std::filesystem::path source(win32::to_wide(source_path));
    if (!metadata_following_links(source)) return fail("source_path does not exist: " + given);
    if (has_reparse_point(source)) return fail("source_path or its ancestor is a reparse point: " + given);
    if (!is_windows_executable(source)) return fail("source_path is not a valid Windows executable: " + given);
    if (auto placed = check_source_directory(source_path, canonical_path_text(source).value_or(std::string()),
                                             win32::path_text(service_dir), authorized_folders_from_environment());
        !placed)
        return fail(placed.error());
    if (auto guarded = check_strict_mode_path("source_path " + given, source); !guarded) return fail(guarded.error());
    return given;
}

}  // namespace zorv::security
