#include "manager/stale_config.hpp"

#include <windows.h>

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "common/product.hpp"
#include "common/unique_resource.hpp"
#include "common/win32.hpp"

namespace zorv::manager {

namespace {
constexpr std::uint64_t kShredChunk = 1 << 20;

bool metadata_readable(const std::filesystem::path& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
    return ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
}
}  // namespace

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
