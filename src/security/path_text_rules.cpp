#include "security/path_text_rules.hpp"

#include <algorithm>
#include <array>

#include "common/name_comparison.hpp"
#include "common/text.hpp"

namespace zorv::security {

namespace {

constexpr std::string_view kVerbatimPrefix = "\\\\?\\";

constexpr std::array<std::string_view, 5> kUntrustedFragments = {
    "\\temp\\", "\\tmp\\", "\\downloads\\", "\\users\\public\\", "\\desktop\\"};
constexpr std::array<std::string_view, 2> kProgramFilesFragments = {"\\program files\\", "\\program files (x86)\\"};
constexpr std::array<std::string_view, 2> kSharedDataFragments = {"\\programdata\\", "\\users\\"};
constexpr std::array<std::string_view, 3> kBuildOutputFragments = {"\\resources\\", "\\target\\", "\\bin\\"};
// The folders above in words, for the refusal a client developer reads.
constexpr std::string_view kAuthorizedSourceFolders =
    "Program Files, ProgramData, a user's profile (a folder under \\Users\\), the service directory, "
    "or a folder named bin, target or resources";
constexpr std::array<std::string_view, 6> kDeviceNames = {"con", "prn", "aux", "nul", "conin$", "conout$"};

bool is_separator(char c) { return c == '\\' || c == '/'; }
bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool starts_with_unc(std::string_view text) {
    return text.size() >= 4 && text::ascii_lower(text.substr(0, 3)) == "unc" && text[3] == '\\';
}

// Index just past the component that starts at `pos` (at the next separator or the end).
std::size_t end_of_component(std::string_view text, std::size_t pos) {
    while (pos < text.size() && !is_separator(text[pos])) ++pos;
    return pos;
}

// Length of the drive, UNC or device prefix that no component belongs to.
std::size_t prefix_length(std::string_view path) {
    if (path.starts_with(kVerbatimPrefix)) {
        const std::string_view rest = path.substr(kVerbatimPrefix.size());
        if (starts_with_unc(rest)) {
            const std::size_t server_end = end_of_component(path, kVerbatimPrefix.size() + 4);
            return server_end < path.size() ? end_of_component(path, server_end + 1) : server_end;
        }
        if (rest.size() >= 2 && is_ascii_letter(rest[0]) && rest[1] == ':') return kVerbatimPrefix.size() + 2;
        return end_of_component(path, kVerbatimPrefix.size());
    }
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        if (path.size() >= 4 && (path[2] == '.' || path[2] == '?') && is_separator(path[3]))
            return end_of_component(path, 4);
        const std::size_t server_end = end_of_component(path, 2);
        return server_end < path.size() ? end_of_component(path, server_end + 1) : server_end;
    }
    if (path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':') return 2;
    return 0;
}

std::vector<std::string_view> split_components(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = end_of_component(text, pos);
        if (end > pos) parts.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return parts;
}

// Segments made of dots and spaces are read differently by Win32 and by the
// kernel; anything of that kind other than "." is taken as a step up, which
// errs toward leaving a directory rather than staying inside one.
bool is_parent_like(std::string_view segment) {
    const auto trimmed_end = segment.find_last_not_of(' ');
    if (trimmed_end == std::string_view::npos) return false;
    const std::string_view core = segment.substr(0, trimmed_end + 1);
    return std::count(core.begin(), core.end(), '.') >= 2 && core.find_first_not_of(". ") == std::string_view::npos;
}

bool is_current_like(std::string_view segment) {
    const auto trimmed_end = segment.find_last_not_of(' ');
    return trimmed_end != std::string_view::npos && segment.substr(0, trimmed_end + 1) == ".";
}

template <std::size_t N>
bool contains_any(std::string_view text, const std::array<std::string_view, N>& fragments) {
    return std::any_of(fragments.begin(), fragments.end(),
                       [&](std::string_view fragment) { return text::contains_ignoring_case(text, fragment); });
}

bool within_folder_variable(std::string_view path, const std::optional<std::string>& folder) {
    return folder && is_within_directory(path, *folder);
}

// '\' as the only separator: the text the fragments are matched against.
std::string fragment_text(std::string_view path) {
    std::string text(strip_verbatim_prefix(path));
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

}  // namespace

std::string_view strip_verbatim_prefix(std::string_view path) {
    if (path.starts_with(kVerbatimPrefix)) path.remove_prefix(kVerbatimPrefix.size());
    return path;
}

bool has_control_character(std::string_view path) {
    for (char32_t cp : text::decode_utf8(path))
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return true;
    return false;
}

// The base name decides, whatever the extension: "nul.txt" is NUL too.
bool names_a_device(std::string_view component) {
    std::string_view base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    if (std::any_of(kDeviceNames.begin(), kDeviceNames.end(),
                    [&](std::string_view device) { return text::equal_ignoring_case(base, device); }))
        return true;
    // The three letters may be spelled with characters that upper-case to
    // them, so their length in bytes is found rather than assumed.
    std::optional<std::string_view> number;
    for (std::size_t length = 3; length <= base.size() && length <= 12 && !number; ++length) {
        const std::string_view letters = base.substr(0, length);
        if (text::equal_ignoring_case(letters, "com") || text::equal_ignoring_case(letters, "lpt"))
            number = base.substr(length);
    }
    if (!number) return false;
    // COM1 to COM9, and the superscript forms Windows also takes as devices.
    return (number->size() == 1 && (*number)[0] >= '1' && (*number)[0] <= '9') || *number == "\xC2\xB9" ||
           *number == "\xC2\xB2" || *number == "\xC2\xB3";
}

bool is_plain_local_path(std::string_view path) {
    // Windows stops reading a path at a NUL, so the text the rules see would
    // not be the file that is opened; other control characters have no place
    // in a file name either.
    if (has_control_character(path)) return false;
    // "D:\" or "D:/" at the start also rules out "\\server\", "\\?\", "\\.\",
    // "\??\", relative and drive-relative forms.
    if (path.size() < 3 || !is_ascii_letter(path[0]) || path[1] != ':' || !is_separator(path[2])) return false;
    if (path.find(':', 2) != std::string_view::npos) return false;
    // Names that Win32 reads as something other than their text: trailing
    // dots and spaces are trimmed ("x." and "x. ." open "x"), and device
    // names lead out of the file system.
    for (std::string_view component : split_components(path.substr(3))) {
        if (component == "." || component == "..") continue;
        if (component.back() == '.' || component.back() == ' ' || names_a_device(component)) return false;
    }
    return true;
}

std::optional<std::string_view> last_component(std::string_view path) {
    const std::vector<std::string_view> parts = split_components(path.substr(prefix_length(path)));
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        if (*it == ".") continue;
        if (*it == "..") return std::nullopt;
        return *it;
    }
    return std::nullopt;
}

bool names_core_executable(std::string_view path) {
    const auto name = last_component(path);
    return name && text::is_valid_utf8(*name) && name->size() == kCoreExecutableName.size() &&
           text::iequals_ascii(*name, kCoreExecutableName);
}

std::string NormalizedPath::text() const {
    std::string out = root;
    for (std::size_t i = 0; i < components.size(); ++i) {
        if (i > 0) out.push_back('\\');
        out += components[i];
    }
    return out;
}

NormalizedPath normalize_path(std::string_view path) {
    std::string_view rest = path;
    bool verbatim_unc = false;
    if (rest.starts_with(kVerbatimPrefix)) {
        rest.remove_prefix(kVerbatimPrefix.size());
        if (starts_with_unc(rest)) {
            rest.remove_prefix(4);
            verbatim_unc = true;
        }
    }
    std::string separated(rest);
    std::replace(separated.begin(), separated.end(), '/', '\\');
    if (verbatim_unc) separated.insert(0, "\\\\");

    NormalizedPath out;
    std::string_view body = separated;
    if (body.starts_with("\\\\")) {
        // Server and share (or "." / "?" and a device name) form the root.
        const std::vector<std::string_view> parts = split_components(body);
        std::size_t taken = 0;
        out.root = "\\\\";
        std::size_t consumed = 2;
        for (; taken < 2 && taken < parts.size(); ++taken) {
            out.root += std::string(parts[taken]) + "\\";
            consumed = static_cast<std::size_t>(parts[taken].data() - body.data()) + parts[taken].size();
        }
        body.remove_prefix(std::min(consumed, body.size()));
    } else if (body.size() >= 2 && is_ascii_letter(body[0]) && body[1] == ':') {
        const bool rooted = body.size() >= 3 && body[2] == '\\';
        out.root = std::string(body.substr(0, rooted ? 3 : 2));
        body.remove_prefix(rooted ? 3 : 2);
    } else if (body.starts_with("\\")) {
        out.root = "\\";
        body.remove_prefix(1);
    }

    for (std::string_view segment : split_components(body)) {
        if (is_current_like(segment)) continue;
        if (is_parent_like(segment)) {
            if (!out.components.empty() && out.components.back() != "..") out.components.pop_back();
            else if (out.root.empty()) out.components.emplace_back("..");
            continue;
        }
        out.components.emplace_back(segment);
    }
    return out;
}

bool is_within_directory(std::string_view path, std::string_view directory) {
    const NormalizedPath dir = normalize_path(directory);
    if (dir.root.empty()) return false;
    const NormalizedPath candidate = normalize_path(path);
    if (!text::equal_ignoring_case(candidate.root, dir.root) || candidate.components.size() < dir.components.size())
        return false;
    return std::equal(dir.components.begin(), dir.components.end(), candidate.components.begin(),
                      [](const std::string& a, const std::string& b) { return text::equal_ignoring_case(a, b); });
}

Status check_binary_path_text(std::string_view binary_path, std::string_view service_dir) {
    const std::string given(binary_path);
    if (!names_core_executable(binary_path)) return fail("binary_path must point to sing-box.exe, got: " + given);
    if (!is_plain_local_path(binary_path)) return fail("binary_path is not a valid plain local path: " + given);
    if (!is_within_directory(binary_path, service_dir))
        return fail("binary_path must reside within the service directory: " + given);
    return {};
}

Status check_source_path_text(std::string_view source_path) {
    const std::string given(source_path);
    if (!is_plain_local_path(source_path)) return fail("source_path is not a valid plain local path: " + given);
    if (!names_core_executable(source_path)) return fail("source_path must point to sing-box.exe, got: " + given);
    return {};
}

Status check_source_directory(std::string_view source_path, std::string_view canonical_path,
                              std::string_view service_dir, const AuthorizedFolders& folders) {
    const std::string given(source_path);
    const std::string normalized = normalize_path(source_path).text();

    // Untrusted wins over every authorization; look in every form of the path.
    bool untrusted = contains_any(fragment_text(source_path), kUntrustedFragments) ||
                     contains_any(normalized, kUntrustedFragments);
    if (!canonical_path.empty()) {
        untrusted = untrusted || contains_any(fragment_text(canonical_path), kUntrustedFragments) ||
                    contains_any(normalize_path(canonical_path).text(), kUntrustedFragments);
    }
    if (untrusted) return fail("source_path is located in an untrusted directory: " + given);

    const bool authorized = contains_any(normalized, kProgramFilesFragments) ||
                            within_folder_variable(source_path, folders.program_files) ||
                            within_folder_variable(source_path, folders.program_files_x86) ||
                            is_within_directory(source_path, service_dir) ||
                            contains_any(normalized, kSharedDataFragments) ||
                            within_folder_variable(source_path, folders.user_profile) ||
                            within_folder_variable(source_path, folders.local_app_data) ||
                            within_folder_variable(source_path, folders.app_data) ||
                            contains_any(normalized, kBuildOutputFragments);
    if (!authorized)
        return fail("source_path is not in an authorized directory (" + std::string(kAuthorizedSourceFolders) +
                    "): " + given);
    return {};
}

}  // namespace zorv::security
