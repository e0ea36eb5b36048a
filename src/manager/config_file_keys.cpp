#include "manager/config_file_keys.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "common/name_comparison.hpp"
#include "common/text.hpp"
#include "security/path_text_rules.hpp"

namespace zorv::manager {

namespace {

using json = nlohmann::json;

// The decoder the core uses gives up beyond this depth, so a deeper text
// never configures it.
constexpr std::size_t kMaxDepth = 10000;

constexpr std::array<std::string_view, 2> kNeverLoadedSuffixes = {".exe", ".dll"};

bool is_separator(char c) { return c == '\\' || c == '/'; }

// No drive, no root, no stream: text the core resolves against its working directory.
bool is_relative_text(std::string_view value) {
    return !is_separator(value.front()) && value.find(':') == std::string_view::npos;
}

bool has_parent_step(std::string_view value) {
    std::size_t begin = 0;
    while (begin <= value.size()) {
        std::size_t end = begin;
        while (end < value.size() && !is_separator(value[end])) ++end;
        if (value.substr(begin, end - begin) == "..") return true;
        begin = end + 1;
    }
    return false;
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The UTF-16 unit of a "\uXXXX" escape at `at`, if there is one.
std::optional<unsigned> escaped_unit(std::string_view text, std::size_t at) {
    if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return std::nullopt;
    if (!std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at + 2),
                     text.begin() + static_cast<std::ptrdiff_t>(at + 6), is_hex))
        return std::nullopt;
    return static_cast<unsigned>(std::stoul(std::string(text.substr(at + 2, 4)), nullptr, 16));
}

bool is_high_surrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The length of the comment that starts at `at`, 0 when none does.
std::size_t comment_length(std::string_view text, std::size_t at) {
    if (text.compare(at, 2, "//") != 0 && text.compare(at, 2, "/*") != 0) return 0;
    const bool line = text[at + 1] == '/';
    const std::size_t end = text.find(line ? "\n" : "*/", at + 2);
    return end == std::string_view::npos ? text.size() - at : end + (line ? 1 : 2) - at;
}

// Copies the escape at `at`, an unpaired surrogate as U+FFFD; its length.
std::size_t copy_escape(std::string_view text, std::size_t at, std::string& out) {
    const auto unit = escaped_unit(text, at);
    if (!unit) {
        const std::size_t length = std::min<std::size_t>(2, text.size() - at);
        out.append(text.substr(at, length));
        return length;
    }
    const auto next = escaped_unit(text, at + 6);
    if (is_high_surrogate(*unit) && next && is_low_surrogate(*next)) {
        out.append(text.substr(at, 12));
        return 12;
    }
    const bool unpaired = is_high_surrogate(*unit) || is_low_surrogate(*unit);
    out.append(unpaired ? std::string_view("\\ufffd") : text.substr(at, 6));
    return 6;
}

// The text as the core's decoder reads it: invalid UTF-8, and escapes of
// unpaired surrogates, stand for U+FFFD there, where the parser here would
// stop; without this such a text would pass unchecked and still configure
// the core. Comments are passed over whole, so that a quote inside one is
// not taken for the start of a string.
std::string as_the_core_reads_it(std::string_view configuration) {
    const std::string sanitized = text::sanitize_utf8(configuration);
    const std::string_view text = sanitized;
    std::string out;
    out.reserve(text.size());
    bool in_string = false;
    for (std::size_t at = 0; at < text.size();) {
        if (const std::size_t comment = in_string ? 0 : comment_length(text, at); comment > 0) {
            out.append(text.substr(at, comment));
            at += comment;
        } else if (in_string && text[at] == '\\') {
            at += copy_escape(text, at, out);
        } else {
            if (text[at] == '"') in_string = !in_string;
            out.push_back(text[at++]);
        }
    }
    return out;
}

struct Frame {
    bool array = false;
    std::string key;     // objects: the member being read, as written
    std::string folded;  // ... and folded
    std::size_t index = 0;  // arrays: the element being read
};

// Walks every member of the text and keeps the first file key refused; the
// walk goes on to the end, since only a text that parses whole configures
// the core.
class FileKeyWalk final : public nlohmann::json_sax<json> {
public:
    FileKeyWalk(std::string_view service_dir, bool strict) : service_dir_(service_dir), strict_(strict) {}

    const std::optional<std::string>& refusal() const { return refusal_; }

    bool null() override { return next_element(); }
    bool boolean(bool) override { return next_element(); }
    bool number_integer(number_integer_t) override { return next_element(); }
    bool number_unsigned(number_unsigned_t) override { return next_element(); }
    bool number_float(number_float_t, const string_t&) override { return next_element(); }
    bool binary(binary_t&) override { return next_element(); }
    bool string(string_t& value) override {
        if (!refusal_) refusal_ = judge(value);
        return next_element();
    }
    bool start_object(std::size_t) override { return enter(false); }
    bool key(string_t& name) override {
        frames_.back().key = name;
        frames_.back().folded = fold_member_name(name);
        return true;
    }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t) override { return enter(true); }
    bool end_array() override { return leave(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    bool enter(bool array) {
        if (frames_.size() >= kMaxDepth) return false;
        frames_.push_back(Frame{array, {}, {}, 0});
        return true;
    }
    bool leave() {
        frames_.pop_back();
        return next_element();
    }
    bool next_element() {
        if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
        return true;
    }

    // The object frame whose member holds the value: the innermost one, or
    // the one just outside an array (members that take one path or a list).
    const Frame* owner() const {
        if (frames_.empty()) return nullptr;
        if (!frames_.back().array) return &frames_.back();
        if (frames_.size() >= 2 && !frames_[frames_.size() - 2].array) return &frames_[frames_.size() - 2];
        return nullptr;
    }

    bool at_path(std::initializer_list<std::string_view> names) const {
        const Frame* member = owner();
        if (member != &frames_.back() || frames_.size() != names.size()) return false;
        return std::equal(frames_.begin(), frames_.end(), names.begin(), [](const Frame& frame, std::string_view name) {
            return !frame.array && frame.folded == name;
        });
    }

    // The core writes these (the geo databases are downloaded there), serves
    // them or runs them.
    bool is_always_held(std::string_view folded) const {
        return folded == "data_directory" || folded == "executable_path" || at_path({"log", "output"}) ||
               at_path({"experimental", "cache_file", "path"}) ||
               at_path({"experimental", "clash_api", "external_ui"}) || at_path({"route", "geoip", "path"}) ||
               at_path({"route", "geosite", "path"});
    }

    std::string dotted_path() const {
        std::string path;
        for (const Frame& frame : frames_) {
            if (frame.array) {
                path += fmt::format("[{}]", frame.index);
                continue;
            }
            if (!path.empty()) path.push_back('.');
            path += text::log_safe(frame.key);
        }
        return path;
    }

    std::optional<std::string> judge(const std::string& value) const {
        const Frame* member = owner();
        if (member == nullptr || !is_file_key(member->folded)) return std::nullopt;
        const bool always = is_always_held(member->folded);
        if (!always && !strict_) return std::nullopt;
        if (file_value_allowed(value, service_dir_)) return std::nullopt;
        const std::string detail = fmt::format("{} must name a file inside the service directory: {}",
                                               dotted_path(), text::log_safe(value));
        return (always ? "Configuration key " : "Strict mode refuses configuration key ") + detail;
    }

    std::string_view service_dir_;
    bool strict_;
    std::vector<Frame> frames_;
    std::optional<std::string> refusal_;
};

}  // namespace

std::string fold_member_name(std::string_view name) {
    std::u32string folded = text::decode_utf8(name);
    for (char32_t& c : folded) {
        if (c == 0x017F) c = U's';       // LATIN SMALL LETTER LONG S
        else if (c == 0x212A) c = U'k';  // KELVIN SIGN
        else c = text::unicode_lower_char(c);
    }
    return text::encode_utf8(folded);
}

bool is_file_key(std::string_view folded_name) {
    return folded_name == "path" || folded_name == "output" || folded_name == "external_ui" ||
           folded_name == "data_directory" || folded_name.ends_with("_path");
}

bool file_value_allowed(std::string_view value, std::string_view service_dir) {
    if (value.empty()) return true;
    std::string resolved(value);
    if (is_relative_text(value)) {
        if (has_parent_step(value)) return false;
        resolved = std::string(service_dir);
        if (resolved.empty() || !is_separator(resolved.back())) resolved.push_back('\\');
        resolved += value;
    }
    if (!security::is_plain_local_path(resolved) || !security::is_within_directory(resolved, service_dir))
        return false;
    const auto directory = security::normalize_path(service_dir).components.size();
    const auto below = security::normalize_path(resolved).components;
    if (below.size() <= directory) return false;
    return std::none_of(below.begin() + static_cast<std::ptrdiff_t>(directory), below.end(),
                        [](const std::string& name) {
                            // Windows drops trailing dots and spaces from a name it opens.
                            std::string_view opened = name;
                            while (!opened.empty() && (opened.back() == '.' || opened.back() == ' '))
                                opened.remove_suffix(1);
                            return std::any_of(kNeverLoadedSuffixes.begin(), kNeverLoadedSuffixes.end(),
                                               [&](std::string_view suffix) {
                                                   return text::ends_with_ignoring_case(opened, suffix);
                                               });
                        });
}

Status check_file_keys(std::string_view configuration, std::string_view service_dir, bool strict) {
    FileKeyWalk walk(service_dir, strict);
    const std::string text = as_the_core_reads_it(configuration);
    if (!json::sax_parse(text, &walk, json::input_format_t::json, /*strict=*/true, /*ignore_comments=*/true))
        return {};
    if (walk.refusal()) return fail(*walk.refusal());
    return {};
}

}  // namespace zorv::manager
