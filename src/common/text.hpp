#pragma once
// Small text helpers shared by log lines, messages and path rules. Portable.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorv::text {

// Client text made safe for one log line: every character that could end or
// start a line, steer a terminal or reorder what a reader sees (C0 and C1
// controls, DEL, U+2028 and U+2029, the bidirectional controls U+202A to
// U+202E and U+2066 to U+2069) is written as an escape (\n, \r, \t, \0,
// \u{1b}, \u{2028}, \u{202e}).
// Invalid UTF-8 becomes U+FFFD. Everything else, backslashes included, stays.
std::string log_safe(std::string_view value);

// A multi-line text quoted inside a log record: each line made log_safe and
// indented by "  | ", so that no quoted line starts a line of the log.
std::string log_safe_block(std::string_view value);

// Text in double quotes, escaped as log_safe does and with backslashes and
// double quotes escaped too.
std::string quoted(std::string_view value);

// The optional forms used in log lines: Some("text") / Some(12) / None.
std::string option_form(const std::optional<std::string>& value);
std::string option_form(const std::optional<std::int64_t>& value);
std::string option_form(const std::optional<std::uint32_t>& value);

std::string ascii_upper(std::string_view value);
std::string ascii_lower(std::string_view value);
bool iequals_ascii(std::string_view a, std::string_view b);
std::string_view trim(std::string_view value);
bool is_blank(std::string_view value);

// Replaces invalid UTF-8 sequences with U+FFFD.
std::string sanitize_utf8(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

// Decodes UTF-8 (lossily) into code points and back.
std::u32string decode_utf8(std::string_view bytes);
std::string encode_utf8(std::u32string_view code_points);

// Full Unicode lower case (simple case mapping), as used by path rules.
std::string unicode_lower(std::string_view value);

// Lower-case hexadecimal of every byte.
std::string hex(std::string_view bytes);

// Splits on '\n', dropping a '\r' before it.
std::vector<std::string_view> split_lines(std::string_view value);

}  // namespace zorv::text

namespace zorv::text {
// Letter or digit of any script.
bool is_unicode_alnum(char32_t code_point);
char32_t unicode_lower_char(char32_t code_point);
}  // namespace zorv::text
