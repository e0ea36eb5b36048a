// Overlapped calls on a real pipe instance: a call the system finishes at
// once returns without the coroutine waiting for the completion port; a
// pending one completes through the port.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "api/pipe_path.hpp"
#include "common/win32.hpp"
#include "pipe_server/overlapped_call.hpp"
#include "pipe_server/pipe_instance.hpp"
#include "support/test_env.hpp"

namespace zorv::pipe_server {
namespace {

using namespace std::chrono_literals;

struct Outcome {
    std::error_code ec;
    std::size_t bytes = 0;
};

DWORD connect_call(HANDLE handle, OVERLAPPED* overlapped, DWORD*) {
    const DWORD error = overlapped_result(::ConnectNamedPipe(handle, overlapped));
    return error == ERROR_PIPE_CONNECTED ? ERROR_SUCCESS : error;
}

// A connected instance on the io_context's port and a plain client end.
class OverlappedCallTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string path = api::pipe_path(testing::unique_pipe_name("overlapped"));
        auto handle = create_pipe_handle(path, true);
        ASSERT_TRUE(handle) << handle.error().one_line();
        auto created = bind_to_runtime(io_.get_executor(), std::move(*handle));
        ASSERT_TRUE(created) << created.error().one_line();
        server_.emplace(std::move(*created));
        client_.reset(::CreateFileW(win32::to_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(client_);
        std::optional<Outcome> connected = start(connect_call);
        ASSERT_TRUE(connected) << "a client that is already there is connected at once";
        EXPECT_FALSE(connected->ec) << connected->ec.message();
    }

    auto read_call() {
        return [this](HANDLE handle, OVERLAPPED* overlapped, DWORD* bytes) {
            return overlapped_result(::ReadFile(handle, buffer_, sizeof buffer_, bytes, overlapped));
        };
    }

    // Starts the call in a coroutine and runs it until it waits; the outcome
    // when it did not have to.
    std::optional<Outcome> start(OverlappedStart call) {
        outcome_.reset();
        issued_.reset();
        call = [this, call = std::move(call)](HANDLE handle, OVERLAPPED* overlapped, DWORD* bytes) {
            const DWORD error = call(handle, overlapped, bytes);
            issued_ = error;
            return error;
        };
        asio::co_spawn(
            io_,
            [this, call = std::move(call)]() -> asio::awaitable<void> {
                auto [ec, bytes] = co_await overlapped_call(*server_, call);
                outcome_ = Outcome{ec, bytes};
            },
            asio::detached);
        io_.restart();
        // Up to the call's start; on to its end only when it did not go pending.
        while (!issued_ && io_.poll_one() > 0) {
        }
        while (issued_ != ERROR_IO_PENDING && !outcome_ && io_.poll_one() > 0) {
        }
        return outcome_;
    }

    // Runs the port until the pending call has completed.
    std::optional<Outcome> complete() {
        io_.restart();
        for (int i = 0; i < 50 && !outcome_; ++i) io_.run_for(100ms);
        return outcome_;
    }

    void client_writes(const std::string& bytes) {
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(client_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    }

    std::string received(const Outcome& outcome) const { return std::string(buffer_, outcome.bytes); }

    asio::io_context io_;
    std::optional<asio::windows::stream_handle> server_;
    win32::UniqueHandle client_;
    std::optional<Outcome> outcome_;
    std::optional<DWORD> issued_;
    char buffer_[64] = {};
};

TEST_F(OverlappedCallTest, DataAlreadyThereIsReadWithoutWaiting) {
    client_writes("ping");
    const auto outcome = start(read_call());
    ASSERT_TRUE(outcome) << "the read did not finish inline";
    EXPECT_FALSE(outcome->ec) << outcome->ec.message();
    EXPECT_EQ(received(*outcome), "ping");
}

TEST_F(OverlappedCallTest, AReadThatWaitsCompletesThroughThePort) {
    ASSERT_FALSE(start(read_call())) << "nothing was there to read";
    client_writes("late");
    const auto outcome = complete();
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->ec) << outcome->ec.message();
    EXPECT_EQ(received(*outcome), "late");
}

TEST_F(OverlappedCallTest, AClosedClientFailsTheReadAtOnce) {
    client_.reset();
    const auto outcome = start(read_call());
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->ec.value(), ERROR_BROKEN_PIPE) << outcome->ec.message();
}

}  // namespace
}  // namespace zorv::pipe_server
