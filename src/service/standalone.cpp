#include "service/standalone.hpp"

#include <csignal>
#include <cstdio>
#include <variant>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/redirect_error.hpp>
#include <asio/signal_set.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "common/product.hpp"
#include "pipe_server/pipe_listener.hpp"
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

// Serves until Ctrl+C or until the listener ends on its own; the listener's
// error, if it ended with one.
asio::awaitable<Status> standalone_loop(const pipe_server::PipeServerContext& context,
                                        pipe_server::ShutdownSender sender, pipe_server::ShutdownReceiver receiver) {
    using namespace asio::experimental::awaitable_operators;
    auto outcome = co_await (pipe_server::run_pipe_server(context, std::move(receiver)) || next_ctrl_c());
    if (outcome.index() == 0) co_return std::get<0>(std::move(outcome));
    write_stdout("Ctrl+C received, shutting down...\n");
    (void)sender.publish(true);
    co_return Status{};
}

}  // namespace

Status run_standalone() {
    security::load_strict_mode();
    auto [sender, receiver] = pipe_server::make_shutdown_signal();
    auto runtime = AsyncRuntime::build();
    if (!runtime) return fail(runtime.error());
    auto manager = create_manager(**runtime);
    Status served;
    {
        pipe_server::PipeServerContext context{choose_pipe_name(), manager};
        write_stdout("Running " + std::string(product::SERVICE_NAME) + " standalone. Press Ctrl+C to stop.\n");
        served = (*runtime)->block_on(standalone_loop(context, sender.clone(), std::move(receiver)));
    }
    (void)manager->stop({"standalone-stop", std::nullopt, std::nullopt});
    manager.reset();
    runtime->reset();
    // The process entry prints the error and exits with 1.
    if (!served) return fail(served.error().context("Pipe server error"));
    return {};
}

}  // namespace zorv::service
