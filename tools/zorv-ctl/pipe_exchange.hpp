#pragma once
// One request over the control pipe, every step bounded by one deadline. The
// pipe is opened for overlapped I/O, so a server that accepts and then stays
// silent, or trickles, cannot hold the caller past the deadline; a reply
// longer than the helper could ever send is refused before any allocation.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "api/framing.hpp"
#include "api/pipe_path.hpp"
#include "common/error.hpp"
#include "common/win32.hpp"

namespace zorv::ctl {

class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds budget)
        : budget_(budget), at_(std::chrono::steady_clock::now() + budget) {}
    std::chrono::milliseconds budget() const { return budget_; }
    std::chrono::milliseconds remaining() const;
    bool passed() const { return remaining().count() == 0; }

private:
    std::chrono::milliseconds budget_;
    std::chrono::steady_clock::time_point at_;
};

// What a connection closed before any reply means: the helper refuses a
// caller (or a request frame) by closing, and says why only in its log. The
// README's troubleshooting quotes this text.
inline constexpr std::string_view kClosedWithoutReply =
    "the helper closed the connection without a reply: it refused this client or the request; see service.log";

// Replies are held to the helper's own frame limit (10 MiB, inclusive).
inline constexpr std::uint32_t kMaxReplySize = api::kMaxRequestSize;
Status check_reply_length(std::uint32_t announced);

// `\\.\pipe\` and the name.

// What the server may do with the caller's identity.
enum class ServerMay {
    Identify,     // learn who the caller is, nothing more
    Impersonate,  // act as the caller: the helper opens a configPath so
};

// Opens the pipe for overlapped I/O, waiting while it does not exist yet or
// while every instance is busy.
Result<win32::UniqueHandle> open_pipe(std::string_view name, const Deadline& deadline,
                                      ServerMay server_may = ServerMay::Identify);

Status send_request(HANDLE pipe, std::string_view payload, const Deadline& deadline);
// The reply frame's payload.
Result<std::string> read_reply(HANDLE pipe, const Deadline& deadline);

}  // namespace zorv::ctl
