#pragma once
// Client side of the control pipe: one request frame out, one reply frame in.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "api/records.hpp"
#include "common/error.hpp"
#include "common/win32.hpp"

namespace zorv::pipe_client {

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

// Opens the pipe, waiting up to `timeout` while every instance is busy or
// while no instance exists yet. "No helper is listening on {}" when nothing
// appears in time.
Result<win32::UniqueHandle> connect(std::string_view pipe_name, std::chrono::milliseconds timeout);

// Writes `bytes` as they are (no framing added).
Status write_all(HANDLE pipe, std::string_view bytes);
// Reads one frame's payload; fails when the pipe closes first.
Result<std::string> read_frame(HANDLE pipe);

// One framed exchange: the reply's payload text.
Result<std::string> exchange(std::string_view pipe_name, std::string_view request_payload,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A request built from its parts; the reply decoded.
Result<api::PipeResponse> call(std::string_view pipe_name, std::string_view method, std::string_view path,
                               const std::optional<nlohmann::json>& body = std::nullopt,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace zorv::pipe_client
