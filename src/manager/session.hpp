#pragma once
// One run of the core: everything a start created, and the one path that
// ends it, whoever asks (a stop, a reset, the core's own exit, its client's
// exit, or a start that replaces it).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/process_launch.hpp"
#include "common/unique_resource.hpp"
#include "manager/core_output.hpp"
#include "manager/runtime_status.hpp"
#include "manager/stop_core.hpp"

namespace zorv::manager {

// The core's process and what keeps it in hand.
struct LaunchedCore {
    ChildProcess child;
    win32::UniqueHandle job;           // closing it ends the core through kill-on-close
    std::optional<CoreOutput> output;  // empty when the core writes to the helper's own streams
};

// What the session reports of itself and what its end must undo.
struct SessionRecord {
    std::string profile_id;
    std::string binary_path;
    std::string config_path;  // the configuration's label: "stdin" or configPath as given
    std::string tun_interface;
    std::optional<std::string> client_runtime_id;
    std::int64_t started_at = 0;
    std::optional<std::uint16_t> lan_proxy_port;  // the firewall rule is the session's when set
    std::filesystem::path log_path;
    // Offset of this session's first line in the core log (see CoreLog).
    std::optional<std::uint64_t> log_session_start;
};

struct EndReason {
    enum class Kind {
        Stop,          // a stop request, or a start replacing the session
        Reset,         // a reset request: the record keeps nothing of the session
        CoreExited,    // the core ended by itself; `exit_code` says how
        ClientExited,  // the client that started it has gone
    };
    Kind kind = Kind::Stop;
    std::optional<std::string> operation_id;
    std::uint32_t exit_code = 0;
};

// How a session ended: the record the status shows from now on, and whether
// its stop finished within its deadlines.
struct SessionEnd {
    RuntimeStatus record;
    Status stopped;
};

class Session {
public:
    Session(LaunchedCore core, SessionRecord record) : core_(std::move(core)), record_(std::move(record)) {}

    const SessionRecord& record() const { return record_; }
    std::uint32_t pid() const { return core_.child.pid; }
    RuntimeStatus status(const std::string& service_instance_id, const std::optional<std::string>& operation_id) const;
    // The exit code once the core has ended by itself; nullopt while it runs
    // or when that cannot be told.
    std::optional<std::uint32_t> exit_code() const;

    // Stops the core (or records its exit), removes the firewall rule and
    // says what is left; the handles close with the session.
    SessionEnd end(const EndReason& reason, CoreStopPlatform& platform, const std::string& service_instance_id);

private:
    RuntimeStatus exit_record(std::uint32_t code, CoreStopPlatform& platform, const std::string& service_instance_id);
    // The stopped record of this session (no pids).
    RuntimeStatus stopped_session_record(std::string service_instance_id, std::optional<std::string> operation_id) const;

    LaunchedCore core_;
    SessionRecord record_;
};

// The record of a stop with no session to show: running false, the time and the operation.
RuntimeStatus stopped_record(const std::string& service_instance_id, std::optional<std::string> operation_id);

}  // namespace zorv::manager
