#pragma once
// A pipe client for tests that send the helper arbitrary bytes: no framing is
// added, and every wait has a time limit, so a helper that waits for more
// input, or never closes, fails the test instead of hanging it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/win32.hpp"

namespace zorv::testing {

// What came back after a request: the bytes read, and whether the helper
// closed its end (end of file or broken pipe) within the time allowed.
struct ReplyOutcome {
    std::string bytes;
    bool closed = false;
};

class RawPipeClient {
public:
    // Opens the pipe (overlapped), retrying while no instance is free yet.
    static Result<RawPipeClient> connect(const std::string& pipe_name, std::chrono::milliseconds timeout);

    RawPipeClient(RawPipeClient&&) noexcept = default;
    RawPipeClient& operator=(RawPipeClient&&) noexcept = default;
    ~RawPipeClient() = default;

    // Writes all of `bytes`; fails when the pipe refuses them or the time runs out.
    Status send(std::string_view bytes, std::chrono::milliseconds timeout);
    // Reads until the helper closes, or until `timeout` has passed.
    ReplyOutcome read_until_closed(std::chrono::milliseconds timeout);
    void close() { pipe_.reset(); }
    HANDLE handle() const { return pipe_.get(); }

private:
    explicit RawPipeClient(win32::UniqueHandle pipe) : pipe_(std::move(pipe)) {}
    win32::UniqueHandle pipe_;
};

// The frame prefix: the payload length, 4 bytes little-endian.
std::string length_prefix(std::uint32_t length);

}  // namespace zorv::testing
