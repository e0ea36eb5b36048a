#include "log_tail.hpp"

#include <windows.h>

#include <algorithm>

#include "common/file_reading.hpp"
#include "common/text.hpp"
#include "common/win32.hpp"

namespace zorv::ctl {

std::vector<std::string_view> last_lines(std::string_view text, std::size_t count, bool starts_mid_file) {
    if (starts_mid_file) {
        const auto first_end = text.find('\n');
        text = first_end == std::string_view::npos ? std::string_view() : text.substr(first_end + 1);
    }
    std::vector<std::string_view> lines;
    if (text.empty()) return lines;
    if (text.ends_with('\n')) text.remove_suffix(1);
    while (lines.size() < count) {
        const auto start = text.rfind('\n');
        std::string_view line = start == std::string_view::npos ? text : text.substr(start + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line);
        if (start == std::string_view::npos) break;
        text = text.substr(0, start);
    }
    std::reverse(lines.begin(), lines.end());
    return lines;
}

std::string printable_line(std::string_view line) {
    std::u32string code_points = text::decode_utf8(text::sanitize_utf8(line));
    for (char32_t& c : code_points) {
        const bool control = (c < 0x20 && c != U'\t') || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
        if (control) c = 0xFFFD;
    }
    return text::encode_utf8(code_points);
}

Result<std::vector<std::string>> read_log_tail(const std::filesystem::path& file, std::size_t count) {
    const std::string shown = win32::path_text(file);
    // Shared with the helper, which keeps the file open for appending.
    win32::UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return fail(win32::last_os_error().context("Failed to open " + shown));
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle.get(), &size)) return fail(win32::last_os_error().context("Failed to read " + shown));
    const std::uint64_t total = static_cast<std::uint64_t>(size.QuadPart);
    const std::uint64_t window = std::min<std::uint64_t>(total, kTailWindow);
    LARGE_INTEGER offset{};
    offset.QuadPart = static_cast<LONGLONG>(total - window);
    if (!::SetFilePointerEx(handle.get(), offset, nullptr, FILE_BEGIN))
        return fail(win32::last_os_error().context("Failed to read " + shown));
    // Shorter than the window when a rotation truncated the file meanwhile.
    const auto content = win32::read_at_most(handle.get(), static_cast<std::size_t>(window));
    if (!content) return fail(content.error().context("Failed to read " + shown));
    std::vector<std::string> lines;
    for (std::string_view line : last_lines(*content, count, offset.QuadPart > 0))
        lines.push_back(printable_line(line));
    return lines;
}

}  // namespace zorv::ctl
