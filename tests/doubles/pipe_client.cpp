// Stands in for the desktop client: connects to the control pipe named on its
// command line and reports what came back.
//
//   pipe_client <pipe-name> request <json>   send one request frame, print the reply
//   pipe_client <pipe-name> silent           send nothing, wait for the helper to close
//   pipe_client <pipe-name> flood <count>    connect that many times in a row, each
//                                            time sending nothing until the helper closes
//
// Prints "REPLY <payload>" and exits 0 when a reply frame arrived; prints
// "CLOSED <reason>" and exits 3 when the helper closed without one; exits 2
// when the pipe could not be opened and 1 on a usage error. Arguments are
// plain ASCII (pipe names and JSON built by the tests).

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "api/framing.hpp"
#include "common/win32.hpp"
#include "pipe_client/pipe_client.hpp"

namespace {

int report_reply(HANDLE pipe) {
    auto reply = zorv::pipe_client::read_frame(pipe);
    if (!reply) {
        std::printf("CLOSED %s\n", reply.error().one_line().c_str());
        return 3;
    }
    std::printf("REPLY %s\n", reply->c_str());
    return 0;
}

}  // namespace

// A refused caller that tries again at once, over and over: exits 0 when the
// helper closed every connection without a reply.
int flood(const std::string& pipe_name, int count) {
    for (int i = 0; i < count; ++i) {
        auto pipe = zorv::pipe_client::connect(pipe_name, std::chrono::seconds(10));
        if (!pipe) {
            std::printf("UNREACHABLE %s\n", pipe.error().one_line().c_str());
            return 2;
        }
        if (zorv::pipe_client::read_frame(pipe->get())) {
            std::printf("REPLY on connection %d\n", i + 1);
            return 3;
        }
    }
    std::printf("CLOSED %d\n", count);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: pipe_client <pipe-name> request <json> | silent\n", stderr);
        return 1;
    }
    const std::string pipe_name = argv[1];
    const std::string mode = argv[2];
    if (mode == "flood" && argc >= 4) return flood(pipe_name, std::atoi(argv[3]));
    auto pipe = zorv::pipe_client::connect(pipe_name, std::chrono::seconds(10));
    if (!pipe) {
        std::printf("UNREACHABLE %s\n", pipe.error().one_line().c_str());
        return 2;
    }
    if (mode == "request" && argc >= 4) {
        const std::string frame = zorv::api::encode_frame(argv[3]);
        // A refused client may find the pipe closed before or while it writes.
        if (auto sent = zorv::pipe_client::write_all(pipe->get(), frame); !sent) {
            std::printf("CLOSED %s\n", sent.error().one_line().c_str());
            return 3;
        }
        return report_reply(pipe->get());
    }
    if (mode == "silent") return report_reply(pipe->get());
    std::fputs("unknown mode\n", stderr);
    return 1;
}
