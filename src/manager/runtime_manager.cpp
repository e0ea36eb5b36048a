#include "manager/runtime_manager.hpp"

#include "common/clock.hpp"
#include "common/text.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"
#include "manager/core_config.hpp"
#include "manager/core_log.hpp"
#include "manager/firewall.hpp"
#include "security/core_deployment.hpp"

namespace zorv::manager {

namespace {
Result<std::filesystem::path> resolve_service_dir(const ManagerOptions& options) {
    if (options.service_dir) return *options.service_dir;
    return service_dir_of(win32::current_exe_path());
}

// A session started for one client is left alone by a request that names another.
bool belongs_to_other_client(const Session& session, const std::optional<std::string>& client_runtime_id) {
    const auto& own = session.record().client_runtime_id;
    return own && client_runtime_id && *own != *client_runtime_id;
}
}  // namespace

std::shared_ptr<RuntimeManager> RuntimeManager::create(ManagerOptions options) {
    return std::shared_ptr<RuntimeManager>(new RuntimeManager(std::move(options)));
}

RuntimeManager::RuntimeManager(ManagerOptions options)
    : resolved_service_dir_(resolve_service_dir(options)),
      launch_watchdog_(std::move(options.launch_watchdog)),
      stop_platform_(options.stop_platform != nullptr ? *options.stop_platform : system_core_stop_platform()),
      launcher_(options.core_launcher != nullptr ? *options.core_launcher : system_core_launcher()),
      clock_(options.clock != nullptr ? *options.clock : clock::system_clock()),
      tools_(options.child_tools != nullptr ? *options.child_tools : system_child_tools()),
      core_start_refusal_(std::move(options.core_start_refusal)),
      publisher_check_(security::PublisherCheck::load()) {
    if (resolved_service_dir_) service_dir_ = *resolved_service_dir_;
    shred_stale_configuration(service_dir_);
    service_instance_id_ = clock::new_operation_id();
}

RuntimeStatus RuntimeManager::status() {
    std::lock_guard lock(mutex_);
    detect_exit();
    return snapshot(std::nullopt);
}

RuntimeStatus RuntimeManager::snapshot(const std::optional<std::string>& operation_id) const {
    if (session_) return session_->status(service_instance_id_, operation_id);
    if (last_status_) {
        RuntimeStatus copy = *last_status_;
        if (operation_id) copy.last_operation_id = operation_id;
        return copy;
    }
    RuntimeStatus fresh = bare_stopped(service_instance_id_);
    fresh.last_operation_id = operation_id;
    return fresh;
}

Status RuntimeManager::end_session(const EndReason& reason) {
    if (!session_) {
        last_status_ = stopped_record(service_instance_id_, reason.operation_id);
        return {};
    }
    // Gone from the state before its stop, which may fail; its handles close
    // as `ending` goes out of scope, still under the lock.
    Session ending = std::move(*session_);
    session_.reset();
    SessionEnd ended = ending.end(reason, stop_platform_, service_instance_id_);
    last_status_ = std::move(ended.record);
    return std::move(ended.stopped);
}

void RuntimeManager::detect_exit() {
    if (!session_) return;
    if (const auto code = session_->exit_code())
        log::ignore_failure(end_session({EndReason::Kind::CoreExited, std::nullopt, *code}), log::target::manager,
                            "an exit involves no stop that could fail");
}

Status RuntimeManager::stop_session(const std::string& operation_id) {
    shred_stale_configuration(service_dir_);
    return end_session({EndReason::Kind::Stop, operation_id});
}

Result<RuntimeStatus> RuntimeManager::start(const StartCommand& command, security::ClientIdentity& client) {
    const std::string op = command.operation_id ? *command.operation_id : clock::new_operation_id();
    // The client's file is read before the lock is taken: its size and how
    // fast it can be read are the client's choice, and status requests must
    // not wait for either. Likewise the copy of a core to deploy, up to 256
    // MiB of the client's choosing (none without a service directory).
    auto configuration = select_configuration(command, client);
    Result<std::optional<security::StagedCore>> deployment = std::nullopt;
    if (command.source_path && resolved_service_dir_)
        deployment = security::stage_core(*command.source_path, service_dir_, client, publisher_check_);
    std::lock_guard lock(mutex_);
    // The running session is replaced, also by a start that then fails.
    if (auto stopped = stop_session(op); !stopped) return fail(stopped.error());
    if (core_start_refusal_) return fail(*core_start_refusal_);
    // The manager's directory is the executable's own unless a test named another.
    if (!resolved_service_dir_) return fail(resolved_service_dir_.error());
    auto session = Session::start(command, std::move(configuration), std::move(deployment),
                                  StartContext{service_dir_, launcher_, clock_, tools_});
    if (!session) return fail(session.error());
    session_.emplace(std::move(*session));
    if (command.client_pid != 0 && launch_watchdog_)
        launch_watchdog_(WatchdogRequest{weak_from_this(), command.client_pid, op, command.client_runtime_id});
    return snapshot(op);
}

Result<RuntimeStatus> RuntimeManager::stop(StopCommand command) {
    const std::string op = command.operation_id ? *command.operation_id : clock::new_operation_id();
    std::lock_guard lock(mutex_);
    detect_exit();
    if (session_ && command.client_runtime_id && !command.client_runtime_id->empty() &&
        belongs_to_other_client(*session_, command.client_runtime_id)) {
        log::warn(log::target::manager,
                  "Ignored stop request trigger={} because client_runtime_id '{}' did not match active '{}'",
                  text::log_safe(command.trigger), text::log_safe(*command.client_runtime_id),
                  text::log_safe(*session_->record().client_runtime_id));
        return snapshot(op);
    }
    if (auto stopped = stop_session(op); !stopped) return fail(stopped.error());
    return stopped_record(service_instance_id_, op);
}

Result<RuntimeStatus> RuntimeManager::reset(std::optional<std::string> operation_id) {
    const std::string op = operation_id ? *operation_id : clock::new_operation_id();
    std::lock_guard lock(mutex_);
    if (auto stopped = end_session({EndReason::Kind::Reset, op}); !stopped) return fail(stopped.error());
    return *last_status_;
}

void RuntimeManager::on_client_exit(const WatchdogRequest& request) {
    std::lock_guard lock(mutex_);
    if (!session_) return;
    if (belongs_to_other_client(*session_, request.client_runtime_id)) {
        log::info(log::target::manager, "Watchdog: active sing-box session belongs to newer client ({}); leaving running",
                  text::log_safe(*session_->record().client_runtime_id));
        return;
    }
    log::ignore_failure(end_session({EndReason::Kind::ClientExited, request.operation_id}), log::target::manager,
                        "the watchdog has nobody to tell; the record says so");
}

void RuntimeManager::remove_leftovers() {
    std::lock_guard lock(mutex_);
    // A start or stop that came first owns the rule now; a start with a LAN
    // port has removed any old one itself.
    if (session_ || last_status_) return;
    log::ignore_failure(remove_lan_firewall_rule(tools_), log::target::manager,
                        "logged either way; nobody waits on the outcome");
}

Result<std::filesystem::path> service_dir_of(const Result<std::filesystem::path>& executable) {
    if (!executable) return fail(executable.error().context("Failed to get current executable path"));
    if (!executable->has_parent_path() || executable->parent_path() == *executable)
        return fail("Failed to resolve service directory");
    return executable->parent_path();
}

}  // namespace zorv::manager
