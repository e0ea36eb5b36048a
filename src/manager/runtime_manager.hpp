#pragma once
// The single owner of the core process.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/child_tool.hpp"
#include "common/clock.hpp"
#include "common/error.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"
#include "manager/child_process.hpp"
#include "manager/commands.hpp"
#include "manager/core_config.hpp"
#include "manager/runtime_status.hpp"
#include "security/client_impersonation.hpp"
#include "security/core_deployment.hpp"
#include "security/publisher_check.hpp"

namespace zorv::manager {

// The running core session.
struct ActiveRuntime {
    ChildProcess child;
    std::string profile_id;
    std::string binary_path;
    std::string config_path;
    std::string tun_interface;
    std::optional<std::string> client_runtime_id;
    win32::UniqueHandle job;
    std::int64_t started_at = 0;
    std::optional<std::uint16_t> lan_proxy_port;
    std::uint32_t pid = 0;
    // Offset of this session's first line in the core log (see CoreLog).
    std::optional<std::uint64_t> log_session_start;
};

struct RuntimeState {
    std::optional<ActiveRuntime> active;
    std::optional<RuntimeStatus> last_status;
};

class RuntimeManager;
class CoreStopPlatform;
class CoreLauncher;

// What a start hands to the client watchdog. The watch holds the manager
// weakly: a watch that outlives it (the runtime going down) does nothing.
struct WatchdogRequest {
    std::weak_ptr<RuntimeManager> manager;
    std::uint32_t client_pid = 0;
    std::string operation_id;
    std::optional<std::string> client_runtime_id;
};
// Starts a detached watchdog task; supplied by whoever owns the async runtime.
using WatchdogLauncher = std::function<void(WatchdogRequest)>;

struct ManagerOptions {
    // Where sing-box.exe, sing-box.json and logs live; the executable's
    // directory when not given.
    std::optional<std::filesystem::path> service_dir{};
    WatchdogLauncher launch_watchdog{};
    // The system's unless given: the console, process and netsh.exe steps of
    // a stop; the process steps of a start; the clock of its liveness pause.
    CoreStopPlatform* stop_platform = nullptr;
    CoreLauncher* core_launcher = nullptr;
    clock::Clock* clock = nullptr;
    // netsh.exe for the firewall rule a start removes and adds.
    ChildToolRunner* child_tools = nullptr;
    // Set when the core must not be started at all (hardened mode over a
    // directory that could not be locked down): every start fails with it.
    std::optional<std::string> core_start_refusal{};
};

class RuntimeManager : public std::enable_shared_from_this<RuntimeManager> {
public:
    static std::shared_ptr<RuntimeManager> create(ManagerOptions options = {});

    const std::string& service_instance_id() const { return service_instance_id_; }
    // Empty when the executable's directory could not be found (see start).
    const std::filesystem::path& service_dir() const { return service_dir_; }

    RuntimeStatus status();
    // `client` is whose rights a `configPath` is read with.
    Result<RuntimeStatus> start(const StartCommand& command, security::ClientIdentity& client);
    // Stop and reset fail only when a wait of the stop ran out of time (a core
    // that outlived its kill, a hung netsh.exe); the session is gone from the
    // state even then.
    Result<RuntimeStatus> stop(StopCommand command);
    Result<RuntimeStatus> reset(std::optional<std::string> operation_id);

    // What a client watchdog reports once its GUI client has gone: the active
    // session is stopped unless it belongs to a newer client (both runtime ids
    // present and different), and the stop is recorded.
    void on_client_exit(const WatchdogRequest& request);

    // At start-up: what a helper that was killed may have left behind (the
    // LAN firewall rule of its core) is removed, as a stop would have done;
    // skipped once a start or stop has run.
    void remove_leftovers();

private:
    friend struct RuntimeManagerProbe;  // tests only: reads and seeds the state
    explicit RuntimeManager(ManagerOptions options);

    // Steps that run with the state lock held.
    void detect_exit(RuntimeState& state);
    RuntimeStatus snapshot(const RuntimeState& state, const std::optional<std::string>& operation_id) const;
    Status stop_active(RuntimeState& state, const std::string& operation_id);
    // The start's steps (start_sequence.cpp).
    Result<RuntimeStatus> start_locked(RuntimeState& state, const StartCommand& command,
                                       const std::string& operation_id,
                                       Result<ConfigurationSelection> configuration,
                                       Result<std::optional<security::StagedCore>> deployment);
    // The copy of a `sourcePath` core, made before the lock (start_sequence.cpp).
    Result<std::optional<security::StagedCore>> stage_deployment(const StartCommand& command,
                                                                 security::ClientIdentity& client) const;

    // The executable's directory, or why it is not known; no other folder
    // (such as the working directory, System32 for a service) stands in.
    Result<std::filesystem::path> resolved_service_dir_;
    std::filesystem::path service_dir_;
    std::string service_instance_id_;
    WatchdogLauncher launch_watchdog_;
    CoreStopPlatform& stop_platform_;
    CoreLauncher& launcher_;
    clock::Clock& clock_;
    ChildToolRunner& tools_;
    std::optional<std::string> core_start_refusal_;
    // Whether a deployed core must carry the helper's publisher's signature;
    // settled once, when the manager is made at start.
    security::PublisherCheck publisher_check_;
    // One lock for the state: every operation holds it from its first step to its last.
    std::mutex mutex_;
    RuntimeState state_;
};

// Last `max_lines` non-blank lines of the final 32 KiB of a log, joined by
// '\n', taken only from what lies at or after `session_start` (the failed
// session's own output); empty when that is unknown and on any failure.
std::string read_core_log_tail(const std::filesystem::path& path, std::size_t max_lines,
                               std::optional<std::uint64_t> session_start);

// The core's log file in a service directory.
std::filesystem::path core_log_path(const std::filesystem::path& service_dir);

// What a shredding did: bytes zeroed in place of `size`, and the errors.
struct ShredOutcome {
    std::uint64_t size = 0;
    std::uint64_t zeroed = 0;
    std::optional<std::string> overwrite_error;
    std::optional<std::string> delete_error;
};
// Overwrites the file in place with zeros for its whole length, flushes it
// and deletes it.
ShredOutcome overwrite_and_delete(const std::filesystem::path& path);

struct ShredReport {
    log::Level level;
    std::string message;
};
// The log record that says exactly what a shredding did.
ShredReport shred_report(const ShredOutcome& outcome, std::string_view path);

// Shreds `sing-box.json` in `directory` when it exists and logs the outcome;
// never fails.
void shred_stale_configuration(const std::filesystem::path& directory);

// The service directory: the parent of the executable's path, or the start
// errors for an unreadable path or one without a parent.
Result<std::filesystem::path> service_dir_of(const Result<std::filesystem::path>& executable);

// Stopped record of a finished session (no pids), as stop and the watchdog store it.
RuntimeStatus stopped_session_record(const ActiveRuntime& session, std::string service_instance_id,
                                     std::optional<std::string> operation_id);

}  // namespace zorv::manager
