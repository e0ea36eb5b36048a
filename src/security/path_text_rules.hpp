#pragma once
// Rules over the text of client-supplied paths. Pure functions on UTF-8 path
// text with no platform calls, so that they also build natively (fuzzing).
// The file-system side of the checks is in path_checks.hpp.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace zorv::security {

inline constexpr std::string_view kCoreExecutableName = "sing-box.exe";

// The text without a leading verbatim prefix "\\?\".
std::string_view strip_verbatim_prefix(std::string_view path);

// A C0 or C1 control character or DEL anywhere in the text (NUL included).
bool has_control_character(std::string_view path);

// A drive-letter path with a root ("D:\..." or "D:/...") and no further colon
// or control character, whose text names what Win32 opens. Decided on the
// text alone, before anything touches the file system: UNC, device ("\\?\",
// "\\.\"), relative, drive-relative and alternate-data-stream paths are not
// plain; neither is a path with a NUL, where Windows would stop reading, nor
// one with a component that Win32 trims (a trailing dot or space, other than
// "." and "..") or reads as a device (CON, NUL, COM1, "nul.txt", ...).
bool is_plain_local_path(std::string_view path);

// The last named component, ignoring the drive/UNC/device prefix, trailing
// separators and "." components; nullopt when there is none or it is "..".
std::optional<std::string_view> last_component(std::string_view path);
// The last component is valid UTF-8 and equals "sing-box.exe" ignoring ASCII case.
bool names_core_executable(std::string_view path);

// A path reduced to the form in which containment is decided: verbatim prefix
// removed ("\\?\UNC\" becomes "\\"), case kept, '\' as the only separator,
// repeated separators collapsed, "." dropped, ".." resolved and trailing dots
// trimmed the way Win32 normalises path text.
struct NormalizedPath {
    std::string root;  // "d:\", "\\server\share\", "\" or "" (relative)
    std::vector<std::string> components;

    std::string text() const;  // root followed by the components joined by '\'
};
NormalizedPath normalize_path(std::string_view path);

// `path` lies at or below `directory`, compared component by component (so
// D:\svc2 is not inside D:\svc) and name by name as the file system compares
// names (text::equal_ignoring_case). Roots must match; a relative or empty
// directory contains nothing.
bool is_within_directory(std::string_view path, std::string_view directory);

// Binary path rules 1 to 3 (name, plain local path, inside the service
// directory): fails with the first failing rule's message.
Status check_binary_path_text(std::string_view binary_path, std::string_view service_dir);

// Source path rules 1 and 2 (plain local path, name).
Status check_source_path_text(std::string_view source_path);

// Values of the folder variables that authorize a source; unset ones are nullopt.
struct AuthorizedFolders {
    std::optional<std::string> program_files;
    std::optional<std::string> program_files_x86;
    std::optional<std::string> user_profile;
    std::optional<std::string> local_app_data;
    std::optional<std::string> app_data;
};

// Source path rules 6 and 7 (untrusted, then authorized directories).
// `canonical_path` is the file's final path when it could be obtained (empty
// otherwise); untrusted fragments are also looked for there, so that short
// 8.3 names or links cannot hide a download folder.
Status check_source_directory(std::string_view source_path, std::string_view canonical_path,
                              std::string_view service_dir, const AuthorizedFolders& folders);

}  // namespace zorv::security
