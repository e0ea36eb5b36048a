#include "common/file_reading.hpp"

#include <algorithm>

#include "common/overlapped_wait.hpp"
#include "common/unique_resource.hpp"
#include "common/win32.hpp"

namespace zorv::win32 {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

DWORD milliseconds_until(ReadDeadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INFINITE - 1));
}

// The outcome of a read that finished at once or went pending, cancelled
// first when the deadline passes.
Result<std::size_t> finish_read(HANDLE file, OVERLAPPED& overlapped, ReadDeadline deadline) {
    const OverlappedOutcome read = wait_or_cancel(file, overlapped, milliseconds_until(deadline));
    if (read.error == ERROR_SUCCESS) return read.bytes;
    if (read.error == ERROR_HANDLE_EOF) return 0;
    return fail(os_error(read.error));
}

}  // namespace

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
    if (!::ReadFile(file, buffer.data(), size, nullptr, &overlapped)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF) return 0;
        if (error != ERROR_IO_PENDING) return fail(os_error(error));
    }
    // Finished at once or pending: the result is the OVERLAPPED's either way.
    return finish_read(file, overlapped, deadline);
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
