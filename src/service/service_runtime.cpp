#include "service/service_runtime.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/product.hpp"
#include "common/text.hpp"
#include "common/version.hpp"
#include "common/win32.hpp"
#include "logger/event_log.hpp"
#include "logger/helper_events.hpp"
#include "logger/log.hpp"
#include "pipe_server/shutdown_signal.hpp"
#include "security/strict_mode.hpp"
#include "service/directory_sandbox.hpp"
#include "service/scm_port.hpp"
#include "service/scm_steps.hpp"
#include "service/service_control.hpp"
#include "service/service_host.hpp"
#include "service/status_reporter.hpp"

namespace zorv::service {

namespace {

using pipe_server::ShutdownReceiver;
using pipe_server::ShutdownSender;


// After the stopped report the dispatcher returns and the process may end;
// the service thread has only to say it has finished. The dispatcher waits
// this long for it.
constexpr std::chrono::seconds kServiceMainWindDown{10};
// How long the stopped record may delay the stopped report.
constexpr std::chrono::seconds kStoppedRecordLimit{2};

// The control handler's state. It lives for the whole process, so a control
// that arrives after the run has ended never reaches freed memory; the run
// places its sending end here while the handler is in use.
class ControlHandlerState {
public:
    void attach(ShutdownSender sender, StatusReporter* status) {
        std::lock_guard lock(mutex_);
        sender_.emplace(std::move(sender));
        status_ = status;
    }
    void detach() {
        std::lock_guard lock(mutex_);
        sender_.reset();
        status_ = nullptr;
    }
    // Stop-pending first, as the handler must answer at once; the run's stop
    // keeps its checkpoints moving.
    void publish_shutdown() {
        std::lock_guard lock(mutex_);
        if (status_ != nullptr)
            log::ignore_failure(status_->pending(stop_pending_status()), log::target::service,
                                "the stop goes on whether or not the SCM took its first report");
        if (sender_) sender_->publish(true);  // false when no receiver is left: nothing to tell
    }

private:
    std::mutex mutex_;
    std::optional<ShutdownSender> sender_;
    StatusReporter* status_ = nullptr;
};

ControlHandlerState& control_handler_state() {
    static ControlHandlerState state;
    return state;
}

// Holds the handler's sending end for the length of one run.
class ControlHandlerAttachment {
public:
    explicit ControlHandlerAttachment(ShutdownSender sender) { control_handler_state().attach(std::move(sender), nullptr); }
    void report_through(ShutdownSender sender, StatusReporter& status) {
        control_handler_state().attach(std::move(sender), &status);
    }
    ~ControlHandlerAttachment() { control_handler_state().detach(); }
    ControlHandlerAttachment(const ControlHandlerAttachment&) = delete;
    ControlHandlerAttachment& operator=(const ControlHandlerAttachment&) = delete;
};

// Lets the dispatcher's thread wait for service_main to finish.
class ServiceMainTracker {
public:
    void entered() {
        std::lock_guard lock(mutex_);
        ++running_;
    }
    void finished() {
        {
            std::lock_guard lock(mutex_);
            --running_;
        }
        changed_.notify_all();
    }
    void wait_until_finished(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [this] { return running_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int running_ = 0;
};

ServiceMainTracker& service_main_tracker() {
    static ServiceMainTracker tracker;
    return tracker;
}

DWORD WINAPI on_service_control(DWORD control, DWORD event_type, LPVOID /*event_data*/, LPVOID context) {
    const ControlResponse response = handle_control_event(control, event_type);
    if (response.log) log::record(response.log->level, log::target::service, "{}", response.log->message);
    if (response.action == ControlAction::PublishShutdown)
        static_cast<ControlHandlerState*>(context)->publish_shutdown();
    return response.return_code;
}

// What the process's start made of the service directory, for service_main.
const DirectoryLockdown* g_lockdown = nullptr;

// In hardened mode a directory others can change must not host the core.
std::optional<std::string> core_start_refusal() {
    if (g_lockdown == nullptr || g_lockdown->verified() || !security::strict_mode_active()) return std::nullopt;
    return "Strict mode refuses to start the core: the service directory is not locked down (" +
           *g_lockdown->failure + ")";
}

void configure_own_recovery_logged() {
    log::info(log::target::service, "Configuring crash recovery on the service's own registration");
    auto scm = Win32ScmConnection::open(kOwnRecoveryManagerAccess);
    Status configured = scm ? configure_own_recovery(**scm) : fail(scm.error().context("Open the service manager"));
    if (!configured) log::warn(log::target::service, "Crash recovery is not fully configured: {}", configured.error().one_line());
}

// Serves the pipe, then stops the core whichever way the listener ended.
// Running is reported only once the first pipe instance holds the name, so a
// service that cannot own its pipe never claims to be up.
Status serve_then_stop_core(AsyncRuntime& runtime, const std::shared_ptr<manager::RuntimeManager>& manager,
                            std::string pipe_name, ShutdownReceiver shutdown, StatusReporter& status) {
    log::info(log::target::service, "Named pipe listener running; waiting for client requests or shutdown");
    const auto report_running = [&status]() -> Status {
        log::info(log::target::service, "Reporting service status: Running");
        if (Status reported = status.settled(running_status()); !reported)
            return fail(reported.error().context("Report running"));
        events::service_started(kProductVersion, security::strict_mode_active());
        return {};
    };
    Status served = serve_control_pipe(runtime, manager, std::move(pipe_name), std::move(shutdown), report_running);
    // However the listener ended, the stop from here on is reported as such.
    log::info(log::target::service, "Reporting service status: StopPending");
    log::ignore_failure(status.pending(stop_pending_status()), log::target::service,
                        "the stop goes on whether or not the SCM took the report");
    log::info(log::target::service, "Service stopping: shutting down running runtime manager");
    log::ignore_failure(manager->stop({"service-stop", std::nullopt, std::nullopt}), log::target::service,
                        "the service ends either way");
    return served;
}

// Steps from the runtime build to the end of the run. The locals are released
// in reverse order on return: the manager, then the runtime. A
// listener that failed is this run's error, reported as a stopped service
// with a non-zero exit code, as is a runtime that cannot be built.
Status serve_until_stopped(StatusReporter& status, ShutdownReceiver shutdown) {
    auto runtime = AsyncRuntime::build();
    if (!runtime) return fail(runtime.error());

    // The directory was locked down when the process started, before the log
    // or the shredder touched it.
    std::optional<std::string> refusal = core_start_refusal();
    if (refusal) log::error(log::target::service, "{}", *refusal);
    std::shared_ptr<manager::RuntimeManager> manager = create_manager(**runtime, std::move(refusal));

    std::string pipe_name = choose_pipe_name();
    log::info(log::target::service, "Configuring named pipe server for pipe: {}", pipe_name);
    return serve_then_stop_core(**runtime, manager, std::move(pipe_name), std::move(shutdown), status);
}

// The exit code the SCM is told: the service-specific one when there is one.
void report_stopped_event(const Status& outcome, const SERVICE_STATUS& stopped) {
    const DWORD exit_code = stopped.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? stopped.dwServiceSpecificExitCode
                                                                                    : stopped.dwWin32ExitCode;
    if (outcome)
        events::service_stopped(exit_code);
    else
        events::service_failed(outcome.error().one_line(), exit_code);
    events::flush(kStoppedRecordLimit);
}

}  // namespace

Status run_service_dispatcher(const DirectoryLockdown& lockdown) {
    g_lockdown = &lockdown;
    log::info(log::target::service, "Starting Windows service dispatcher for '{}'", product::kServiceName);
    std::wstring name(product::kServiceNameW);
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), &service_main}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) return fail(win32::last_os_error());
    service_main_tracker().wait_until_finished(kServiceMainWindDown);
    return {};
}

void WINAPI service_main(DWORD argc, LPWSTR* argv) {
    service_main_tracker().entered();
    log::info(log::target::service, "service_main entry called by SCM");
    // The start arguments carry nothing the service uses.
    std::vector<std::string> arguments;
    for (DWORD i = 0; i < argc && argv != nullptr; ++i)
        if (argv[i] != nullptr) arguments.push_back(win32::from_wide(argv[i]));

    const ServiceRun run = run_service();
    // Everything the run built is released by now. The stopped report comes
    // last, after the last record is written: the process may end at any
    // moment once it is made.
    if (run.status) log::info(log::target::service, "Reporting service status: Stopped");
    if (!run.outcome)
        log::error(log::target::service, "Service main loop exited with error: {}", run.outcome.error().multi_line());
    else
        log::info(log::target::service, "Service main loop terminated normally");
    log::flush();
    const SERVICE_STATUS stopped = run.outcome ? stopped_status() : stopped_after_failure_status(run.outcome.error());
    report_stopped_event(run.outcome, stopped);
    if (run.status)
        log::ignore_failure(run.status->settled(stopped), log::target::service,
                            "nothing is left to do when the last report is refused");
    service_main_tracker().finished();
}

ServiceRun run_service() {
    security::load_strict_mode();
    auto [sender, receiver] = pipe_server::make_shutdown_signal();
    ControlHandlerAttachment handler(sender.clone());

    log::info(log::target::service, "Registering Windows service control handler for '{}'", product::kServiceName);
    std::wstring name(product::kServiceNameW);
    ServiceRun run;
    SERVICE_STATUS_HANDLE status_handle =
        ::RegisterServiceCtrlHandlerExW(name.c_str(), &on_service_control, &control_handler_state());
    if (status_handle == nullptr) {
        run.outcome = fail(win32::last_os_error().context("Failed to register Windows service control handler"));
        return run;
    }
    run.status = std::make_unique<StatusReporter>(
        [status_handle](const SERVICE_STATUS& status) -> Status {
            if (::SetServiceStatus(status_handle, const_cast<SERVICE_STATUS*>(&status))) return {};
            return fail(win32::last_os_error());
        });
    handler.report_through(sender.clone(), *run.status);

    log::info(log::target::service, "Reporting service status: StartPending");
    if (Status reported = run.status->pending(start_pending_status()); !reported) {
        run.outcome = fail(reported.error().context("Report start pending"));
        return run;
    }
    configure_own_recovery_logged();
    run.outcome = serve_until_stopped(*run.status, std::move(receiver));
    return run;
}

}  // namespace zorv::service
