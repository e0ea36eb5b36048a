#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "common/win32.hpp"
#include "manager/runtime_manager.hpp"
#include "manager/session.hpp"
#include "manager/stop_core.hpp"
#include "support/capturing_logger.hpp"
#include "support/test_env.hpp"

namespace zorv::manager {

// The manager's session and record, which only tests reach from outside.
struct RuntimeManagerProbe {
    static std::optional<Session>& session(RuntimeManager& manager) { return manager.session_; }
    static std::optional<RuntimeStatus>& last_status(RuntimeManager& manager) { return manager.last_status_; }
};

namespace {

using std::chrono::milliseconds;
using testing::CapturingLogger;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::uint32_t kCorePid = 4242;

// Scripted console and process with a virtual clock; every call is recorded.
class ScriptedPlatform final : public CoreStopPlatform {
public:
    std::deque<bool> attach_results;  // consumed per attach; true once empty
    std::vector<std::uint32_t> console_peers;
    bool ignore_succeeds = true;
    bool break_succeeds = true;
    // Virtual time after the break at which the core has exited; never when unset.
    std::optional<milliseconds> exits_after_break;
    std::vector<std::string> calls;

    std::vector<std::uint32_t> own_console_peers() override {
        calls.push_back("peer?");
        return console_peers;
    }
    Status attach_console(std::uint32_t pid) override {
        bool ok = true;
        if (!attach_results.empty()) {
            ok = attach_results.front();
            attach_results.pop_front();
        }
        calls.push_back("attach " + std::to_string(pid) + (ok ? "" : " (fails)"));
        return outcome(ok);
    }
    Status free_console() override {
        calls.push_back("free");
        return {};
    }
    Status ignore_ctrl_events(bool ignore) override {
        calls.push_back(ignore ? "ignore on" : "ignore off");
        return outcome(ignore ? ignore_succeeds : true);
    }
    Status send_ctrl_break(std::uint32_t group) override {
        calls.push_back("break " + std::to_string(group));
        if (break_succeeds) break_time_ = clock_;
        return outcome(break_succeeds);
    }
    bool has_exited(const ChildProcess&) override {
        ++polls;
        return killed_ || (break_time_ && exits_after_break && clock_ - *break_time_ >= *exits_after_break);
    }
    Status kill_and_wait(const ChildProcess&, milliseconds limit) override {
        calls.push_back("kill");
        killed_ = !kill_hangs;
        kill_limit = limit;
        time_at_kill = clock_ - std::chrono::steady_clock::time_point{};
        return outcome(killed_);
    }
    std::chrono::steady_clock::time_point now() override { return clock_; }
    void sleep(milliseconds duration) override {
        ++sleeps;
        clock_ += duration;
    }
    Status remove_firewall_rule() override {
        calls.push_back("firewall");
        if (firewall_hangs) return fail(win32::deadline_error("netsh.exe did not finish"));
        return {};
    }

    bool kill_hangs = false;  // the killed process outlives the wait
    bool firewall_hangs = false;
    milliseconds kill_limit{};
    int polls = 0;
    int sleeps = 0;
    std::chrono::steady_clock::duration time_at_kill{};

private:
    static Status outcome(bool succeeds) {
        if (!succeeds) return fail(win32::os_error(ERROR_ACCESS_DENIED));
        return {};
    }

    std::chrono::steady_clock::time_point clock_{};
    std::optional<std::chrono::steady_clock::time_point> break_time_;
    bool killed_ = false;
};

ChildProcess core() {
    ChildProcess child;
    child.pid = kCorePid;
    return child;
}

Session session_with(std::optional<std::uint16_t> port, std::optional<std::string> client_runtime_id) {
    SessionRecord record;
    record.profile_id = "work";
    record.binary_path = "C:\\svc\\sing-box.exe";
    record.config_path = "stdin";
    record.tun_interface = "singbox_tun";
    record.client_runtime_id = std::move(client_runtime_id);
    record.started_at = 1'700'000'000'000;
    record.lan_proxy_port = port;
    return Session(LaunchedCore{core(), {}, std::nullopt}, std::move(record));
}

std::vector<std::string> logged() { return CapturingLogger::instance().messages(); }

class StopCoreTest : public ::testing::Test {
protected:
    void SetUp() override { CapturingLogger::instance().clear(); }
};

const std::string kPid = std::to_string(kCorePid);
const std::string kAttachFailed = "Failed to attach console to sing-box process pid=" + kPid;
const std::string kBreakFailed = "Failed to generate CTRL_BREAK_EVENT for sing-box pid=" + kPid;
const std::string kBreakSent = "Sent CTRL_BREAK_EVENT to sing-box process pid=" + kPid;
const std::string kForced = "sing-box pid=" + kPid + " did not exit gracefully, force killing";
const std::string kNoConsole =
    "Could not reattach to the helper's console through any of 2 process(es); Ctrl+C may no longer reach the helper";
const std::string kGracefulNative =
    "sing-box pid=" + kPid + " exited gracefully; Wintun adapter closed natively by sing-box.";

struct ConsoleCase {
    std::string name;
    std::deque<bool> attach_results;
    std::vector<std::uint32_t> console_peers;
    bool ignore_succeeds;
    bool break_succeeds;
    std::vector<std::string> console_calls;  // the calls before polling or killing
    std::vector<std::string> log_lines;      // in order, up to the forced-stop line
};

// Every path of the console handshake against a core that never exits.
TEST_F(StopCoreTest, ConsoleHandshakeOnEveryPath) {
    const std::string attach = "attach " + kPid;
    const std::string fails = attach + " (fails)";
    const std::string brk = "break " + kPid;
    const std::vector<ConsoleCase> cases = {
        {"attached at once", {true}, {}, true, true,
         {attach, "ignore on", brk, "free", "ignore off"}, {kBreakSent, kForced}},
        {"retry after freeing the helper's own console", {false, true}, {}, true, true,
         {fails, "peer?", "free", attach, "ignore on", brk, "free", "ignore off"}, {kBreakSent, kForced}},
        {"retry, then back to the helper's console", {false, true}, {77u}, true, true,
         {fails, "peer?", "free", attach, "ignore on", brk, "free", "ignore off", "attach 77"},
         {kBreakSent, kForced}},
        {"attach fails twice", {false, false}, {}, true, true,
         {fails, "peer?", "free", fails}, {kAttachFailed, kForced}},
        {"attach fails twice, back to the helper's console", {false, false}, {77u}, true, true,
         {fails, "peer?", "free", fails, "attach 77"}, {kAttachFailed, kForced}},
        {"the first process on the helper's console has gone: the next one serves", {false, true, false, true},
         {77u, 78u}, true, true,
         {fails, "peer?", "free", attach, "ignore on", brk, "free", "ignore off", "attach 77 (fails)", "attach 78"},
         {kBreakSent, kForced}},
        {"no process left on the helper's console: a warning", {false, true, false, false}, {77u, 78u}, true, true,
         {fails, "peer?", "free", attach, "ignore on", brk, "free", "ignore off", "attach 77 (fails)",
          "attach 78 (fails)"},
         {kNoConsole, kBreakSent, kForced}},
        {"break refused (as under Wine)", {true}, {}, true, false,
         {attach, "ignore on", brk, "free", "ignore off"}, {kBreakFailed, kForced}},
        {"ignoring could not be set, so nothing to restore", {true}, {}, false, true,
         {attach, "ignore on", brk, "free"}, {kBreakSent, kForced}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CapturingLogger::instance().clear();
        ScriptedPlatform platform;
        platform.attach_results = c.attach_results;
        platform.console_peers = c.console_peers;
        platform.ignore_succeeds = c.ignore_succeeds;
        platform.break_succeeds = c.break_succeeds;
        EXPECT_TRUE(stop_core_gracefully(core(), false, platform));

        std::vector<std::string> expected = c.console_calls;
        expected.push_back("kill");
        EXPECT_THAT(platform.calls, ElementsAreArray(expected));
        EXPECT_THAT(logged(), ElementsAreArray(c.log_lines));
    }
}

TEST_F(StopCoreTest, CoreThatExitsWithinTheWindowIsNotKilled) {
    ScriptedPlatform platform;
    platform.exits_after_break = milliseconds(120);
    EXPECT_TRUE(stop_core_gracefully(core(), false, platform));

    EXPECT_THAT(platform.calls, Not(::testing::Contains("kill")));
    // Polls at 0, 50, 100 and 150 ms; the exit is seen at 150.
    EXPECT_EQ(platform.polls, 4);
    EXPECT_THAT(logged(), ElementsAreArray({kBreakSent, "sing-box pid=" + kPid + " exited gracefully in 150ms",
                                            kGracefulNative}));
}

TEST_F(StopCoreTest, CoreThatIgnoresTheBreakIsKilledAfterTwoSeconds) {
    ScriptedPlatform platform;
    platform.exits_after_break = milliseconds(2000);  // just too late
    EXPECT_TRUE(stop_core_gracefully(core(), false, platform));

    EXPECT_EQ(platform.polls, 40);  // every 50 ms from 0 to 1950
    EXPECT_EQ(platform.sleeps, 40);
    EXPECT_EQ(platform.time_at_kill, milliseconds(2000));
    EXPECT_EQ(platform.calls.back(), "kill");
    EXPECT_THAT(logged(), ElementsAreArray({kBreakSent, kForced}));
}

TEST_F(StopCoreTest, FirewallRuleGoesAfterTheProcessOnlyForSessionsWithAPort) {
    struct Case {
        std::string name;
        std::optional<std::uint16_t> port;
        std::optional<milliseconds> exits_after;
        std::vector<std::string> tail;
    };
    const std::vector<Case> cases = {
        {"graceful, with port", 8080, milliseconds(0), {"ignore off", "firewall"}},
        {"forced, with port", 8080, std::nullopt, {"kill", "firewall"}},
        {"graceful, no port", std::nullopt, milliseconds(0), {"free", "ignore off"}},
        {"forced, no port", std::nullopt, std::nullopt, {"ignore off", "kill"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPlatform platform;
        platform.exits_after_break = c.exits_after;
        EXPECT_TRUE(stop_core_gracefully(core(), c.port.has_value(), platform));
        ASSERT_GE(platform.calls.size(), c.tail.size());
        EXPECT_EQ(std::vector<std::string>(platform.calls.end() - static_cast<std::ptrdiff_t>(c.tail.size()),
                                           platform.calls.end()),
                  c.tail);
    }
}

// The waits of a stop are bounded: whatever outlives its deadline is an error
// for the caller, logged at ERROR, and the rest of the stop still happens.
TEST_F(StopCoreTest, WaitsThatRunOutOfTimeAreErrorsForTheCaller) {
    struct Case {
        std::string name;
        bool kill_hangs;
        bool firewall_hangs;
        std::string error;  // the error's top line
        std::optional<std::string> error_record;
    };
    const std::string kKillTimeout = "sing-box pid=" + kPid + " did not end within 5000 ms of being killed";
    const std::vector<Case> cases = {
        {"a killed core that does not end", true, false, kKillTimeout, kKillTimeout},
        {"a hung netsh.exe", false, true, "netsh.exe did not finish", std::nullopt},
        {"both: the core's is the one reported", true, true, kKillTimeout, kKillTimeout},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CapturingLogger::instance().clear();
        ScriptedPlatform platform;
        platform.kill_hangs = c.kill_hangs;
        platform.firewall_hangs = c.firewall_hangs;
        const Status stopped = stop_core_gracefully(core(), true, platform);

        ASSERT_FALSE(stopped);
        EXPECT_EQ(stopped.error().message(), c.error);
        EXPECT_TRUE(win32::is_deadline_error(stopped.error()));
        EXPECT_EQ(platform.kill_limit, kKilledCoreDeadline);
        EXPECT_EQ(platform.calls.back(), "firewall");  // the rule goes even when the kill did not finish
        const auto records = CapturingLogger::instance().records();
        const bool logged_as_error = std::any_of(records.begin(), records.end(), [&](const auto& record) {
            return record.level == log::Level::Error && c.error_record && record.message == *c.error_record;
        });
        EXPECT_EQ(logged_as_error, c.error_record.has_value());
    }
}

// The watchdog's last step, once its client has gone.
class ClientExitTest : public StopCoreTest {
protected:
    WatchdogRequest request(std::optional<std::string> client_runtime_id) {
        return WatchdogRequest{manager, 999, "op-of-start", std::move(client_runtime_id)};
    }
    // A manager whose stops go through `platform`; its creation logs nothing kept.
    void use_platform(ScriptedPlatform& platform) {
        manager = RuntimeManager::create(ManagerOptions{dir.path(), {}, &platform});
        CapturingLogger::instance().clear();
    }
    std::optional<Session>& session() { return RuntimeManagerProbe::session(*manager); }
    std::optional<RuntimeStatus>& last_status() { return RuntimeManagerProbe::last_status(*manager); }

    testing::TestDir dir{"client-exit"};
    std::shared_ptr<RuntimeManager> manager;
};

TEST_F(ClientExitTest, StopsTheSessionUnlessANewerClientOwnsIt) {
    struct Case {
        std::string name;
        std::optional<std::string> session_id;
        std::optional<std::string> watchdog_id;
        bool stops;
    };
    const std::vector<Case> cases = {
        {"same client", "a", "a", true},
        {"newer client", "b", "a", false},
        {"ids differ only in case", "A", "a", false},
        {"session without id", std::nullopt, "a", true},
        {"watchdog without id", "b", std::nullopt, true},
        {"neither has an id", std::nullopt, std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CapturingLogger::instance().clear();
        ScriptedPlatform platform;
        platform.exits_after_break = milliseconds(0);
        use_platform(platform);
        session().emplace(session_with(8080, c.session_id));
        RuntimeStatus earlier = bare_stopped("instance");
        earlier.detail = "earlier";
        last_status() = earlier;

        manager->on_client_exit(request(c.watchdog_id));

        if (!c.stops) {
            EXPECT_TRUE(session().has_value());
            EXPECT_EQ(last_status(), earlier);
            EXPECT_TRUE(platform.calls.empty());
            EXPECT_THAT(logged(), ElementsAreArray({"Watchdog: active sing-box session belongs to newer client (" +
                                                    *c.session_id + "); leaving running"}));
            continue;
        }
        EXPECT_FALSE(session().has_value());
        EXPECT_THAT(platform.calls, ::testing::Contains("firewall"));
        ASSERT_FALSE(logged().empty());
        EXPECT_EQ(logged().front(), "Watchdog: stopping active sing-box PID=" + kPid + " due to client exit");

        ASSERT_TRUE(last_status().has_value());
        const RuntimeStatus& record = *last_status();
        EXPECT_FALSE(record.running);
        EXPECT_EQ(record.state, "stopped");
        EXPECT_EQ(record.detail, "GUI client exited");
        EXPECT_EQ(record.service_instance_id, "watchdog");
        EXPECT_EQ(record.last_operation_id, "op-of-start");
        EXPECT_EQ(record.started_at, 1'700'000'000'000);
        EXPECT_TRUE(record.stopped_at.has_value());
        EXPECT_EQ(record.profile_id, "work");
        EXPECT_EQ(record.binary_path, "C:\\svc\\sing-box.exe");
        EXPECT_EQ(record.config_path, "stdin");
        EXPECT_EQ(record.client_runtime_id, c.session_id);
        EXPECT_FALSE(record.pid.has_value());
        EXPECT_FALSE(record.singbox_pid.has_value());
    }
}

TEST_F(ClientExitTest, NothingRunningLeavesTheStateAlone) {
    RuntimeStatus earlier = bare_stopped("instance");
    earlier.last_operation_id = "earlier-op";
    ScriptedPlatform platform;
    use_platform(platform);
    last_status() = earlier;

    manager->on_client_exit(request("a"));

    EXPECT_EQ(last_status(), earlier);
    EXPECT_TRUE(platform.calls.empty());
    EXPECT_TRUE(logged().empty());
}

}  // namespace
}  // namespace zorv::manager
