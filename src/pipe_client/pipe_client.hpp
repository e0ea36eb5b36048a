#pragma once
// Client side of the control pipe: one request frame out, one reply frame in,
// every step bounded by one deadline. The pipe is opened for overlapped I/O,
// so a server that accepts and then stays silent, or trickles, cannot hold
// the caller past the deadline; a reply longer than the helper could ever
// send is refused before any allocation.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "api/framing.hpp"
#include "api/records.hpp"
#include "common/error.hpp"
#include "common/win32.hpp"

namespace zorv::pipe_client {

// One budget for connecting, sending and reading, counted from its making.
class Deadline {
public:
    // Implicit, so that a plain timeout can be given wherever a deadline is asked for.
    template <typename Rep, typename Period>
    Deadline(std::chrono::duration<Rep, Period> budget)
        : budget_(std::chrono::duration_cast<std::chrono::milliseconds>(budget)),
          at_(std::chrono::steady_clock::now() + budget_) {}
    // Never passes: for callers that bound the exchange themselves.
    static Deadline unbounded();

    std::chrono::milliseconds remaining() const;
    bool passed() const { return remaining().count() == 0; }
    // The budget as messages give it: "2 s".
    std::string budget_text() const;

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

// What the server may do with the caller's identity.
enum class ServerMay {
    Identify,     // learn who the caller is, nothing more
    Impersonate,  // act as the caller: the helper opens a configPath so
};

// How a client waits after its `attempt`-th (from 1) open in a row that
// found every instance busy. The first time, the system's wait, which ends as
// soon as an instance listens; after that, a pause that doubles from 1 ms to
// 8 ms. The system's wait wakes every waiting client for each new instance,
// and only one of them gets it: a client that keeps losing that race steps
// out of it instead of joining every wake-up.
struct BusyWait {
    bool system_wait = false;
    std::chrono::milliseconds pause{0};
};
BusyWait busy_wait(int attempt);

// Opens the pipe (data rights only), waiting while no instance exists yet or
// while every instance is busy. At the deadline: "No helper is listening on
// {path}" with ERROR_FILE_NOT_FOUND as its code, or "{path} stayed busy for
// {n} s" with ERROR_PIPE_BUSY.
Result<win32::UniqueHandle> connect(std::string_view pipe_name, const Deadline& deadline,
                                    ServerMay server_may = ServerMay::Identify);

// Writes `bytes` as they are (no framing added).
Status write_all(HANDLE pipe, std::string_view bytes, const Deadline& deadline = Deadline::unbounded());
// Reads one frame's payload; fails when the pipe closes first.
Result<std::string> read_frame(HANDLE pipe, const Deadline& deadline = Deadline::unbounded());

// Settles who serves a connected pipe before anything is written to it.
using ServerCheck = std::function<Status(HANDLE pipe)>;

struct ExchangeOptions {
    ServerMay server_may = ServerMay::Identify;
    ServerCheck check_server;  // none: any server is sent to
};

// One framed exchange: the reply's payload text. A failed server check ends
// it with nothing sent. Opening at impersonation level before the check is
// safe: a server impersonates the context of the last message it read, so it
// cannot act as the caller before the request is written.
Result<std::string> exchange(std::string_view pipe_name, std::string_view request_payload,
                             const Deadline& deadline = std::chrono::seconds(10),
                             const ExchangeOptions& options = {});

// A request built from its parts; the reply decoded.
Result<api::PipeResponse> call(std::string_view pipe_name, std::string_view method, std::string_view path,
                               const std::optional<nlohmann::json>& body = std::nullopt,
                               const Deadline& deadline = std::chrono::seconds(10));

}  // namespace zorv::pipe_client
