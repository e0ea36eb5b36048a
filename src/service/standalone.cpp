#include "service/standalone.hpp"

#include <csignal>
#include <cstdio>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/signal_set.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "common/product.hpp"
#include "logger/log.hpp"
#include "security/strict_mode.hpp"
#include "service/service_host.hpp"

namespace zorv::service {

namespace {

void write_stdout(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Completes at the next Ctrl+C; a notification that cannot be set up counts as one.
asio::awaitable<void> next_ctrl_c() {
    asio::signal_set signals(co_await asio::this_coro::executor);
    std::error_code ec;
    signals.add(SIGINT, ec);
    if (ec) co_return;
    co_await signals.async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

// Turns the next Ctrl+C into a shutdown publication. Waits on the runtime,
// which drops the wait when it is torn down.
asio::awaitable<void> shut_down_on_ctrl_c(pipe_server::ShutdownSender sender) {
    co_await next_ctrl_c();
    write_stdout("Ctrl+C received, shutting down...\n");
    sender.publish(true);  // false when the run has ended already: nothing to tell
}

}  // namespace

Status run_standalone() {
    security::load_strict_mode();
    auto [sender, receiver] = pipe_server::make_shutdown_signal();
    auto runtime = AsyncRuntime::build();
    if (!runtime) return fail(runtime.error());
    auto manager = create_manager(**runtime);
    write_stdout("Running " + std::string(product::kServiceName) + " standalone. Press Ctrl+C to stop.\n");
    asio::co_spawn((*runtime)->executor(), shut_down_on_ctrl_c(sender.clone()), asio::detached);
    const Status served = serve_control_pipe(**runtime, manager, choose_pipe_name(), std::move(receiver));
    log::ignore_failure(manager->stop({"standalone-stop", std::nullopt, std::nullopt}), log::target::service,
                        "the run ends either way");
    manager.reset();
    runtime->reset();
    // The process entry prints the error and exits with 1.
    if (!served) return fail(served.error().context("Pipe server error"));
    return {};
}

}  // namespace zorv::service
