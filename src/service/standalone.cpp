#include "service/standalone.hpp"

#include <csignal>
#include <cstdio>
#include <variant>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/redirect_error.hpp>
#include <asio/signal_set.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "pipe_server/pipe_listener.hpp"
#include "security/strict_mode.hpp"
#include "service/service_host.hpp"
#include "service/service_identity.hpp"

namespace zorv::service {

namespace {

void write_stdout(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void write_stderr(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// Completes at the next Ctrl+C; a notification that cannot be set up counts as one.
asio::awaitable<void> next_ctrl_c() {
    asio::signal_set signals(co_await asio::this_coro::executor);
    std::error_code ec;
    signals.add(SIGINT, ec);
    if (ec) co_return;
    co_await signals.async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

// Serves until Ctrl+C or until the listener ends on its own.
asio::awaitable<void> standalone_loop(const pipe_server::PipeServerContext& context,
                                      pipe_server::ShutdownSender sender, pipe_server::ShutdownReceiver receiver) {
    using namespace asio::experimental::awaitable_operators;
    auto outcome = co_await (pipe_server::run_pipe_server(context, std::move(receiver)) || next_ctrl_c());
    if (outcome.index() == 0) {
        const Status& served = std::get<0>(outcome);
        if (!served) write_stderr("Pipe server error: " + served.error().multi_line() + "\n");
    } else {
        write_stdout("Ctrl+C received, shutting down...\n");
        (void)sender.publish(true);
    }
}

}  // namespace

Status run_standalone() {
    security::load_strict_mode();
    auto [sender, receiver] = pipe_server::make_shutdown_signal();
    auto runtime = AsyncRuntime::build();
    if (!runtime) return fail(runtime.error());
    auto manager = create_manager(**runtime);
    {
        pipe_server::PipeServerContext context{choose_pipe_name(), manager};
        write_stdout("Running " + std::string(SERVICE_NAME) + " standalone. Press Ctrl+C to stop.\n");
        (*runtime)->block_on(standalone_loop(context, sender.clone(), std::move(receiver)));
    }
    (void)manager->stop("standalone-stop", std::nullopt, std::nullopt);
    manager.reset();
    runtime->reset();
    return {};
}

}  // namespace zorv::service
