#pragma once
// File-system side of the path rules: links, executables, canonical forms.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zorv::security {

// Added to every open of a path a client chose: should it lead to a named
// pipe, its server may identify the helper but never act as it.
inline constexpr DWORD kCallerPathOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

struct FileMetadata {
    std::uint64_t size = 0;
    std::uint32_t attributes = 0;
};

// Metadata of what the path leads to (links followed); nullopt when unreadable.
std::optional<FileMetadata> metadata_following_links(const std::filesystem::path& path);
// Attributes of the path's own entry (a link is not followed).
std::optional<std::uint32_t> attributes_without_following(const std::filesystem::path& path);

// The two lookups the reparse point check makes, replaceable in tests.
struct ReparseLookups {
    std::function<bool(const std::filesystem::path&)> readable_following_links;
    std::function<std::optional<std::uint32_t>(const std::filesystem::path&)> attributes_without_following;
};
// True when the path or any existing ancestor is a reparse point of any kind.
bool has_reparse_point(const std::filesystem::path& path, const ReparseLookups& lookups);
bool has_reparse_point(const std::filesystem::path& path);

// "MZ" header whose PE offset (at 60) is non-zero, inside the file and points at "PE\0\0".
bool is_windows_executable(const std::filesystem::path& path);

// Final path with links resolved (GetFinalPathNameByHandleW), as "\\?\D:\..." text.
std::optional<std::string> canonical_path_text(const std::filesystem::path& path);

// Binary path rules: success, or the first failing rule's message.
Status check_binary_path(std::string_view binary_path, const std::filesystem::path& service_dir);
// Source path rules: the path unchanged, or the first failing rule's message.
Result<std::string> validate_source_path(std::string_view source_path, const std::filesystem::path& service_dir);

}  // namespace zorv::security
