#include <windows.h>

#include <vector>

#include "common/text.hpp"
#include "logger/log.hpp"
#include "manager/runtime_manager.hpp"

namespace zorv::manager {

namespace {
constexpr LONGLONG kTailWindow = 32 * 1024;

bool metadata_readable(const std::filesystem::path& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
    return ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
}
}  // namespace

std::filesystem::path core_log_path(const std::filesystem::path& service_dir) {
    return service_dir / L"logs" / L"sing-box.log";
}

std::string read_core_log_tail(const std::filesystem::path& path, std::size_t max_lines) {
    win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size)) return {};
    LARGE_INTEGER offset;
    offset.QuadPart = size.QuadPart > kTailWindow ? size.QuadPart - kTailWindow : 0;
    if (!::SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN)) return {};

    std::string bytes;
    std::vector<char> chunk(8192);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) return {};
        if (read == 0) break;
        bytes.append(chunk.data(), read);
    }

    const std::string content = text::sanitize_utf8(bytes);
    std::vector<std::string_view> kept;
    for (std::string_view line : text::split_lines(content))
        if (!text::is_blank(line)) kept.push_back(line);
    const std::size_t first = kept.size() > max_lines ? kept.size() - max_lines : 0;
    std::string tail;
    for (std::size_t i = first; i < kept.size(); ++i) {
        if (!tail.empty()) tail.push_back('\n');
        tail.append(kept[i]);
    }
    return tail;
}

void shred_stale_configuration(const std::filesystem::path& directory) {
    const std::filesystem::path path = directory / L"sing-box.json";
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!metadata_readable(path, data)) return;
    if (metadata_readable(path, data)) {
        const std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (size > 0) {
            win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file && size <= 0x7FFFFFFFu) {
                const std::vector<char> zeros(static_cast<std::size_t>(size), '\0');
                DWORD written = 0;
                ::WriteFile(file.get(), zeros.data(), static_cast<DWORD>(zeros.size()), &written, nullptr);
                ::FlushFileBuffers(file.get());
            }
        }
    }
    ::DeleteFileW(path.c_str());
    log::info(log::target::manager, "[security] Shredded and deleted stale plaintext config file: {}",
              win32::path_text(path));
}

}  // namespace zorv::manager
