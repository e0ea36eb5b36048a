#pragma once
// One run of the core: the start that makes it, everything that start made,
// and the one path that ends it, whoever asks (a stop, a reset, the core's
// own exit, its client's exit, or a start that replaces it).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/child_tool.hpp"
#include "common/clock.hpp"
#include "common/error.hpp"
#include "common/process_launch.hpp"
#include "manager/core_config.hpp"
#include "manager/core_launcher.hpp"
#include "manager/core_output.hpp"
#include "manager/runtime_status.hpp"
#include "manager/stop_core.hpp"
#include "security/core_deployment.hpp"

namespace zorv::manager {

struct LaunchedCore {
    ChildProcess child;
    win32::UniqueHandle job;           // closing it ends the core through kill-on-close
    std::optional<CoreOutput> output;  // empty when the core writes to the helper's own streams
};

// What the session reports of itself, and what its end must undo.
struct SessionRecord {
    std::string profile_id;
    std::string binary_path;
    std::string config_path;  // the configuration's label: "stdin" or configPath as given
    std::string tun_interface;
    std::optional<std::string> client_runtime_id;
    std::int64_t started_at = 0;
    std::optional<std::uint16_t> lan_proxy_port;  // the session's firewall rule, when set
    std::filesystem::path log_path;
    std::optional<std::uint64_t> log_session_start;  // see CoreLog
};

struct EndReason {
    // Stop also serves a start that replaces the session; a reset's record
    // keeps nothing of it.
    enum class Kind { Stop, Reset, CoreExited, ClientExited };
    Kind kind = Kind::Stop;
    std::optional<std::string> operation_id;
    std::uint32_t exit_code = 0;  // CoreExited only
};

struct StartContext {
    const std::filesystem::path& service_dir;
    CoreLauncher& launcher;
    clock::Clock& clock;
    ChildToolRunner& tools;
};

// The record the status shows from now on, and whether the stop finished
// within its deadlines.
struct SessionEnd {
    RuntimeStatus record;
    Status stopped;
};

class Session {
public:
    // The start's steps: installs and checks the core's binary, refuses a
    // configuration that names files outside the service directory, prepares
    // the log and the firewall rule, and brings the core up (created
    // suspended, fed its configuration, bound to its job, let run, alive after
    // a short pause). The caller holds the manager's lock.
    static Result<Session> start(const StartCommand& command, Result<ConfigurationSelection> selection,
                                 Result<std::optional<security::StagedCore>> deployment, const StartContext& context);
    Session(LaunchedCore core, SessionRecord record) : core_(std::move(core)), record_(std::move(record)) {}

    const SessionRecord& record() const { return record_; }
    std::uint32_t pid() const { return core_.child.pid; }
    RuntimeStatus status(const std::string& service_instance_id, const std::optional<std::string>& operation_id) const;
    // The exit code once the core has ended by itself; nullopt while it runs
    // or when that cannot be told.
    std::optional<std::uint32_t> exit_code() const;

    // Stops the core (or records its exit) and removes the firewall rule; the
    // handles close with the session.
    SessionEnd end(const EndReason& reason, CoreStopPlatform& platform, const std::string& service_instance_id);

private:
    RuntimeStatus exit_record(std::uint32_t code, CoreStopPlatform& platform, const std::string& service_instance_id);
    // What both the running and the stopped record show of the session.
    RuntimeStatus shown(std::string service_instance_id, std::optional<std::string> operation_id) const;
    RuntimeStatus stopped_session_record(std::string service_instance_id,
                                         std::optional<std::string> operation_id) const;

    LaunchedCore core_;
    SessionRecord record_;
};

// A stop's record when there is no session to show: the time and the operation.
RuntimeStatus stopped_record(const std::string& service_instance_id, std::optional<std::string> operation_id);

}  // namespace zorv::manager
