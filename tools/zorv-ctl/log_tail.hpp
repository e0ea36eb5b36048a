#pragma once
// The end of a log file, made safe to print: the helper's log holds text
// that callers sent, and the core writes terminal colour codes.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace zorv::ctl {

// At most this much of the file's end is read, whatever its size.
inline constexpr std::size_t kTailWindow = 4u << 20;

// The last `count` lines of `text`. When `starts_mid_file`, the first line is
// a fragment of a longer one and is dropped. Line ends (LF or CR LF) are
// removed; a final line without one counts.
std::vector<std::string_view> last_lines(std::string_view text, std::size_t count, bool starts_mid_file);

// Valid UTF-8 with every control character but the tab shown as U+FFFD, so
// a line cannot move the cursor, recolour the terminal or start a new line.
std::string printable_line(std::string_view line);

// The last `count` lines of the file, each printable.
Result<std::vector<std::string>> read_log_tail(const std::filesystem::path& file, std::size_t count);

}  // namespace zorv::ctl
