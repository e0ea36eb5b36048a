#pragma once
// What the service and the standalone console run share: the asynchronous
// runtime, the runtime manager wired to it, the choice of pipe name, and the
// control pipe served for that manager.

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "common/error.hpp"
#include "manager/runtime_manager.hpp"
#include "pipe_server/pipe_listener.hpp"

namespace zorv::service {

// A multi-threaded runtime: one io_context run by one worker per logical processor.
class AsyncRuntime {
public:
    static Result<std::unique_ptr<AsyncRuntime>> build();
    ~AsyncRuntime();
    AsyncRuntime(const AsyncRuntime&) = delete;
    AsyncRuntime& operator=(const AsyncRuntime&) = delete;

    asio::io_context& context() { return context_; }
    asio::any_io_executor executor() { return context_.get_executor(); }

private:
    AsyncRuntime() = default;
    asio::io_context context_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    std::vector<std::thread> workers_;
};

// SINGBOX_WINDOWS_SERVICE_PIPE_NAME when set to valid text (even empty);
// otherwise the service name followed by ".Control".
std::string choose_pipe_name();

// The runtime manager, with client watchdogs launched on `runtime`, after
// what a killed predecessor left behind has been removed. With a refusal,
// every start of the core fails with it.
std::shared_ptr<manager::RuntimeManager> create_manager(AsyncRuntime& runtime,
                                                        std::optional<std::string> core_start_refusal = std::nullopt);

// Serves the control pipe for `manager` until the shutdown signal turns true
// or the listener fails (its error); then the manager operation under way
// finishes and those still waiting are refused. Blocks the caller meanwhile.
Status serve_control_pipe(AsyncRuntime& runtime, std::shared_ptr<manager::RuntimeManager> manager,
                          std::string pipe_name, pipe_server::ShutdownReceiver shutdown,
                          pipe_server::ListeningCallback on_listening = {});

}  // namespace zorv::service
