// The pipe listener in this process on a real named pipe: framing, caller
// verification against client programs copied under the desktop client's
// names, and shutdown.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include <aclapi.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "api/framing.hpp"
#include "common/text.hpp"
#include "control/control_handler.hpp"
#include "manager/runtime_manager.hpp"
#include "pipe_client/pipe_client.hpp"
#include "pipe_server/pipe_listener.hpp"
#include "support/pipe_access.hpp"
#include "support/raw_pipe.hpp"
#include "support/capturing_logger.hpp"
#include "support/test_env.hpp"

namespace zorv::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

// Sets or removes a variable of this process for one test, then restores it.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, std::optional<std::string> value) : name_(name), previous_(win32::env_var(name)) {
        set(value);
    }
    ~ScopedEnv() { set(previous_); }
    void set(const std::optional<std::string>& value) {
        ::SetEnvironmentVariableW(name_, value ? win32::to_wide(*value).c_str() : nullptr);
    }

private:
    const wchar_t* name_;
    std::optional<std::string> previous_;
};

// run_pipe_server on a thread of its own, with its own manager and pipe; slow
// connections go to a two-thread io_context.
struct ListenerOptions {
    std::string pipe_name;  // a fresh unique name when empty
    bool shutdown_before_start = false;
};

class RunningListener {
public:
    RunningListener() : RunningListener(ListenerOptions{}) {}
    explicit RunningListener(const ListenerOptions& options) : dir_("listener") {
        context_.pipe_name = options.pipe_name.empty() ? unique_pipe_name("listener") : options.pipe_name;
        manager::ManagerOptions manager_options;
        manager_options.service_dir = dir_.path();
        context_.handler =
            control::ControlHandler::create(manager::RuntimeManager::create(std::move(manager_options)),
                                            context_.pipe_name)
                .value();
        auto [sender, receiver] = pipe_server::make_shutdown_signal();
        sender_.emplace(std::move(sender));
        if (options.shutdown_before_start) sender_->publish(true);
        context_.executor = io_.get_executor();
        for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_.run(); });
        started_ = Clock::now();
        std::packaged_task<Status()> listener(
            [this, receiver = std::move(receiver)]() mutable { return pipe_server::run_pipe_server(context_, std::move(receiver)); });
        finished_ = listener.get_future();
        listener_ = std::thread(std::move(listener));
    }

    ~RunningListener() {
        sender_->publish(true);
        listener_.join();
        work_.reset();
        io_.stop();
        for (auto& thread : threads_) thread.join();
    }

    const std::string& pipe_name() const { return context_.pipe_name; }

    // Raises the signal from another thread, as the service control handler
    // does, and returns how long the listener took to return.
    Clock::duration raise_shutdown() {
        const auto raised = Clock::now();
        std::thread handler([this] { sender_->publish(true); });
        handler.join();
        if (!result(10s)) return 10s;
        return Clock::now() - raised;
    }

    // The listener's result; waits at most `limit`.
    std::optional<Status> result(Clock::duration limit = 10s) {
        if (outcome_) return outcome_;
        if (finished_.wait_for(limit) != std::future_status::ready) return std::nullopt;
        outcome_ = finished_.get();
        return outcome_;
    }
    Clock::time_point started() const { return started_; }

private:
    TestDir dir_;
    pipe_server::PipeServerContext context_;
    std::optional<pipe_server::ShutdownSender> sender_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
    std::thread listener_;
    std::future<Status> finished_;
    std::optional<Status> outcome_;
    std::vector<std::thread> threads_;
    Clock::time_point started_;
};

CapturingLogger& logs() { return CapturingLogger::instance(); }

// Shows what the helper logged when a test failed.
void dump_logs_on_failure() {
    if (!::testing::Test::HasFailure()) return;
    for (const auto& record : logs().records())
        std::fprintf(stderr, "  [%s] [%s] %s\n", std::string(log::level_name(record.level)).c_str(), record.target.c_str(),
                     record.message.c_str());
}

// Waits for a record whose message satisfies `match`; returns that message.
std::optional<std::string> wait_for_record(const std::function<bool(const CapturedRecord&)>& match,
                                           Clock::duration limit = 10s) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        for (const auto& record : logs().records())
            if (match(record)) return record.message;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

std::optional<std::string> wait_for_message(log::Level level, const std::string& prefix, Clock::duration limit = 10s) {
    return wait_for_record(
        [&](const CapturedRecord& r) { return r.level == level && r.message.starts_with(prefix); }, limit);
}

std::size_t count_messages(const std::string& prefix) {
    std::size_t count = 0;
    for (const auto& message : logs().messages())
        if (message.starts_with(prefix)) ++count;
    return count;
}

std::string request_json(const std::string& method, const std::string& path) {
    return nlohmann::json{{"method", method}, {"path", path}}.dump();
}

std::string length_prefix(std::uint32_t length) {
    const auto prefix = api::encode_length(length);
    return std::string(reinterpret_cast<const char*>(prefix.data()), prefix.size());
}

win32::UniqueHandle open_client(const std::string& pipe_name) {
    auto pipe = pipe_client::connect(pipe_name, 10s);
    if (!pipe) throw std::runtime_error(pipe.error().one_line());
    return std::move(*pipe);
}

// The reply's status, or the failure to read one.
Result<std::uint16_t> reply_status(HANDLE pipe) {
    auto reply = pipe_client::read_frame(pipe);
    if (!reply) return fail(reply.error());
    return nlohmann::json::parse(*reply).at("status").get<std::uint16_t>();
}

// ---------------------------------------------------------------------------
// Framing and the connection life cycle; this test program is the client.

class PipeFraming : public ::testing::Test {
protected:
    void SetUp() override { logs().clear(); }
    void TearDown() override { dump_logs_on_failure(); }

    ScopedEnv bypass_{L"ZORV_TEST_BYPASS_CLIENT_CHECK", std::nullopt};
    ScopedEnv expected_{L"SINGBOX_EXPECTED_CLIENT_PATH", win32::path_text(this_exe())};
    RunningListener listener_;
};

TEST_F(PipeFraming, AFrameOfExactlyTheLimitIsReadAndAnswered) {
    // Lower-case method and extra slashes reach the same route.
    std::string payload = request_json("get", "/healthz//");
    payload.resize(api::kMaxRequestSize, ' ');
    auto pipe = open_client(listener_.pipe_name());
    ASSERT_TRUE(pipe_client::write_all(pipe.get(), api::encode_frame(payload)));
    auto status = reply_status(pipe.get());
    ASSERT_TRUE(status) << status.error().one_line();
    EXPECT_EQ(*status, 200);
    EXPECT_EQ(count_messages("Pipe connection handling error"), 0u);
}

TEST_F(PipeFraming, OneByteOverTheLimitIsRefusedWithoutReadingThePayload) {
    auto pipe = open_client(listener_.pipe_name());
    // Only the length goes out: had the helper waited for the payload, no close would come.
    ASSERT_TRUE(pipe_client::write_all(pipe.get(), length_prefix(api::kMaxRequestSize + 1)));
    EXPECT_FALSE(pipe_client::read_frame(pipe.get()));
    EXPECT_EQ(wait_for_message(log::Level::Warn, "Pipe connection handling error"),
              "Pipe connection handling error: Frame size too large: 10485761 bytes");
}

TEST_F(PipeFraming, BrokenFramesCloseTheConnectionWithoutAReply) {
    struct Case {
        const char* label;
        std::string bytes;
        bool client_closes;  // otherwise the client waits for a reply that never comes
        const char* error;
    };
    const std::vector<Case> cases = {
        {"zero length", length_prefix(0), false, "Invalid JSON request\n\nCaused by:\n    "},
        {"two bytes, then close", std::string("\x05\x00", 2), true, "Failed to read frame length\n\nCaused by:\n    "},
        {"payload cut short", length_prefix(100) + "{\"method\":", true, "Failed to read payload\n\nCaused by:\n    "},
        {"not a request", api::encode_frame("[1,2]"), false, "Invalid JSON request\n\nCaused by:\n    "},
    };
    for (const auto& c : cases) {
        logs().clear();
        {
            auto pipe = open_client(listener_.pipe_name());
            ASSERT_TRUE(pipe_client::write_all(pipe.get(), c.bytes)) << c.label;
            if (!c.client_closes) {
                EXPECT_FALSE(pipe_client::read_frame(pipe.get())) << c.label;
            }
        }
        const auto message = wait_for_message(log::Level::Warn, "Pipe connection handling error: ");
        ASSERT_TRUE(message) << c.label;
        EXPECT_THAT(*message, StartsWith(std::string("Pipe connection handling error: ") + c.error)) << c.label;
    }
}

TEST_F(PipeFraming, BytesAfterTheRequestFrameAreNeverRead) {
    auto pipe = open_client(listener_.pipe_name());
    const std::string frame = api::encode_frame(request_json("GET", "/healthz"));
    ASSERT_TRUE(pipe_client::write_all(pipe.get(), frame + frame + "trailing"));
    auto first = reply_status(pipe.get());
    ASSERT_TRUE(first) << first.error().one_line();
    EXPECT_EQ(*first, 200);
    EXPECT_FALSE(pipe_client::read_frame(pipe.get())) << "a second request was answered";
    EXPECT_TRUE(wait_for_message(log::Level::Info, "Named pipe connection verified for client PID: "));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(count_messages("Named pipe connection verified for client PID: "), 1u);
    EXPECT_EQ(count_messages("Pipe connection handling error"), 0u);
}

TEST_F(PipeFraming, ASilentClientDoesNotStopOthersAndIsNeverTimedOut) {
    auto silent = open_client(listener_.pipe_name());
    ASSERT_TRUE(wait_for_message(log::Level::Info, "Named pipe connection verified for client PID: "));
    for (int i = 0; i < 3; ++i) {
        auto reply = pipe_client::call(listener_.pipe_name(), "GET", "/healthz", std::nullopt, 10s);
        ASSERT_TRUE(reply) << reply.error().one_line();
        EXPECT_EQ(reply->status, 200);
    }
    // The silent connection still waits for its request.
    ASSERT_TRUE(pipe_client::write_all(silent.get(), api::encode_frame(request_json("GET", "/healthz"))));
    auto late = reply_status(silent.get());
    ASSERT_TRUE(late) << late.error().one_line();
    EXPECT_EQ(*late, 200);
}

TEST_F(PipeFraming, ClientsThatTrickleTheirFramesAreServedWithoutHoldingTheAcceptingThreads) {
    // More trickling clients than accepting threads, a byte every 10 ms each.
    constexpr int kTricklers = 6;
    const std::string frame = api::encode_frame(request_json("GET", "/healthz"));
    std::atomic<int> trickling{kTricklers};
    std::vector<std::optional<std::uint16_t>> statuses(kTricklers);
    std::vector<std::thread> tricklers;
    for (int i = 0; i < kTricklers; ++i) {
        tricklers.emplace_back([&, i] {
            auto pipe = open_client(listener_.pipe_name());
            for (const char byte : frame) {
                if (!pipe_client::write_all(pipe.get(), std::string_view(&byte, 1))) break;
                std::this_thread::sleep_for(10ms);
            }
            --trickling;
            if (auto status = reply_status(pipe.get())) statuses[i] = *status;
        });
    }
    ASSERT_TRUE(wait_for_record([](const CapturedRecord& r) {
        return r.message.starts_with("Named pipe connection verified") && count_messages("Named pipe connection verified") >= kTricklers;
    }));
    auto reply = pipe_client::call(listener_.pipe_name(), "GET", "/healthz", std::nullopt, 10s);
    const int still_trickling = trickling.load();
    for (auto& trickler : tricklers) trickler.join();
    ASSERT_TRUE(reply) << reply.error().one_line();
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(still_trickling, kTricklers) << "the prompt client waited for the trickling ones";
    for (int i = 0; i < kTricklers; ++i) EXPECT_EQ(statuses[i], std::optional<std::uint16_t>(200)) << "trickler " << i;
    EXPECT_EQ(count_messages("Pipe connection handling error"), 0u);
}

TEST_F(PipeFraming, RaisingShutdownEndsTheListenerPromptlyAndAcceptedClientsAreStillServed) {
    auto accepted = open_client(listener_.pipe_name());
    ASSERT_TRUE(wait_for_message(log::Level::Info, "Named pipe connection verified for client PID: "));

    const auto took = listener_.raise_shutdown();
    EXPECT_LT(took, 1s);
    auto result = listener_.result();
    ASSERT_TRUE(result);
    EXPECT_TRUE(*result) << result->error().one_line();
    EXPECT_TRUE(logs().contains("Shutdown signal received in pipe listener loop"));
    EXPECT_FALSE(logs().contains("Shutdown received, stopping named pipe server"));

    // No instance listens any more ...
    auto refused = pipe_client::connect(listener_.pipe_name(), 300ms);
    EXPECT_FALSE(refused);
    // ... but the connection accepted before the shutdown finishes its request.
    ASSERT_TRUE(pipe_client::write_all(accepted.get(), api::encode_frame(request_json("GET", "/healthz"))));
    auto status = reply_status(accepted.get());
    ASSERT_TRUE(status) << status.error().one_line();
    EXPECT_EQ(*status, 200);
}

// ---------------------------------------------------------------------------
// Listener start and stop without a client.

class PipeListenerLifecycle : public ::testing::Test {
protected:
    void SetUp() override { logs().clear(); }
    void TearDown() override { dump_logs_on_failure(); }
};

TEST_F(PipeListenerLifecycle, AShutdownAlreadyRaisedReturnsAtOnceWithoutAnInstance) {
    RunningListener listener(ListenerOptions{.pipe_name = "", .shutdown_before_start = true});
    auto result = listener.result(2s);
    ASSERT_TRUE(result) << "the listener did not return";
    EXPECT_TRUE(*result);
    EXPECT_LT(Clock::now() - listener.started(), 1s);
    EXPECT_TRUE(logs().contains("Named pipe server starting on \\\\.\\pipe\\" + listener.pipe_name()));
    EXPECT_TRUE(logs().contains("Shutdown received, stopping named pipe server"));
    EXPECT_FALSE(logs().contains("Shutdown signal received in pipe listener loop"));
    auto pipe = pipe_client::connect(listener.pipe_name(), 200ms);
    ASSERT_FALSE(pipe);
    EXPECT_EQ(pipe.error().message(), "No helper is listening on \\\\.\\pipe\\" + listener.pipe_name());
}

TEST_F(PipeListenerLifecycle, AFirstInstanceThatCannotBeCreatedIsTriedSixTimes) {
    // A name longer than the system allows: every creation fails.
    RunningListener listener(ListenerOptions{.pipe_name = std::string(300, 'x'), .shutdown_before_start = false});
    auto result = listener.result(10s);
    ASSERT_TRUE(result) << "the listener did not give up";
    ASSERT_FALSE(*result);
    EXPECT_EQ(result->error().message(), "Failed to create named pipe with security attributes");
    ASSERT_EQ(result->error().causes().size(), 1u);
    const auto took = Clock::now() - listener.started();
    EXPECT_GE(took, 900ms) << "five pauses of 200 ms are made";
    EXPECT_LT(took, 5s);
}

// ---------------------------------------------------------------------------
// Caller verification with client programs named and placed like the desktop client.

struct ClientRun {
    std::optional<std::uint32_t> exit_code;
    std::string out;
    std::uint32_t pid = 0;
};

class PipeClientVerification : public ::testing::Test {
protected:
    void SetUp() override { logs().clear(); }
    void TearDown() override { dump_logs_on_failure(); }

    // A copy of the client double at `folder`\`name` inside this test's folder.
    fs::path client_at(const std::string& folder, const std::string& name) {
        const fs::path target = dir_ / folder / name;
        fs::create_directories(target.parent_path());
        fs::copy_file(double_exe("pipe_client"), target, fs::copy_options::overwrite_existing);
        return target;
    }

    ClientRun run_client(const fs::path& exe, const std::vector<std::string>& mode) {
        TestDir scratch("client-run");
        ProcessOptions options;
        options.args = {listener_.pipe_name()};
        options.args.insert(options.args.end(), mode.begin(), mode.end());
        options.stdout_file = scratch / "out.txt";
        ClientRun run;
        {
            Process process(exe, options);
            run.pid = process.pid();
            run.exit_code = process.wait(20s);
        }
        run.out = read_file(*options.stdout_file);
        return run;
    }

    ClientRun request(const fs::path& exe) { return run_client(exe, {"request", request_json("GET", "/healthz")}); }

    // Served: one reply with status 200.
    void expect_served(const fs::path& exe) {
        const ClientRun run = request(exe);
        EXPECT_EQ(run.exit_code, 0u) << exe << ": " << run.out;
        EXPECT_THAT(run.out, StartsWith("REPLY {\"status\":200,")) << exe;
        EXPECT_TRUE(wait_for_message(log::Level::Info,
                                     "Named pipe connection verified for client PID: " + std::to_string(run.pid)))
            << exe;
    }

    // Refused before anything is read: a silent client sees the close at once,
    // and a client with a request gets no reply.
    void expect_refused(const fs::path& exe, const std::function<std::string(std::uint32_t pid)>& reason) {
        const ClientRun silent = run_client(exe, {"silent"});
        EXPECT_EQ(silent.exit_code, 3u) << exe << ": " << silent.out;
        EXPECT_THAT(silent.out, StartsWith("CLOSED")) << exe;
        const ClientRun asking = request(exe);
        EXPECT_EQ(asking.exit_code, 3u) << exe << ": " << asking.out;
        EXPECT_THAT(asking.out, StartsWith("CLOSED")) << exe;

        for (const ClientRun* run : {&silent, &asking}) {
            const std::string why = reason(run->pid);
            EXPECT_EQ(wait_for_message(log::Level::Warn, "Rejected unauthorized named pipe client: " + why),
                      "Rejected unauthorized named pipe client: " + why);
            EXPECT_EQ(wait_for_message(log::Level::Warn, "Pipe connection handling error: Client verification failed: " + why),
                      "Pipe connection handling error: Client verification failed: " + why);
            EXPECT_FALSE(logs().contains("Named pipe connection verified for client PID: " + std::to_string(run->pid)));
        }
    }

    TestDir dir_{"clients"};
    ScopedEnv bypass_{L"ZORV_TEST_BYPASS_CLIENT_CHECK", std::nullopt};
    ScopedEnv expected_{L"SINGBOX_EXPECTED_CLIENT_PATH", std::nullopt};
    RunningListener listener_;
};

TEST_F(PipeClientVerification, TheDesktopClientInAnAllowedFolderIsServed) {
    for (const auto& [folder, name] : std::vector<std::pair<std::string, std::string>>{
             {"App", "vexl2.exe"}, {"App", "Vexl 2.exe"}, {"Program Files\\Vexl", "app-vexl2-tauri.exe"}}) {
        const fs::path exe = client_at(folder, name);
        const ClientRun run = request(exe);
        EXPECT_EQ(run.exit_code, 0u) << exe << ": " << run.out;
        EXPECT_THAT(run.out, StartsWith("REPLY {\"status\":200,")) << exe;
        // Wine puts every process in session 1.
        const std::string verified = "Verified client caller: PID=" + std::to_string(run.pid) +
                                     ", session=1, path='" + win32::path_text(exe) + "'";
        EXPECT_EQ(wait_for_message(log::Level::Info, verified), verified);
    }
}

TEST_F(PipeClientVerification, UntrustedFoldersAndOtherNamesAreRefused) {
    const fs::path downloaded = client_at("Downloads", "vexl2.exe");
    expect_refused(downloaded, [&](std::uint32_t) {
        return "Client process is running from untrusted directory: '" + win32::path_text(downloaded) + "'";
    });
    const fs::path in_tmp = client_at("tmp", "vexl2.exe");
    expect_refused(in_tmp, [&](std::uint32_t) {
        return "Client process is running from untrusted directory: '" + win32::path_text(in_tmp) + "'";
    });
    const fs::path other = client_at("App", "other.exe");
    expect_refused(other, [&](std::uint32_t pid) {
        return "Unauthorized client process: '" + win32::path_text(other) + "' (PID " + std::to_string(pid) + ")";
    });
}

TEST_F(PipeClientVerification, TheExpectedPathDecidesAlone) {
    const fs::path allowed = client_at("App", "vexl2.exe");
    const fs::path elsewhere = dir_ / "Elsewhere" / "vexl2.exe";
    expected_.set(win32::path_text(elsewhere));
    expect_refused(allowed, [&](std::uint32_t) {
        return "Client process path mismatch: actual='" + win32::path_text(allowed) + "', expected='" +
               win32::path_text(elsewhere) + "'";
    });

    // Any name, any folder, any letter case, surrounding spaces.
    const fs::path anything = client_at("Downloads", "whatever.exe");
    expected_.set("  " + text::ascii_upper(win32::path_text(anything)) + " ");
    expect_served(anything);
    EXPECT_EQ(count_messages("Verified client caller:"), 0u);
}

TEST_F(PipeClientVerification, BypassOnlyForOne) {
    const fs::path other = client_at("Downloads", "other.exe");
    bypass_.set("1");
    expect_served(other);
    EXPECT_EQ(count_messages("Verified client caller:"), 0u);

    bypass_.set("true");
    expect_refused(other, [&](std::uint32_t pid) {
        return "Unauthorized client process: '" + win32::path_text(other) + "' (PID " + std::to_string(pid) + ")";
    });
}

// The live pipe of the real helper, read back through a client's handle: no
// account but SYSTEM and Administrators may add an instance, and the pipe
// belongs to the account the helper runs as (SYSTEM for the service).
TEST(PipeSecurity, OnlySystemAndAdministratorsMayAddInstances) {
    HelperOptions options;
    options.label = "pipe-dacl";
    HelperUnderTest helper(options);
    helper.wait_until_serving();
    auto client = RawPipeClient::connect(helper.pipe_name(), 20s);
    ASSERT_TRUE(client) << client.error().one_line();

    PSID owner = nullptr;
    win32::UniqueLocalMemory<void> descriptor;
    ASSERT_EQ(::GetSecurityInfo(client->handle(), SE_KERNEL_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                nullptr, descriptor.put()),
              static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<std::string> creators;
    for (const security::Sid& sid : testing::pipe_instance_creators(descriptor.get())) creators.push_back(sid.text());
    EXPECT_THAT(creators, ::testing::IsEmpty());

    win32::UniqueHandle token;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()));
    std::vector<std::uint8_t> user(256);
    DWORD size = 0;
    ASSERT_TRUE(::GetTokenInformation(token.get(), TokenUser, user.data(), static_cast<DWORD>(user.size()), &size));
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(security::Sid::copy_of(owner).text(),
              security::Sid::copy_of(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid).text());
}

}  // namespace
}  // namespace zorv::testing
