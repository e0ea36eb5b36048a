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
#include "pipe_server/pipe_listener.hpp"
#include "pipe_server/shutdown_signal.hpp"
#include "security/strict_mode.hpp"
#include "service/directory_sandbox.hpp"
#include "service/service_control.hpp"
#include "service/service_host.hpp"

namespace zorv::service {

namespace {

using pipe_server::ShutdownReceiver;
using pipe_server::ShutdownSender;

constexpr auto kTarget = log::target::service;

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
    void attach(ShutdownSender sender) {
        std::lock_guard lock(mutex_);
        sender_.emplace(std::move(sender));
    }
    void detach() {
        std::lock_guard lock(mutex_);
        sender_.reset();
    }
    void publish_shutdown() {
        std::lock_guard lock(mutex_);
        if (sender_) (void)sender_->publish(true);  // no receiver left: nothing to tell
    }

private:
    std::mutex mutex_;
    std::optional<ShutdownSender> sender_;
};

ControlHandlerState& control_handler_state() {
    static ControlHandlerState state;
    return state;
}

// Holds the handler's sending end for the length of one run.
class ControlHandlerAttachment {
public:
    explicit ControlHandlerAttachment(ShutdownSender sender) { control_handler_state().attach(std::move(sender)); }
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
    if (response.log) log::record(response.log->level, kTarget, "{}", response.log->message);
    if (response.action == ControlAction::PublishShutdown)
        static_cast<ControlHandlerState*>(context)->publish_shutdown();
    return response.return_code;
}

bool report_status(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS status) {
    return ::SetServiceStatus(handle, &status) != FALSE;
}

// Runs the listener, then stops the core whichever way the listener ended.
// Running is reported only once the first pipe instance holds the name, so a
// service that cannot own its pipe never claims to be up.
Status serve_then_stop_core(const pipe_server::PipeServerContext& context, ShutdownReceiver shutdown,
                            SERVICE_STATUS_HANDLE status_handle) {
    log::info(kTarget, "Named pipe listener running; waiting for client requests or shutdown");
    const auto report_running = [status_handle]() -> Status {
        log::info(kTarget, "Reporting service status: Running");
        if (!report_status(status_handle, running_status()))
            return fail(win32::last_os_error().context("Report running"));
        events::service_started(kProductVersion, security::strict_mode_active());
        return {};
    };
    Status served = pipe_server::run_pipe_server(context, std::move(shutdown), report_running);
    log::info(kTarget, "Service stopping: shutting down running runtime manager");
    (void)context.manager->stop({"service-stop", std::nullopt, std::nullopt});
    return served;
}

// Steps from the runtime build to the end of the run. The locals are released
// in reverse order on return: pipe context, manager, then the runtime. A
// listener that failed is this run's error, reported as a stopped service
// with a non-zero exit code, as is a runtime that cannot be built.
Status serve_until_stopped(SERVICE_STATUS_HANDLE status_handle, ShutdownReceiver shutdown) {
    auto runtime = AsyncRuntime::build();
    if (!runtime) return fail(runtime.error());

    std::shared_ptr<manager::RuntimeManager> manager = create_manager(**runtime);

    log::info(kTarget, "Applying directory security sandbox to {}",
              text::quoted(win32::path_text(manager->service_dir())));
    apply_directory_sandbox(manager->service_dir());

    const std::string pipe_name = choose_pipe_name();
    log::info(kTarget, "Configuring named pipe server for pipe: {}", pipe_name);
    const pipe_server::PipeServerContext context{pipe_name, manager, (*runtime)->executor()};

    return serve_then_stop_core(context, std::move(shutdown), status_handle);
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

Status run_service_dispatcher() {
    log::info(kTarget, "Starting Windows service dispatcher for '{}'", product::SERVICE_NAME);
    std::wstring name(product::SERVICE_NAME_W);
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), &service_main}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) return fail(win32::last_os_error());
    service_main_tracker().wait_until_finished(kServiceMainWindDown);
    return {};
}

void WINAPI service_main(DWORD argc, LPWSTR* argv) {
    service_main_tracker().entered();
    log::info(kTarget, "service_main entry called by SCM");
    // The start arguments carry nothing the service uses.
    std::vector<std::string> arguments;
    for (DWORD i = 0; i < argc && argv != nullptr; ++i)
        if (argv[i] != nullptr) arguments.push_back(win32::from_wide(argv[i]));

    const ServiceRun run = run_service();
    // Everything the run built is released by now. The stopped report comes
    // last, after the last record is written: the process may end at any
    // moment once it is made.
    if (run.status_handle != nullptr) log::info(kTarget, "Reporting service status: Stopped");
    if (!run.outcome)
        log::error(kTarget, "Service main loop exited with error: {}", run.outcome.error().multi_line());
    else
        log::info(kTarget, "Service main loop terminated normally");
    log::flush();
    const SERVICE_STATUS stopped = run.outcome ? stopped_status() : stopped_after_failure_status(run.outcome.error());
    report_stopped_event(run.outcome, stopped);
    if (run.status_handle != nullptr) (void)report_status(run.status_handle, stopped);
    service_main_tracker().finished();
}

ServiceRun run_service() {
    security::load_strict_mode();
    auto [sender, receiver] = pipe_server::make_shutdown_signal();
    const ControlHandlerAttachment handler(sender.clone());

    log::info(kTarget, "Registering Windows service control handler for '{}'", product::SERVICE_NAME);
    std::wstring name(product::SERVICE_NAME_W);
    ServiceRun run;
    run.status_handle = ::RegisterServiceCtrlHandlerExW(name.c_str(), &on_service_control, &control_handler_state());
    if (run.status_handle == nullptr) {
        run.outcome = fail(win32::last_os_error().context("Failed to register Windows service control handler"));
        return run;
    }

    log::info(kTarget, "Reporting service status: StartPending");
    if (!report_status(run.status_handle, start_pending_status()))
        run.outcome = fail(win32::last_os_error().context("Report start pending"));
    else
        run.outcome = serve_until_stopped(run.status_handle, std::move(receiver));
    return run;
}

}  // namespace zorv::service
