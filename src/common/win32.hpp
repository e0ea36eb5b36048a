#pragma once
// Thin Win32 helpers: owned handles, UTF-16 conversion, system errors.

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/error.hpp"

namespace zorv::win32 {

// Owns one kernel handle; INVALID_HANDLE_VALUE and null both mean empty.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return valid(); }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() { return std::exchange(handle_, nullptr); }
    void reset(HANDLE handle = nullptr) {
        HANDLE old = std::exchange(handle_, handle);
        if (old != nullptr && old != INVALID_HANDLE_VALUE) ::CloseHandle(old);
    }

private:
    HANDLE handle_ = nullptr;
};

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

// Full path of the running executable.
Result<std::filesystem::path> current_exe_path();
// Directory of the running executable; then the working directory; then ".".
std::filesystem::path executable_dir_or_fallback();

// Environment variable as UTF-8; nullopt when unset or not valid UTF-16.
std::optional<std::string> env_var(const wchar_t* name);

}  // namespace zorv::win32
