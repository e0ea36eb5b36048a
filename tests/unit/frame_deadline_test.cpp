// Frame deadlines on real pipes: the sweep cancels the pending read of a
// pipe past its deadline, leaves pipes within theirs alone, and forgets a
// deadline once it is dropped.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "api/pipe_path.hpp"
#include "common/win32.hpp"
#include "pipe_server/frame_deadline.hpp"
#include "pipe_server/pipe_instance.hpp"
#include "support/test_env.hpp"

namespace zorv::pipe_server {
namespace {

using namespace std::chrono_literals;

// A connected server end (overlapped) with one pending read at a time.
class PendingRead {
public:
    PendingRead() {
        const std::string path = api::pipe_path(testing::unique_pipe_name("deadline"));
        auto server = create_pipe_handle(path, true);
        if (!server) throw std::runtime_error(server.error().one_line());
        server_ = std::move(*server);
        client_.reset(::CreateFileW(win32::to_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }

    HANDLE server() const { return server_.get(); }

    // Starts a read that waits, since the client sends nothing.
    bool start() {
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event_.get();
        return !::ReadFile(server_.get(), buffer_, sizeof buffer_, nullptr, &overlapped_) &&
               ::GetLastError() == ERROR_IO_PENDING;
    }

    // The read's error once it has ended within `limit`; nullopt while it still waits.
    std::optional<DWORD> ended_within(std::chrono::milliseconds limit) {
        if (::WaitForSingleObject(event_.get(), static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
            return std::nullopt;
        DWORD bytes = 0;
        return ::GetOverlappedResult(server_.get(), &overlapped_, &bytes, FALSE) ? ERROR_SUCCESS : ::GetLastError();
    }

    // Ends a read still waiting, so that the pipe can be closed.
    void finish() {
        DWORD written = 0;
        ::WriteFile(client_.get(), "x", 1, &written, nullptr);
        ended_within(5s);
    }

private:
    win32::UniqueHandle server_;
    win32::UniqueHandle client_;
    win32::UniqueHandle event_;
    OVERLAPPED overlapped_{};
    char buffer_[16] = {};
};

TEST(FrameDeadline, APipePastItsDeadlineHasItsReadCancelledAndOneWithinItIsLeftAlone) {
    DeadlineSweep sweep(20ms);
    PendingRead late, early;
    ASSERT_TRUE(late.start());
    ASSERT_TRUE(early.start());
    const FrameDeadline short_deadline(sweep, late.server(), 50ms);
    const FrameDeadline long_deadline(sweep, early.server(), 60s);

    EXPECT_EQ(late.ended_within(5s), ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(short_deadline.expired());
    EXPECT_EQ(early.ended_within(200ms), std::nullopt) << "cancelled before its deadline";
    EXPECT_FALSE(long_deadline.expired());
    early.finish();
}

TEST(FrameDeadline, AReadStartedAfterTheExpiryIsCancelledToo) {
    DeadlineSweep sweep(20ms);
    PendingRead read;
    const FrameDeadline deadline(sweep, read.server(), 10ms);
    ASSERT_TRUE(read.start());
    ASSERT_EQ(read.ended_within(5s), ERROR_OPERATION_ABORTED);
    ASSERT_TRUE(read.start());
    EXPECT_EQ(read.ended_within(5s), ERROR_OPERATION_ABORTED);
}

TEST(FrameDeadline, ADroppedDeadlineNoLongerCancelsAnything) {
    DeadlineSweep sweep(20ms);
    PendingRead read;
    { const FrameDeadline dropped(sweep, read.server(), 10ms); }
    ASSERT_TRUE(read.start());
    EXPECT_EQ(read.ended_within(300ms), std::nullopt);
    read.finish();
}

}  // namespace
}  // namespace zorv::pipe_server
