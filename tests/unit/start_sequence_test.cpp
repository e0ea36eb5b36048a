// The start's process steps through a scripted launcher: the failures no real
// process can be made to show on demand.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manager/core_launcher.hpp"
#include "manager/runtime_manager.hpp"
#include "security/client_impersonation.hpp"
#include "support/capturing_logger.hpp"
#include "support/test_env.hpp"

namespace zorv::manager {
namespace {

using ::testing::ElementsAreArray;

// A bare PE header: what the start checks the core's binary for.
std::string pe_header() {
    std::string bytes(128, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[60] = 64;
    bytes[64] = 'P';
    bytes[65] = 'E';
    return bytes;
}

class ScriptedLauncher final : public CoreLauncher {
public:
    bool bind_fails = false;
    bool resume_fails = false;
    bool exit_query_fails = false;
    std::optional<std::uint32_t> exit_code_after_pause;
    std::vector<std::string> calls;

    Result<ChildProcess> spawn_suspended(const CoreCommand&) override {
        calls.push_back("spawn");
        ChildProcess child;
        child.pid = 4242;
        return child;
    }
    void stream_input(win32::UniqueHandle, std::string content) override { calls.push_back("stream " + content); }
    Result<win32::UniqueHandle> bind_to_kill_on_close_job(const ChildProcess&) override {
        calls.push_back("bind");
        if (bind_fails) return fail(win32::os_error(ERROR_ACCESS_DENIED));
        return win32::UniqueHandle();
    }
    Status resume(const ChildProcess&) override {
        calls.push_back("resume");
        if (resume_fails) return fail(win32::os_error(ERROR_INVALID_HANDLE));
        return {};
    }
    Result<std::optional<std::uint32_t>> exit_code(const ChildProcess&) override {
        calls.push_back("exit?");
        if (exit_query_fails) return fail(win32::os_error(ERROR_INVALID_HANDLE));
        return exit_code_after_pause;
    }
    void kill(const ChildProcess&) override { calls.push_back("kill"); }
};

class RecordingTools final : public ChildToolRunner {
public:
    bool add_hangs = false;
    std::vector<std::string> calls;
    Result<std::int32_t> run(std::string_view program, const std::vector<std::string>& arguments) override {
        calls.push_back(std::string(program) + " " + arguments.at(2));
        if (add_hangs && arguments.at(2) == "add") return fail(win32::deadline_error("netsh.exe did not finish"));
        return 0;
    }
};

class VirtualClock final : public clock::Clock {
public:
    std::vector<std::chrono::milliseconds> sleeps;
    std::chrono::steady_clock::time_point now() override { return {}; }
    void sleep(std::chrono::milliseconds duration) override { sleeps.push_back(duration); }
};

StartCommand inline_start(std::string content, std::optional<std::string> profile = std::nullopt) {
    StartCommand command;
    command.profile_id = std::move(profile);
    command.config_content = std::move(content);
    return command;
}

TEST(StartSequence, ProcessFailuresEndTheCoreAndLeaveNoSession) {
    struct Case {
        std::string name;
        void (*script)(ScriptedLauncher&);
        std::vector<std::string> calls;
        std::string error;
    };
    const std::string denied = win32::error_text(ERROR_ACCESS_DENIED);
    const std::string invalid = win32::error_text(ERROR_INVALID_HANDLE);
    const std::vector<Case> cases = {
        {"job refused", [](ScriptedLauncher& l) { l.bind_fails = true; },
         {"spawn", "stream {}", "bind", "kill"}, "Failed to bind sing-box to Windows Job Object: " + denied},
        {"resume refused", [](ScriptedLauncher& l) { l.resume_fails = true; },
         {"spawn", "stream {}", "bind", "resume", "kill"}, "Failed to spawn sing-box process: " + invalid},
        {"exit unknown", [](ScriptedLauncher& l) { l.exit_query_fails = true; },
         {"spawn", "stream {}", "bind", "resume", "exit?"}, "Failed to check sing-box process status: " + invalid},
        {"exited at once", [](ScriptedLauncher& l) { l.exit_code_after_pause = 3; },
         {"spawn", "stream {}", "bind", "resume", "exit?"},
         "sing-box exited immediately with exit code: 3: check sing-box configuration"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TestDir dir("start-sequence");
        testing::write_file(dir / "sing-box.exe", pe_header());
        ScriptedLauncher launcher;
        c.script(launcher);
        VirtualClock clock;
        auto manager = RuntimeManager::create(
            ManagerOptions{.service_dir = dir.path(), .core_launcher = &launcher, .clock = &clock});
        security::OwnIdentity own;

        const auto started = manager->start(inline_start("{}"), own);

        ASSERT_FALSE(started);
        EXPECT_EQ(started.error().one_line(), c.error);
        EXPECT_THAT(launcher.calls, ElementsAreArray(c.calls));
        EXPECT_FALSE(manager->status().running);
    }
}

TEST(StartSequence, ACoreAliveAfterThePauseIsTheActiveSession) {
    testing::TestDir dir("start-sequence-alive");
    testing::write_file(dir / "sing-box.exe", pe_header());
    ScriptedLauncher launcher;
    VirtualClock clock;
    auto manager = RuntimeManager::create(
        ManagerOptions{.service_dir = dir.path(), .core_launcher = &launcher, .clock = &clock});
    security::OwnIdentity own;

    const auto started = manager->start(inline_start("{}", "work"), own);

    ASSERT_TRUE(started) << started.error().one_line();
    EXPECT_TRUE(started->running);
    EXPECT_EQ(started->pid, 4242u);
    EXPECT_EQ(started->profile_id, "work");
    EXPECT_THAT(clock.sleeps, ElementsAreArray({std::chrono::milliseconds(80)}));
    EXPECT_THAT(launcher.calls, ElementsAreArray({"spawn", "stream {}", "bind", "resume", "exit?"}));
}

TEST(StartSequence, ALanPortReplacesTheRuleAndAHungNetshEndsTheStart) {
    const std::string lan_config = R"({"inbounds":[{"type":"mixed","listen":"0.0.0.0","listen_port":7890}]})";
    for (const bool add_hangs : {false, true}) {
        SCOPED_TRACE(add_hangs ? "add hangs" : "add finishes");
        testing::TestDir dir("start-sequence-lan");
        testing::write_file(dir / "sing-box.exe", pe_header());
        ScriptedLauncher launcher;
        VirtualClock clock;
        RecordingTools tools;
        tools.add_hangs = add_hangs;
        auto manager = RuntimeManager::create(ManagerOptions{
            .service_dir = dir.path(), .core_launcher = &launcher, .clock = &clock, .child_tools = &tools});
        security::OwnIdentity own;

        const auto started = manager->start(inline_start(lan_config), own);

        // The old rule goes before the core starts, and again just before the new one is added.
        EXPECT_THAT(tools.calls, ElementsAreArray({"netsh.exe delete", "netsh.exe delete", "netsh.exe add"}));
        EXPECT_EQ(started.has_value(), !add_hangs);
        EXPECT_EQ(manager->status().running, !add_hangs);
        if (add_hangs) {
            EXPECT_TRUE(win32::is_deadline_error(started.error()));
        }
    }
}

}  // namespace
}  // namespace zorv::manager
