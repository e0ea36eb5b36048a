#include "common/text.hpp"

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <clocale>
#include <cwctype>
#endif

namespace zorv::text {

std::string option_form(const std::optional<std::string>& value) {
    return value ? "Some(" + quoted(*value) + ")" : "None";
}
std::string option_form(const std::optional<std::int64_t>& value) {
    return value ? "Some(" + std::to_string(*value) + ")" : "None";
}
std::string option_form(const std::optional<std::uint32_t>& value) {
    return value ? "Some(" + std::to_string(*value) + ")" : "None";
}

std::string ascii_upper(std::string_view value) {
    std::string out(value);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string ascii_lower(std::string_view value) {
    std::string out(value);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool iequals_ascii(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ascii_lower(a) == ascii_lower(b);
}

namespace {
bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
}  // namespace

std::string_view trim(std::string_view value) {
    while (!value.empty() && is_space(static_cast<unsigned char>(value.front()))) value.remove_prefix(1);
    while (!value.empty() && is_space(static_cast<unsigned char>(value.back()))) value.remove_suffix(1);
    return value;
}

bool is_blank(std::string_view value) { return trim(value).empty(); }

namespace {
constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at `pos`; returns the code point (or U+FFFD for an
// invalid sequence) and advances `pos` past what was consumed.
char32_t decode_one(std::string_view s, std::size_t& pos, bool& valid) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(pos);
    valid = true;
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    std::size_t length = 0;
    char32_t cp = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) { length = 2; cp = lead & 0x1F; }
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3; cp = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4; cp = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        ++pos;
        valid = false;
        return kReplacement;
    }
    std::size_t i = 1;
    for (; i < length; ++i) {
        if (pos + i >= s.size()) break;
        const unsigned char b = byte(pos + i);
        const unsigned char min = (i == 1) ? lo : 0x80;
        const unsigned char max = (i == 1) ? hi : 0xBF;
        if (b < min || b > max) break;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (i < length) {
        // Maximal subpart of an ill-formed sequence becomes one U+FFFD.
        pos += i;
        valid = false;
        return kReplacement;
    }
    pos += length;
    return cp;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}
// Controls, line and paragraph separators, and the bidirectional embeddings,
// overrides and isolates, which can make a line read as something else.
bool needs_escape(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

void append_escape(std::string& out, char32_t cp) {
    switch (cp) {
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        case '\0': out += "\\0"; return;
        default: break;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string digits;
    for (char32_t rest = cp; rest != 0 || digits.empty(); rest >>= 4) digits.insert(digits.begin(), kHex[rest & 0xF]);
    out += "\\u{" + digits + "}";
}

// Shared by log_safe and quoted; `quote_syntax` also escapes backslash and double quote.
std::string escaped(std::string_view value, bool quote_syntax) {
    std::string out;
    out.reserve(value.size());
    std::size_t pos = 0;
    bool valid = true;
    while (pos < value.size()) {
        const char32_t cp = decode_one(value, pos, valid);
        if (needs_escape(cp)) append_escape(out, cp);
        else if (quote_syntax && (cp == '"' || cp == '\\')) {
            out.push_back('\\');
            out.push_back(static_cast<char>(cp));
        } else append_utf8(out, cp);
    }
    return out;
}

}  // namespace

std::u32string decode_utf8(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    std::size_t pos = 0;
    bool valid = true;
    while (pos < bytes.size()) out.push_back(decode_one(bytes, pos, valid));
    return out;
}

std::string encode_utf8(std::u32string_view code_points) {
    std::string out;
    out.reserve(code_points.size());
    for (char32_t cp : code_points) append_utf8(out, cp);
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t pos = 0;
    bool valid = true;
    while (pos < bytes.size()) {
        decode_one(bytes, pos, valid);
        if (!valid) return false;
    }
    return true;
}

std::string sanitize_utf8(std::string_view bytes) {
    if (is_valid_utf8(bytes)) return std::string(bytes);
    return encode_utf8(decode_utf8(bytes));
}

std::string log_safe(std::string_view value) { return escaped(value, false); }

std::string log_safe_block(std::string_view value) {
    std::string out;
    for (std::string_view line : split_lines(value)) {
        if (!out.empty()) out.push_back('\n');
        out += "  | ";
        out += log_safe(line);
    }
    return out;
}

std::string quoted(std::string_view value) { return "\"" + escaped(value, true) + "\""; }

char32_t unicode_lower_char(char32_t cp) {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
#ifdef _WIN32
    if (cp > 0xFFFF) return cp;
    wchar_t w = static_cast<wchar_t>(cp);
    ::CharLowerBuffW(&w, 1);
    return static_cast<char32_t>(w);
#else
    [[maybe_unused]] static const bool locale_ready = [] { return std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr; }();
    return static_cast<char32_t>(std::towlower(static_cast<wint_t>(cp)));
#endif
}

bool is_unicode_alnum(char32_t cp) {
    if (cp < 0x80) {
        return (cp >= '0' && cp <= '9') || (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
    }
#ifdef _WIN32
    if (cp > 0xFFFF) return false;
    wchar_t w = static_cast<wchar_t>(cp);
    WORD type = 0;
    if (!::GetStringTypeW(CT_CTYPE1, &w, 1, &type)) return false;
    return (type & (C1_ALPHA | C1_DIGIT)) != 0;
#else
    [[maybe_unused]] static const bool locale_ready = [] { return std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr; }();
    return std::iswalnum(static_cast<wint_t>(cp)) != 0;
#endif
}

std::string unicode_lower(std::string_view value) {
    std::u32string cps = decode_utf8(value);
    for (char32_t& cp : cps) cp = unicode_lower_char(cp);
    return encode_utf8(cps);
}

std::string hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::vector<std::string_view> split_lines(std::string_view value) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < value.size()) {
        std::size_t end = value.find('\n', start);
        std::string_view line = value.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return lines;
}

}  // namespace zorv::text
