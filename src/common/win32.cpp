#include "common/win32.hpp"

#include <shellapi.h>

#include <fmt/format.h>

#include <vector>

namespace zorv::win32 {

std::wstring to_wide(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
    return wide;
}

std::string from_wide(std::wstring_view utf16) {
    // WideCharToMultiByte replaces lone surrogates with U+FFFD without WC_ERR_INVALID_CHARS.
    if (utf16.empty()) return {};
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr, 0,
                                             nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), utf8.data(), length, nullptr,
                          nullptr);
    return utf8;
}

std::string path_text(const std::filesystem::path& path) { return from_wide(path.native()); }

std::string error_text(DWORD code) {
    UniqueLocalMemory<wchar_t> buffer;
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument is where the allocation is stored.
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<wchar_t*>(buffer.put()), 0, nullptr);
    std::string message;
    if (length != 0 && buffer) {
        message = from_wide(std::wstring_view(buffer.get(), length));
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                    message.back() == '.'))
            message.pop_back();
    }
    if (message.empty()) message = "Unknown error";
    return message + ". (os error " + std::to_string(code) + ")";
}

Error os_error(DWORD code) { return Error::os(code, error_text(code)); }

Error cng_error(std::string_view call, LONG status) {
    return Error(fmt::format("{} failed with status {:#010x}", call, static_cast<std::uint32_t>(status)));
}

Result<std::filesystem::path> current_exe_path() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return std::unexpected(last_os_error());
        if (length < buffer.size()) return std::filesystem::path(std::wstring(buffer.data(), length));
        if (buffer.size() >= 32768) return std::unexpected(os_error(ERROR_INSUFFICIENT_BUFFER));
        buffer.resize(buffer.size() * 2);
    }
}

std::filesystem::path executable_dir_or_fallback() {
    if (auto exe = current_exe_path(); exe && exe->has_parent_path()) return exe->parent_path();
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    if (!ec) return cwd;
    return std::filesystem::path(L".");
}

Result<std::vector<std::wstring>> command_line_words(const wchar_t* line) {
    int count = 0;
    const UniqueLocalMemory<LPWSTR> words(::CommandLineToArgvW(line, &count));
    if (!words) return std::unexpected(last_os_error());
    return std::vector<std::wstring>(words.get(), words.get() + count);
}

std::optional<std::string> env_var(const wchar_t* name) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) {
        // Zero is also the answer for a variable that is set but empty.
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
    }
    std::wstring value(needed, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(name, value.data(), needed);
    if (length >= needed) return std::nullopt;
    value.resize(length);
    // Refuse values that are not well-formed UTF-16.
    if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, value.data(), static_cast<int>(value.size()), nullptr, 0,
                              nullptr, nullptr) == 0 &&
        !value.empty())
        return std::nullopt;
    return from_wide(value);
}

}  // namespace zorv::win32
