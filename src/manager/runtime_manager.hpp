#pragma once
// The one owner of the session: start, stop, reset, status and the watchdog's
// report, each under one lock from its first step to its last.

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
#include "manager/commands.hpp"
#include "manager/core_launcher.hpp"
#include "manager/runtime_status.hpp"
#include "manager/session.hpp"
#include "manager/stop_core.hpp"
#include "security/client_impersonation.hpp"
#include "security/publisher_check.hpp"

namespace zorv::manager {

class RuntimeManager;

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
    friend struct RuntimeManagerProbe;  // tests only: seeds a session with a record of their choosing
    explicit RuntimeManager(ManagerOptions options);

    // Steps that run with the lock held.
    void detect_exit();
    RuntimeStatus snapshot(const std::optional<std::string>& operation_id) const;
    // Shreds a stale configuration, then ends the session as a stop does.
    Status stop_session(const std::string& operation_id);
    // The one way a session ends, whatever the reason: its record (or a bare
    // one when there is no session) becomes the status.
    Status end_session(const EndReason& reason);

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
    // One lock for the session and the record: every operation holds it from
    // its first step to its last.
    std::mutex mutex_;
    std::optional<Session> session_;
    std::optional<RuntimeStatus> last_status_;
};

// The service directory: the parent of the executable's path, or the start
// errors for an unreadable path or one without a parent.
Result<std::filesystem::path> service_dir_of(const Result<std::filesystem::path>& executable);

}  // namespace zorv::manager
