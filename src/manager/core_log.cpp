#include "manager/core_log.hpp"

#include <windows.h>

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "common/file_reading.hpp"
#include "common/product.hpp"
#include "common/text.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"

namespace zorv::manager {

namespace {
constexpr LONGLONG kTailWindow = 32 * 1024;
constexpr std::uint64_t kShredChunk = 1 << 20;

bool metadata_readable(const std::filesystem::path& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
    return ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
}

// Overwrites the file in place with zeros for its whole length, flushes it
// and deletes it.
ShredOutcome overwrite_and_delete(const std::filesystem::path& path) {
    ShredOutcome outcome;
    {
        // Opened as it is (no truncation), so that the zeros land on the
        // clusters that hold the old text rather than on fresh ones.
        win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
        LARGE_INTEGER size{};
        if (!file) {
            outcome.overwrite_error = win32::last_os_error();
        } else if (!::GetFileSizeEx(file.get(), &size)) {
            outcome.overwrite_error = win32::last_os_error();
        } else {
            outcome.size = static_cast<std::uint64_t>(size.QuadPart);
            const std::vector<char> zeros(static_cast<std::size_t>(std::min<std::uint64_t>(outcome.size, kShredChunk)));
            while (outcome.zeroed < outcome.size) {
                const auto chunk =
                    static_cast<DWORD>(std::min<std::uint64_t>(outcome.size - outcome.zeroed, kShredChunk));
                DWORD written = 0;
                if (!::WriteFile(file.get(), zeros.data(), chunk, &written, nullptr) || written == 0) {
                    outcome.overwrite_error = win32::last_os_error();
                    break;
                }
                outcome.zeroed += written;
            }
            if (!outcome.overwrite_error && !::FlushFileBuffers(file.get()))
                outcome.overwrite_error = win32::last_os_error();
        }
    }
    if (!::DeleteFileW(path.c_str())) outcome.delete_error = win32::last_os_error();
    return outcome;
}
}  // namespace

std::string read_core_log_tail(const std::filesystem::path& path, std::size_t max_lines,
                               std::optional<std::uint64_t> session_start) {
    // Lines before the session's header belong to other sessions, perhaps
    // other clients: without a known start nothing is quoted.
    if (!session_start) return {};
    win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size)) return {};
    // A file shorter than the session start was rotated or replaced since.
    if (static_cast<std::uint64_t>(size.QuadPart) < *session_start) return {};
    LARGE_INTEGER offset;
    offset.QuadPart = std::max(size.QuadPart > kTailWindow ? size.QuadPart - kTailWindow : 0,
                               static_cast<LONGLONG>(*session_start));
    if (!::SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN)) return {};

    // The core may still be writing: what it adds past the window is not read.
    const auto bytes = win32::read_at_most(file.get(), static_cast<std::size_t>(kTailWindow));
    if (!bytes) return {};

    const std::string content = text::sanitize_utf8(*bytes);
    std::vector<std::string_view> kept;
    for (std::string_view line : text::split_lines(content))
        if (!text::is_blank(line)) kept.push_back(line);
    const std::size_t first = kept.size() > max_lines ? kept.size() - max_lines : 0;
    std::string tail;
    for (std::size_t i = first; i < kept.size(); ++i) {
        if (!tail.empty()) tail.push_back('\n');
        tail.append(kept[i]);
    }
    return tail;
}

ShredReport shred_report(const ShredOutcome& outcome, std::string_view path) {
    const bool overwritten = !outcome.overwrite_error;
    const bool deleted = !outcome.delete_error;
    if (overwritten && deleted)
        return {log::Level::Info, fmt::format("[security] Shredded and deleted stale plaintext config file: {}", path)};
    const std::string overwrite_text =
        overwritten ? fmt::format("overwrote all {} bytes with zeros", outcome.size)
                    : fmt::format("failed to overwrite it ({} of {} bytes zeroed): {}", outcome.zeroed, outcome.size,
                                  outcome.overwrite_error->one_line());
    const std::string delete_text = deleted ? "deleted it" : "failed to delete it: " + outcome.delete_error->one_line();
    return {deleted ? log::Level::Warn : log::Level::Error,
            fmt::format("[security] Stale plaintext config file {}: {}; {}", path, overwrite_text, delete_text)};
}

void shred_stale_configuration(const std::filesystem::path& directory) {
    if (directory.empty()) return;
    const std::filesystem::path path = directory / product::kCoreConfigFile;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!metadata_readable(path, data)) return;
    const ShredReport report = shred_report(overwrite_and_delete(path), win32::path_text(path));
    log::write(report.level, log::target::manager, report.message);
}

}  // namespace zorv::manager
