// A bare synchronous named-pipe server of the helper's shape, the baseline of
// the benchmark: one listening instance at a time, one frame in, one frame
// out (a fixed health-like reply), close.

#include <windows.h>

#include <string>

#include "api/framing.hpp"
#include "common/win32.hpp"

namespace {

bool read_exact(HANDLE pipe, char* out, DWORD size) {
    while (size > 0) {
        DWORD read = 0;
        if (!::ReadFile(pipe, out, size, &read, nullptr) || read == 0) return false;
        out += read;
        size -= read;
    }
    return true;
}

void serve_one(HANDLE pipe, const std::string& reply_frame) {
    std::array<unsigned char, 4> prefix{};
    if (!read_exact(pipe, reinterpret_cast<char*>(prefix.data()), 4)) return;
    const std::uint32_t length = zorv::api::decode_length(prefix);
    if (length > zorv::api::kMaxRequestSize) return;
    std::string payload(length, '\0');
    if (!read_exact(pipe, payload.data(), length)) return;
    DWORD written = 0;
    ::WriteFile(pipe, reply_frame.data(), static_cast<DWORD>(reply_frame.size()), &written, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::wstring path = zorv::win32::to_wide(std::string("\\\\.\\pipe\\") + argv[1]);
    const std::string reply_frame = zorv::api::encode_frame(
        R"({"status":200,"body":{"clientVerificationEnabled":true,"ok":true,"operationId":"1765000000000000000","serviceName":"bench"}})");
    for (;;) {
        HANDLE pipe = ::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                         PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) return 1;
        zorv::win32::UniqueHandle instance(pipe);
        if (::ConnectNamedPipe(pipe, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED) serve_one(pipe, reply_frame);
    }
}
