// The request frame as its bytes arrive in pieces, and the client's pauses
// while it keeps finding the pipe busy.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "api/framing.hpp"
#include "pipe_client/pipe_client.hpp"
#include "pipe_server/request_frame.hpp"

namespace zorv::pipe_server {
namespace {

using namespace std::chrono_literals;

struct Fed {
    Status status;          // the first refusal, if any
    std::size_t furthest = 0;  // the furthest byte of the wire any read asked for
};

// Feeds `wire` to the frame in reads of at most `piece` bytes (each read
// also bounded by what the frame asks for), until it is complete, refuses,
// or the wire runs out (an end of stream).
Fed feed(RequestFrame& frame, std::string_view wire, std::size_t piece) {
    Fed fed;
    for (std::size_t taken = 0; !frame.complete();) {
        const std::span<char> into = frame.next_read();
        fed.furthest = std::max(fed.furthest, taken + into.size());
        const std::size_t count = std::min({into.size(), piece, wire.size()});
        std::memcpy(into.data(), wire.data(), count);
        wire.remove_prefix(count);
        taken += count;
        if (fed.status = frame.received(count); !fed.status) return fed;
    }
    return fed;
}

std::string payload_text(RequestFrame& frame) {
    const std::vector<char> payload = frame.take_payload();
    return std::string(payload.begin(), payload.end());
}

TEST(RequestFrame, AssemblesAFrameFromAnyPiecesAndNeverAsksPastIt) {
    const std::string body = R"({"method":"GET","path":"/healthz"})";
    for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{7}, std::size_t{1} << 20}) {
        SCOPED_TRACE(piece);
        RequestFrame frame;
        const Fed fed = feed(frame, api::encode_frame(body) + "bytes after the frame", piece);
        ASSERT_TRUE(fed.status) << fed.status.error().one_line();
        EXPECT_EQ(fed.furthest, 4 + body.size());
        EXPECT_EQ(payload_text(frame), body);
    }
}

TEST(RequestFrame, AnEmptyPayloadIsCompleteAfterTheLength) {
    RequestFrame frame;
    const Fed fed = feed(frame, api::encode_frame(""), 64);
    ASSERT_TRUE(fed.status);
    EXPECT_TRUE(frame.complete());
    EXPECT_EQ(fed.furthest, 4u);
}

TEST(RequestFrame, EarlyEndsAndRefusalsNameThePartBeingRead) {
    const std::string oversized("\x01\x00\xa0\x00", 4);  // 10 MiB and one byte
    struct Case {
        const char* name;
        std::string wire;
        std::string message;
        std::vector<std::string> causes;
    };
    const Case cases[] = {
        {"no bytes", "", "Failed to read frame length", {"early end of stream"}},
        {"half a length", std::string("\x05\x00", 2), "Failed to read frame length", {"early end of stream"}},
        {"half a payload", api::encode_frame("0123456789").substr(0, 9), "Failed to read payload",
         {"early end of stream"}},
        {"a length over the limit", oversized, "Frame size too large: 10485761 bytes", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RequestFrame frame;
        const Fed fed = feed(frame, c.wire, 1 << 20);
        ASSERT_FALSE(fed.status);
        EXPECT_EQ(fed.status.error().message(), c.message);
        EXPECT_EQ(fed.status.error().causes(), c.causes);
    }
}

TEST(RequestFrame, AnAnnouncedSizeCostsNothingUntilItsBytesArrive) {
    RequestFrame frame;
    const std::string wire = std::string("\x00\x00\xa0\x00", 4) + "0123456789";  // 10 MiB announced, 10 bytes sent
    (void)feed(frame, wire, 1 << 20);
    const std::vector<char> payload = frame.take_payload();
    EXPECT_LE(payload.capacity(), 16u * 1024) << "the buffer follows the bytes that came, not the 10 MiB announced";
}

TEST(PipeClientBusyWait, TheSystemWaitFirstThenPausesThatDoubleToEightMilliseconds) {
    EXPECT_TRUE(pipe_client::busy_wait(1).system_wait);
    const std::chrono::milliseconds pauses[] = {1ms, 2ms, 4ms, 8ms, 8ms, 8ms};
    for (int attempt = 2; attempt < 8; ++attempt) {
        const pipe_client::BusyWait wait = pipe_client::busy_wait(attempt);
        EXPECT_FALSE(wait.system_wait) << attempt;
        EXPECT_EQ(wait.pause, pauses[attempt - 2]) << attempt;
    }
}

}  // namespace
}  // namespace zorv::pipe_server
