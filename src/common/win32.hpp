#pragma once
// Thin Win32 helpers: UTF-16 conversion, system errors, the executable's path.

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/unique_resource.hpp"

namespace zorv::win32 {

std::wstring to_wide(std::string_view utf8);
// Lossy: invalid UTF-16 becomes U+FFFD.
std::string from_wide(std::wstring_view utf16);
std::string path_text(const std::filesystem::path& path);

// The platform's message for a Win32 error code, with the code appended.
std::string error_text(DWORD code);
Error os_error(DWORD code);
inline Error last_os_error() { return os_error(::GetLastError()); }
// A wait of the helper's that ran out of time: `message` over ERROR_TIMEOUT.
inline Error deadline_error(std::string message) { return os_error(ERROR_TIMEOUT).context(std::move(message)); }
inline bool is_deadline_error(const Error& error) { return error.os_code() == ERROR_TIMEOUT; }
// The file or a folder on its way does not exist.
inline bool is_not_found_error(const Error& error) {
    return error.os_code() == ERROR_FILE_NOT_FOUND || error.os_code() == ERROR_PATH_NOT_FOUND;
}
// A CNG call's failure: "{call} failed with status 0x........".
Error cng_error(std::string_view call, LONG status);

// Full path of the running executable.
Result<std::filesystem::path> current_exe_path();
// Directory of the running executable; then the working directory; then ".".
std::filesystem::path executable_dir_or_fallback();

// The words of a command line as CommandLineToArgvW splits it (for an empty
// line, the system answers with the running program's own path).
Result<std::vector<std::wstring>> command_line_words(const wchar_t* line);

// Environment variable as UTF-8; nullopt when unset or not valid UTF-16.
std::optional<std::string> env_var(const wchar_t* name);

}  // namespace zorv::win32
