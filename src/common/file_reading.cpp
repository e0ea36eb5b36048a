#include "common/file_reading.hpp"

#include <algorithm>

#include "common/win32.hpp"

namespace zorv::win32 {

namespace {
constexpr std::size_t kChunk = 64 * 1024;
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

}  // namespace zorv::win32
