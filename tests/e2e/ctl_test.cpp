// zorv-ctl.exe as an operator runs it: arguments, the request it sends, what
// it prints and its exit status. The pipe's far end is a scripted server in
// this test process, so every request and reply is known exactly.

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "pipe_server/api_records.hpp"
#include "pipe_server/framing.hpp"
#include "pipe_server/pipe_client.hpp"
#include "support/test_env.hpp"

namespace zorv::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::wstring wide_pipe_path(const std::string& name) { return win32::to_wide("\\\\.\\pipe\\" + name); }

// Serves one connection per script entry on a single-instance pipe: reads the
// request frame and answers with the entry's reply, or closes without one.
class ScriptedPipe {
public:
    ScriptedPipe(std::string name, std::vector<std::optional<std::string>> replies)
        : name_(std::move(name)), replies_(std::move(replies)) {
        thread_ = std::thread([this] { serve(); });
        // The first instance exists before any client is started.
        for (int i = 0; i < 200 && !listening_; ++i) std::this_thread::sleep_for(5ms);
    }
    ~ScriptedPipe() {
        stopping_ = true;
        // Unblock a server still waiting for a client that never came.
        while (!finished_) {
            HANDLE client = ::CreateFileW(wide_pipe_path(name_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
            if (client != INVALID_HANDLE_VALUE) ::CloseHandle(client);
            std::this_thread::sleep_for(10ms);
        }
        thread_.join();
    }

    // Request payloads in arrival order; an empty text where none arrived.
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        for (const auto& reply : replies_) {
            if (stopping_) break;
            win32::UniqueHandle pipe(::CreateNamedPipeW(wide_pipe_path(name_).c_str(), PIPE_ACCESS_DUPLEX,
                                                        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536,
                                                        65536, 0, nullptr));
            if (!pipe) break;
            listening_ = true;
            if (!::ConnectNamedPipe(pipe.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) break;
            if (stopping_) break;
            auto request = pipe_client::read_frame(pipe.get());
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request ? *request : std::string());
            }
            if (reply && request) {
                (void)pipe_client::write_all(pipe.get(), framing::encode_frame(*reply));
                ::FlushFileBuffers(pipe.get());
            }
            ::DisconnectNamedPipe(pipe.get());
        }
        finished_ = true;
    }

    std::string name_;
    std::vector<std::optional<std::string>> replies_;
    std::thread thread_;
    std::atomic<bool> listening_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
};

RunResult ctl(std::vector<std::string> args) {
    ProcessOptions options;
    options.args = std::move(args);
    return run_program(ctl_exe(), std::move(options), 60s);
}

// The request as the helper would read it.
api::PipeRequest parsed_request(const std::string& payload) {
    auto request = api::parse_pipe_request(payload);
    EXPECT_TRUE(request) << payload;
    return request ? std::move(*request) : api::PipeRequest{};
}

TEST(ZorvCtl, SaysSoWhenNoHelperListens) {
    const std::string pipe = unique_pipe_name("ctl-nobody");
    const auto result = ctl({"status", "--pipe", pipe});
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: No helper is listening on \\\\.\\pipe\\" + pipe + "\n");
}

TEST(ZorvCtl, BadArgumentsPrintUsageAndExitTwo) {
    const struct {
        std::vector<std::string> args;
        const char* complaint;
    } cases[] = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{"Health"}, "unknown command \"Health\""},
        {{"health", "extra"}, "unexpected argument \"extra\""},
        {{"status", "--bogus", "1"}, "unknown option --bogus"},
        {{"status", "-x"}, "unknown option -x"},
        {{"stop", "--profile", "p"}, "option --profile does not apply to stop"},
        {{"start", "--client-pid", "12x"}, "option --client-pid takes a process id from 0 to 4294967295, not \"12x\""},
        {{"start", "--client-pid", "4294967296"},
         "option --client-pid takes a process id from 0 to 4294967295, not \"4294967296\""},
        {{"start", "--client-pid=-1"}, "option --client-pid takes a process id from 0 to 4294967295, not \"-1\""},
        {{"reset", "--operation-id", "a", "--operation-id", "b"}, "option --operation-id is given more than once"},
        {{"health", "--pipe"}, "option --pipe needs a value"},
        {{"health", "--pipe", ""}, "option --pipe needs a pipe name"},
        {{"health", "--timeout", "soon"}, "option --timeout takes whole seconds, not \"soon\""},
    };
    for (const auto& c : cases) {
        const auto result = ctl(c.args);
        EXPECT_EQ(result.exit_code, 2u) << c.complaint;
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(result.err.starts_with(std::string("zorv-ctl: ") + c.complaint + "\n\nUsage: zorv-ctl"))
            << result.err;
    }

    const auto help = ctl({"--help"});
    EXPECT_EQ(help.exit_code, 0u);
    EXPECT_TRUE(help.out.starts_with("Usage: zorv-ctl")) << help.out;
    EXPECT_NE(help.out.find("--client-runtime-id"), std::string::npos);
}

TEST(ZorvCtl, EachCommandSendsItsRouteAndPrintsTheReply) {
    const std::string pipe = unique_pipe_name("ctl-routes");
    const std::string ok = R"({"status":200,"body":{"running":false,"state":"stopped","serviceInstanceId":"1"}})";
    ScriptedPipe server(pipe, {ok, ok, ok, ok, ok, ok});

    const struct {
        std::vector<std::string> args;
        const char* method;
        const char* path;
        std::optional<json> body;
    } cases[] = {
        {{"health", "--pipe", pipe}, "GET", "/healthz", std::nullopt},
        {{"--pipe=" + pipe, "status"}, "GET", "/v1/runtime/status", std::nullopt},
        {{"register", "--pipe", "\\\\.\\pipe\\" + pipe}, "POST", "/v1/runtime/register_client", std::nullopt},
        {{"stop", "--pipe", pipe}, "POST", "/v1/runtime/stop", std::nullopt},
        {{"stop", "--trigger", "tray exit", "--client-runtime-id", "rt-1", "--operation-id", "op-1", "--pipe", pipe},
         "POST",
         "/v1/runtime/stop",
         json{{"trigger", "tray exit"}, {"clientRuntimeId", "rt-1"}, {"operationId", "op-1"}}},
        {{"reset", "--operation-id=op-2", "--pipe", pipe}, "POST", "/v1/runtime/reset", json{{"operationId", "op-2"}}},
    };
    for (const auto& c : cases) {
        const auto result = ctl(c.args);
        EXPECT_EQ(result.exit_code, 0u) << c.path << result.err;
        EXPECT_EQ(result.out,
                  "status: 200\n{\n  \"running\": false,\n  \"serviceInstanceId\": \"1\",\n  \"state\": \"stopped\"\n}\n");
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), std::size(cases));
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const auto request = parsed_request(requests[i]);
        EXPECT_EQ(request.method, cases[i].method);
        EXPECT_EQ(request.path, cases[i].path);
        EXPECT_EQ(request.body, cases[i].body) << requests[i];
    }
}

TEST(ZorvCtl, StartSendsEveryMemberAndTheConfigFileInline) {
    TestDir dir("ctl-start");
    const std::string config = "{\"log\":{\"level\":\"info\"},\"note\":\"caf\xc3\xa9 \\\"quoted\\\"\"}\r\n";
    write_file(dir / "my config.json", config);
    const std::string pipe = unique_pipe_name("ctl-start");
    ScriptedPipe server(pipe, {R"({"status":500,"body":{"message":"no core","error":"runtime_start_failed"}})",
                               R"({"status":400,"body":{"error":"validation_error","message":"Missing request body"}})"});

    const auto full = ctl({"start", "--pipe", pipe, "--profile", "work", "--binary", "C:\\src\\sing-box.exe",
                           "--config-path", "C:\\cfg\\a.json", "--config", win32::path_text(dir / "my config.json"),
                           "--source", "C:\\src", "--client-pid", "4294967295", "--client-runtime-id", "rt",
                           "--operation-id", "op"});
    EXPECT_EQ(full.exit_code, 1u);
    EXPECT_EQ(full.out,
              "status: 500\n{\n  \"error\": \"runtime_start_failed\",\n  \"message\": \"no core\"\n}\n");

    const auto bare = ctl({"start", "--pipe", pipe});
    EXPECT_EQ(bare.exit_code, 1u);
    EXPECT_TRUE(bare.out.starts_with("status: 400\n")) << bare.out;

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto request = parsed_request(requests[0]);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/v1/runtime/start");
    ASSERT_TRUE(request.body);
    EXPECT_EQ(*request.body, (json{{"profileId", "work"},
                                   {"binaryPath", "C:\\src\\sing-box.exe"},
                                   {"configPath", "C:\\cfg\\a.json"},
                                   {"configContent", config},
                                   {"sourcePath", "C:\\src"},
                                   {"clientPid", 4294967295u},
                                   {"clientRuntimeId", "rt"},
                                   {"operationId", "op"}}));
    // A start always carries a body, even with no options.
    EXPECT_EQ(parsed_request(requests[1]).body, json::object());
}

TEST(ZorvCtl, UnreadableConfigFileFailsBeforeConnecting) {
    TestDir dir("ctl-config");
    write_file(dir / "bad.json", "not \xff utf-8");
    const auto missing = ctl({"start", "--pipe", unique_pipe_name("ctl-unused"), "--config",
                              win32::path_text(dir / "absent.json")});
    EXPECT_EQ(missing.exit_code, 1u);
    EXPECT_TRUE(missing.err.starts_with("Error: Failed to open config file ")) << missing.err;

    const auto invalid =
        ctl({"start", "--pipe", unique_pipe_name("ctl-unused"), "--config", win32::path_text(dir / "bad.json")});
    EXPECT_EQ(invalid.exit_code, 1u);
    EXPECT_NE(invalid.err.find("is not valid UTF-8 text"), std::string::npos) << invalid.err;
}

TEST(ZorvCtl, ConnectionClosedWithoutAReply) {
    const std::string pipe = unique_pipe_name("ctl-refused");
    ScriptedPipe server(pipe, {std::nullopt});
    const auto result = ctl({"health", "--pipe", pipe});
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with("Error: The helper closed the connection without a reply")) << result.err;
}

TEST(ZorvCtl, WaitsForABusyPipe) {
    const std::string pipe = unique_pipe_name("ctl-busy");
    ScriptedPipe server(pipe, {std::nullopt, R"({"status":200,"body":{"ok":true}})"});
    // This test occupies the only instance first.
    auto blocker = pipe_client::connect(pipe, 5s);
    ASSERT_TRUE(blocker) << blocker.error().one_line();

    // With a short timeout the tool gives up on the busy pipe...
    const auto impatient = ctl({"health", "--pipe", pipe, "--timeout", "1"});
    EXPECT_EQ(impatient.exit_code, 1u);
    EXPECT_TRUE(impatient.err.starts_with("Error: Pipe stayed busy: \\\\.\\pipe\\" + pipe)) << impatient.err;

    // ...and with the default one it waits until the instance is free.
    TestDir dir("ctl-busy");
    ProcessOptions options;
    options.args = {"health", "--pipe", pipe};
    options.stdout_file = dir / "out.txt";
    options.stderr_file = dir / "err.txt";
    Process waiting(ctl_exe(), options);
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(waiting.running());
    blocker->reset();
    EXPECT_EQ(waiting.wait(30s), 0u);
    EXPECT_EQ(read_file(dir / "out.txt"), "status: 200\n{\n  \"ok\": true\n}\n");
}

}  // namespace
}  // namespace zorv::testing
