#include "service/service_host.hpp"

#include <asio/post.hpp>

#include "common/product.hpp"
#include "common/win32.hpp"
#include "control/control_handler.hpp"
#include "manager/watchdog.hpp"

namespace zorv::service {

Result<std::unique_ptr<AsyncRuntime>> AsyncRuntime::build() {
    std::unique_ptr<AsyncRuntime> runtime(new AsyncRuntime());
    runtime->work_.emplace(runtime->context_.get_executor());
    const unsigned count = std::max(1u, std::thread::hardware_concurrency());
    try {
        for (unsigned i = 0; i < count; ++i) runtime->workers_.emplace_back([ctx = &runtime->context_] { ctx->run(); });
    } catch (const std::system_error& e) {
        return fail(Error(e.what()).context("Failed to build Tokio runtime"));
    }
    return runtime;
}

AsyncRuntime::~AsyncRuntime() {
    work_.reset();
    context_.stop();
    for (auto& worker : workers_)
        if (worker.joinable()) worker.join();
}

std::string choose_pipe_name() {
    if (auto name = win32::env_var(L"SINGBOX_WINDOWS_SERVICE_PIPE_NAME")) return *name;
    return product::default_pipe_name();
}

std::shared_ptr<manager::RuntimeManager> create_manager(AsyncRuntime& runtime,
                                                        std::optional<std::string> core_start_refusal) {
    manager::ManagerOptions options;
    options.core_start_refusal = std::move(core_start_refusal);
    options.launch_watchdog = [watchdogs = manager::ClientWatchdogs::create(runtime.executor())](
                                  manager::WatchdogRequest request) { watchdogs->watch(std::move(request)); };
    auto manager = manager::RuntimeManager::create(std::move(options));
    // On a worker, so that a slow netsh.exe never delays serving the pipe.
    asio::post(runtime.executor(), [manager] { manager->remove_leftovers(); });
    return manager;
}

Status serve_control_pipe(AsyncRuntime& runtime, std::shared_ptr<manager::RuntimeManager> manager,
                          std::string pipe_name, pipe_server::ShutdownReceiver shutdown,
                          pipe_server::ListeningCallback on_listening) {
    auto control = control::ControlHandler::create(std::move(manager), pipe_name);
    if (!control) return fail(control.error());
    const pipe_server::PipeServerContext context{std::move(pipe_name), *control, runtime.executor()};
    Status served = pipe_server::run_pipe_server(context, std::move(shutdown), std::move(on_listening));
    (*control)->close();
    return served;
}

}  // namespace zorv::service
