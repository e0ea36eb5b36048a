// Stands in for whatever serves a pipe, for the operator CLI's tests. Copied
// as zorv-helper.exe it is what the CLI takes for a helper run in a console;
// under its own name it is a server the CLI must refuse.
//
//   scripted_server <pipe-name> <record-dir> <step>...
//
// Each step serves one connection on a fresh instance (unlimited instances,
// so it can also sit beside another server of the same name):
//   reply:<json>    read the request, answer <json> in one frame
//   close           read the request, close without a reply
//   silent          read the request, then keep the connection open, silent
//   announce:<n>    read the request, send only a length prefix of n, keep open
//   greet:<json>    answer <json> at once, before any request, then read
//   deaf            read nothing, answer nothing, keep the connection open
//   refuse          as the helper refuses a caller: close, unread, once the
//                   request has arrived (so the caller's check of this server
//                   is over)
// "pid" in <record-dir> holds its process id; "listening" appears there once
// the first instance exists; every
// request read is written to request-<k>.txt (k from 1; empty when the
// client closed without sending one). After the last step the program waits
// to be killed when that step keeps the connection open, else exits 0.
// Arguments are plain ASCII.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "api/framing.hpp"
#include "common/win32.hpp"
#include "pipe_client/pipe_client.hpp"

namespace {

using zorv::win32::UniqueHandle;

void record(const std::string& dir, const std::string& name, const std::string& content) {
    std::ofstream(dir + "\\" + name, std::ios::binary) << content;
}

// A whole frame, or whatever arrived before the client closed (the CLI's
// identity check closes without sending anything).
std::string read_request(HANDLE pipe) {
    auto frame = zorv::pipe_client::read_frame(pipe);
    return frame ? *frame : std::string();
}

void send_frame(HANDLE pipe, std::string_view payload) {
    (void)zorv::pipe_client::write_all(pipe, zorv::api::encode_frame(payload));
    ::FlushFileBuffers(pipe);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: scripted_server <pipe-name> <record-dir> <step>...\n", stderr);
        return 1;
    }
    const std::wstring path = zorv::win32::to_wide(std::string("\\\\.\\pipe\\") + argv[1]);
    const std::string dir = argv[2];
    record(dir, "pid", std::to_string(::GetCurrentProcessId()));
    bool hold_open = false;
    UniqueHandle held;
    for (int step = 3, count = 1; step < argc; ++step, ++count) {
        const std::string_view script = argv[step];
        UniqueHandle pipe(::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                             PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr));
        if (!pipe) {
            std::fprintf(stderr, "CreateNamedPipeW failed: %lu\n", ::GetLastError());
            return 2;
        }
        if (step == 3) record(dir, "listening", "");
        if (!::ConnectNamedPipe(pipe.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) return 2;

        hold_open = false;
        if (script == "deaf") {
            held = std::move(pipe);
            hold_open = true;
            continue;
        }
        if (script == "refuse") {
            DWORD available = 0;
            for (int wait = 0; wait < 3000 && available == 0; ++wait) {
                if (!::PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &available, nullptr)) break;
                if (available == 0) ::Sleep(10);
            }
            ::DisconnectNamedPipe(pipe.get());
            continue;
        }
        if (script.starts_with("greet:")) send_frame(pipe.get(), script.substr(6));
        const std::string request = read_request(pipe.get());
        record(dir, "request-" + std::to_string(count) + ".txt", request);
        if (script.starts_with("reply:")) {
            send_frame(pipe.get(), script.substr(6));
        } else if (script.starts_with("announce:")) {
            const auto prefix = zorv::api::encode_length(
                static_cast<std::uint32_t>(std::strtoul(std::string(script.substr(9)).c_str(), nullptr, 10)));
            (void)zorv::pipe_client::write_all(pipe.get(), std::string_view(reinterpret_cast<const char*>(prefix.data()), prefix.size()));
            hold_open = true;
        } else if (script == "silent") {
            hold_open = true;
        }
        if (hold_open) {
            held = std::move(pipe);
            continue;
        }
        ::DisconnectNamedPipe(pipe.get());
    }
    if (hold_open) ::Sleep(INFINITE);
    return 0;
}
