#include "manager/core_log.hpp"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/file_reading.hpp"
#include "common/text.hpp"
#include "common/unique_resource.hpp"

namespace zorv::manager {

namespace {
constexpr LONGLONG kTailWindow = 32 * 1024;
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

}  // namespace zorv::manager
