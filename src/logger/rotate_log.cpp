#include "logger/rotate_log.hpp"

#include <windows.h>

#include "common/win32.hpp"

namespace zorv::logger {

namespace {

bool path_exists(const std::filesystem::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
}

Result<std::uint64_t> size_on_disk(const std::filesystem::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return fail(win32::last_os_error());
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void remove_quietly(const std::filesystem::path& path) { ::DeleteFileW(path.c_str()); }

void rename_quietly(const std::filesystem::path& from, const std::filesystem::path& to) {
    ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::wstring part_or_log(const std::filesystem::path& part) {
    return part.empty() ? std::wstring(L"log") : part.native();
}

}  // namespace

std::filesystem::path rotated_path(const std::filesystem::path& current, std::uint64_t number) {
    std::filesystem::path parent = current.parent_path();
    if (parent.empty()) parent = L".";
    const std::wstring stem = part_or_log(current.stem());
    std::wstring extension = current.extension().native();
    if (!extension.empty() && extension.front() == L'.') extension.erase(0, 1);
    if (extension.empty()) extension = L"log";
    return parent / (stem + L"." + std::to_wstring(number) + L"." + extension);
}

Status rotate_log(const std::filesystem::path& current, std::uint64_t threshold, std::uint64_t max_files) {
    if (!path_exists(current)) return {};
    auto size = size_on_disk(current);
    if (!size) return fail(size.error());
    if (*size < threshold) return {};
    if (max_files == 0) {
        remove_quietly(current);
        return {};
    }
    const auto oldest = rotated_path(current, max_files);
    if (path_exists(oldest)) remove_quietly(oldest);
    for (std::uint64_t n = max_files - 1; n >= 1; --n) {
        const auto from = rotated_path(current, n);
        if (path_exists(from)) {
            const auto to = rotated_path(current, n + 1);
            if (path_exists(to)) remove_quietly(to);
            rename_quietly(from, to);
        }
    }
    const auto newest = rotated_path(current, 1);
    if (path_exists(newest)) remove_quietly(newest);
    rename_quietly(current, newest);
    return {};
}

}  // namespace zorv::logger
