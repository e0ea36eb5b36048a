#include "common/file_reading.hpp"

#include <algorithm>

#include "common/overlapped_wait.hpp"
#include "common/unique_resource.hpp"
#include "common/win32.hpp"

namespace zorv::win32 {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

Result<HandleFacts> handle_facts(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) return fail(last_os_error());
    return HandleFacts{.reparse_point = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
                       .directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                       .size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow};
}

Result<std::string> read_at_most(HANDLE file, std::size_t limit) {
    std::string content;
    while (content.size() < limit) {
        const std::size_t have = content.size();
        const std::size_t chunk = std::min(limit - have, kChunk);
        content.resize(have + chunk);
        DWORD read = 0;
        const BOOL ok = ::ReadFile(file, content.data() + have, static_cast<DWORD>(chunk), &read, nullptr);
        content.resize(have + (ok ? read : 0));
        if (!ok) return fail(last_os_error());
        if (read == 0) break;
    }
    return content;
}

Result<std::size_t> read_chunk_by(HANDLE file, std::uint64_t offset, std::span<char> buffer, ReadDeadline deadline) {
    const UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return fail(last_os_error());
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(offset);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    overlapped.hEvent = event.get();
    const auto size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), kChunk));
    const BOOL issued = ::ReadFile(file, buffer.data(), size, nullptr, &overlapped);
    const OverlappedOutcome read = finish_issued(file, overlapped, issued, wait_limit_until(deadline));
    if (read.error == ERROR_SUCCESS) return read.bytes;
    if (read.error == ERROR_HANDLE_EOF) return 0;
    return fail(os_error(read.error));
}

Result<std::string> read_at_most_by(HANDLE file, std::uint64_t offset, std::size_t limit, ReadDeadline deadline) {
    std::string content;
    while (content.size() < limit) {
        const std::size_t have = content.size();
        content.resize(have + std::min(limit - have, kChunk));
        auto read = read_chunk_by(file, offset + have, std::span(content).subspan(have), deadline);
        content.resize(have + (read ? *read : 0));
        if (!read) return fail(read.error());
        if (*read == 0) break;
    }
    return content;
}

}  // namespace zorv::win32
