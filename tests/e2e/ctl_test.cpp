// zorv.exe, the operator CLI, as an operator runs it: arguments, the request it
// sends, what it prints and its exit status. The far end of the pipe is a
// scripted server in a process of its own, which the CLI is told to trust
// with --server-path where it should take it for a helper, so every request
// and reply is known exactly; the last tests talk to the real helper.

#include <algorithm>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <windows.h>

#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "api/records.hpp"
#include "common/text.hpp"
#include "pipe_client/pipe_client.hpp"
#include "support/test_env.hpp"

namespace zorv::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr std::string_view kServicePipe = "VEXL2VpnService.Control";

// A scripted_server double (see tests/doubles/scripted_server.cpp) serving
// one connection per step, from `home` when given (so that its image path is
// known before it starts), else from a folder of its own.
class ScriptedServer {
public:
    ScriptedServer(const std::string& pipe, std::vector<std::string> steps,
                   const std::string& image_name = "zorv-helper.exe", std::optional<fs::path> home = std::nullopt)
        : dir_("ctl-server"), home_(home.value_or(dir_.path())), image_(home_ / image_name) {
        fs::copy_file(double_exe("scripted_server"), image_);
        ProcessOptions options;
        options.args = {pipe, win32::path_text(home_)};
        options.args.insert(options.args.end(), steps.begin(), steps.end());
        process_.emplace(image_, options);
        for (int i = 0; i < 400 && !fs::exists(home_ / "listening"); ++i) std::this_thread::sleep_for(25ms);
        EXPECT_TRUE(fs::exists(home_ / "listening")) << "the scripted server did not start";
    }

    std::uint32_t pid() const { return process_->pid(); }
    // `args` followed by the option that makes the CLI trust this server.
    std::vector<std::string> trusted(std::vector<std::string> args) const { return with_server(args, image_); }
    static std::vector<std::string> with_server(std::vector<std::string> args, const fs::path& image) {
        args.insert(args.end(), {"--server-path", win32::path_text(image)});
        return args;
    }
    // The k-th request it read (from 1); nullopt when that connection never came.
    std::optional<std::string> request(int k) const {
        const fs::path file = home_ / ("request-" + std::to_string(k) + ".txt");
        for (int i = 0; i < 100 && !fs::exists(file); ++i) std::this_thread::sleep_for(20ms);
        if (!fs::exists(file)) return std::nullopt;
        return read_file(file);
    }

private:
    TestDir dir_;
    fs::path home_;
    fs::path image_;
    std::optional<Process> process_;
};

RunResult ctl(std::vector<std::string> args, std::map<std::string, std::optional<std::string>> env = {}) {
    ProcessOptions options;
    options.args = std::move(args);
    options.env = std::move(env);
    options.env.emplace("SINGBOX_WINDOWS_SERVICE_PIPE_NAME", std::nullopt);
    return run_program(ctl_exe(), std::move(options), 60s);
}

api::PipeRequest parsed_request(const std::optional<std::string>& payload) {
    EXPECT_TRUE(payload);
    auto request = api::parse_pipe_request(payload.value_or(""));
    EXPECT_TRUE(request) << payload.value_or("(none)");
    return request ? std::move(*request) : api::PipeRequest{};
}

std::string reply(int status, const json& body) { return "reply:" + json{{"status", status}, {"body", body}}.dump(); }

TEST(ZorvCtl, BadArgumentsAreNamedInOneLineAndExitTwo) {
    TestDir dir("ctl-args");
    const struct {
        std::vector<std::string> args;
        std::string complaint;
    } cases[] = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{"Health"}, "unknown command \"Health\""},
        {{"health", "extra"}, "unexpected argument \"extra\""},
        {{"status", "--bogus"}, "unknown option \"--bogus\""},
        {{"status", "--bogus", "1"}, "unknown option \"--bogus\""},
        {{"status", "--bogus=1"}, "unknown option \"--bogus\""},
        {{"status", "-x"}, "unknown option \"-x\""},
        {{"logs", "-n5"}, "unknown option \"-n5\""},
        {{"stop", "--profile", "p"}, "option --profile does not apply to stop"},
        {{"status", "--core"}, "option --core does not apply to status"},
        {{"start", "--client-pid", "12x"}, "option --client-pid takes a process id from 0 to 4294967295, not \"12x\""},
        {{"start", "--client-pid", "4294967296"},
         "option --client-pid takes a process id from 0 to 4294967295, not \"4294967296\""},
        {{"start", "--client-pid=-1"}, "option --client-pid takes a process id from 0 to 4294967295, not \"-1\""},
        {{"reset", "--operation-id", "a", "--operation-id", "b"}, "option --operation-id is given more than once"},
        {{"logs", "-n", "3", "--lines", "4"}, "option --lines is given more than once"},
        {{"health", "--pipe"}, "option --pipe needs a value"},
        {{"status", "--pipe", "--json"}, "option --pipe needs a value"},
        {{"health", "--pipe", ""}, "option --pipe: needs a pipe name"},
        {{"health", "--pipe", "..\\C:\\x"}, "option --pipe: \"..\\\\C:\\\\x\" is not a usable pipe name"},
        {{"health", "--pipe", "a/b"}, "option --pipe: \"a/b\" is not a usable pipe name"},
        {{"health", "--pipe", "\\\\.\\pipe\\"}, "option --pipe: needs a pipe name"},
        {{"health", "--timeout", "soon"}, "option --timeout takes whole seconds from 1 to 86400, not \"soon\""},
        {{"health", "--timeout", "0"}, "option --timeout takes whole seconds from 1 to 86400, not \"0\""},
        {{"health", "--timeout=86401"}, "option --timeout takes whole seconds from 1 to 86400, not \"86401\""},
        {{"status", "--json=yes"}, "option --json takes no value"},
        {{"logs", "-n", "0"}, "option -n takes a line count from 1 to 10000, not \"0\""},
        {{"start", "--config", win32::path_text(dir / "absent.json")},
         "Failed to open config file " + win32::path_text(dir / "absent.json")},
    };
    for (const auto& c : cases) {
        const auto result = ctl(c.args);
        EXPECT_EQ(result.exit_code, 2u) << c.complaint;
        // With --json a script reads the failure from standard output too.
        if (std::ranges::find(c.args, "--json") != c.args.end())
            EXPECT_TRUE(result.out.starts_with("{\"error\":{\"exitCode\":2,\"message\":\"" + c.complaint)) << result.out;
        else
            EXPECT_EQ(result.out, "");
        const std::string expected_start = "zorv: " + c.complaint;
        EXPECT_TRUE(result.err.starts_with(expected_start)) << result.err << "\nwanted: " << expected_start;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
}

TEST(ZorvCtl, HelpAndVersionWorkAnywhere) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"status", "--help"}, {"start", "--profile", "x", "-h"}, {"--bogus", "--help"}}) {
        const auto help = ctl(args);
        EXPECT_EQ(help.exit_code, 0u);
        EXPECT_TRUE(help.out.starts_with("Usage: zorv ")) << help.out;
        EXPECT_EQ(help.err, "");
    }
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--version"}, {"status", "--version"}, {"logs", "--core", "--version"}}) {
        const auto version = ctl(args);
        EXPECT_EQ(version.exit_code, 0u);
        EXPECT_EQ(version.out, "zorv 2.1.20\n");
        EXPECT_EQ(version.err, "");
    }
}

// Every command and option the help lists is one the parser knows.
TEST(ZorvCtl, HelpListsOnlyWhatIsAccepted) {
    const std::string help = ctl({"--help"}).out;
    std::set<std::string> commands;
    std::set<std::string> options;
    const std::regex command_line("^  ([a-z]+) ");
    const std::regex option_row("^ +(-[a-z], )?(--[a-z-]+)");
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, command_line)) commands.insert(match[1]);
        if (std::regex_search(line, match, option_row)) {
            options.insert(match[2]);
            if (match[1].matched) options.insert(match[1].str().substr(0, 2));
        }
    }
    EXPECT_EQ(commands, (std::set<std::string>{"health", "status", "start", "stop", "reset", "register", "wait",
                                               "version", "service", "logs", "diag"}));
    EXPECT_EQ(options.size(), 20u) << help;
    for (const auto& command : commands) {
        const auto result = ctl({command, "--bogus"});
        EXPECT_TRUE(result.err.starts_with("zorv: unknown option \"--bogus\"")) << command << ": " << result.err;
    }
    for (const auto& option : options) {
        const auto result = ctl({"frobnicate", option, "x"});
        EXPECT_EQ(result.exit_code, option == "--help" || option == "-h" || option == "--version" ? 0u : 2u) << option;
        EXPECT_EQ(result.err.find("unknown option"), std::string::npos) << option << ": " << result.err;
    }
}

TEST(ZorvCtl, EachCommandSendsItsRouteAndPrintsTheReply) {
    const std::string pipe = unique_pipe_name("ctl-routes");
    const std::string ok = reply(200, {{"running", false}, {"state", "stopped"}, {"serviceInstanceId", "1"}});
    ScriptedServer server(pipe, {ok, ok, ok, ok, ok, ok, ok});

    const struct {
        std::vector<std::string> args;
        const char* method;
        const char* path;
        std::optional<json> body;
    } cases[] = {
        {{"health", "--pipe", pipe}, "GET", "/healthz", std::nullopt},
        {{"--pipe=" + pipe, "status"}, "GET", "/v1/runtime/status", std::nullopt},
        {{"register", "--pipe", "\\\\.\\PIPE\\" + pipe}, "POST", "/v1/runtime/register_client", std::nullopt},
        {{"stop", "--pipe", pipe}, "POST", "/v1/runtime/stop", std::nullopt},
        {{"stop", "--trigger", "tray exit", "--client-runtime-id", "rt-1", "--operation-id", "op-1", "--pipe", pipe},
         "POST",
         "/v1/runtime/stop",
         json{{"trigger", "tray exit"}, {"clientRuntimeId", "rt-1"}, {"operationId", "op-1"}}},
        {{"reset", "--operation-id=op-2", "--pipe", pipe}, "POST", "/v1/runtime/reset", json{{"operationId", "op-2"}}},
        {{"wait", "--pipe", pipe}, "GET", "/healthz", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto result = ctl(server.trusted(c.args));
        EXPECT_EQ(result.exit_code, 0u) << c.path << result.err;
        EXPECT_EQ(result.out,
                  "status: 200\n{\n  \"running\": false,\n  \"serviceInstanceId\": \"1\",\n  \"state\": \"stopped\"\n}\n");
        EXPECT_EQ(result.err, "");
    }
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto request = parsed_request(server.request(static_cast<int>(i + 1)));
        EXPECT_EQ(request.method, cases[i].method);
        EXPECT_EQ(request.path, cases[i].path);
        EXPECT_EQ(request.body, cases[i].body);
    }
}

TEST(ZorvCtl, JsonPrintsOnlyTheReply) {
    const std::string pipe = unique_pipe_name("ctl-json");
    ScriptedServer server(pipe, {reply(200, {{"ok", true}}), reply(404, {{"error", "not_found"}})});
    // The flag stands before the command and takes no value.
    const auto ok = ctl(server.trusted({"--json", "status", "--pipe", pipe}));
    EXPECT_EQ(ok.exit_code, 0u) << ok.err;
    EXPECT_EQ(ok.out, "{\"body\":{\"ok\":true},\"status\":200}\n");
    EXPECT_EQ(parsed_request(server.request(1)).path, "/v1/runtime/status");

    const auto missing = ctl(server.trusted({"health", "--json", "--pipe", pipe}));
    EXPECT_EQ(missing.exit_code, 1u);
    EXPECT_EQ(missing.out, "{\"body\":{\"error\":\"not_found\"},\"status\":404}\n");
    EXPECT_EQ(missing.err, "zorv: The helper answered with status 404\n");

    // No reply: one JSON error object, and the usual line on standard error.
    const auto absent = ctl({"status", "--json", "--timeout", "1", "--pipe", pipe + "-absent"});
    EXPECT_EQ(absent.exit_code, 3u);
    const json failure = json::parse(absent.out, nullptr, false);
    ASSERT_TRUE(failure.is_object()) << absent.out;
    EXPECT_EQ(failure["error"]["exitCode"], 3);
    EXPECT_TRUE(failure["error"]["message"].get<std::string>().starts_with("No helper is listening on")) << absent.out;
    EXPECT_TRUE(absent.err.starts_with("zorv: No helper is listening on")) << absent.err;
}

TEST(ZorvCtl, StartSendsEveryMemberAndTheConfigFileInline) {
    TestDir dir("ctl-start");
    const std::string config = "{\"log\":{\"level\":\"info\"},\"note\":\"caf\xc3\xa9 \\\"quoted\\\"\"}\r\n";
    write_file(dir / "my config.json", config);
    write_file(dir / "bad.json", "not \xff utf-8");
    const std::string pipe = unique_pipe_name("ctl-start");
    ScriptedServer server(pipe, {reply(500, {{"message", "no core"}, {"error", "runtime_start_failed"}}),
                                 reply(400, {{"error", "validation_error"}, {"message", "Missing\nrequest body"}})});

    const auto full = ctl(server.trusted({"start", "--pipe", pipe, "--profile", "work", "--binary",
                                          "C:\\src\\sing-box.exe", "--config-path", "C:\\cfg\\a.json", "--config",
                                          win32::path_text(dir / "my config.json"), "--source", "C:\\src",
                                          "--client-pid", "4294967295", "--client-runtime-id", "rt", "--operation-id",
                                          "op"}));
    EXPECT_EQ(full.exit_code, 1u);
    EXPECT_EQ(full.out, "status: 500\n{\n  \"error\": \"runtime_start_failed\",\n  \"message\": \"no core\"\n}\n");
    EXPECT_EQ(full.err, "zorv: The helper answered with status 500: no core\n");

    // A line break in the reply cannot split the one line on standard error.
    const auto bare = ctl(server.trusted({"start", "--pipe", pipe}));
    EXPECT_EQ(bare.exit_code, 1u);
    EXPECT_EQ(bare.err, "zorv: The helper answered with status 400: Missing\xEF\xBF\xBDrequest body\n");

    const auto request = parsed_request(server.request(1));
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/v1/runtime/start");
    EXPECT_EQ(request.body, (json{{"profileId", "work"},
                                  {"binaryPath", "C:\\src\\sing-box.exe"},
                                  {"configPath", "C:\\cfg\\a.json"},
                                  {"configContent", config},
                                  {"sourcePath", "C:\\src"},
                                  {"clientPid", 4294967295u},
                                  {"clientRuntimeId", "rt"},
                                  {"operationId", "op"}}));
    // A start always carries a body, even with no options.
    EXPECT_EQ(parsed_request(server.request(2)).body, json::object());

    // A file that is not text is refused before anything is sent.
    const auto invalid = ctl({"start", "--pipe", pipe, "--config", win32::path_text(dir / "bad.json")});
    EXPECT_EQ(invalid.exit_code, 2u);
    EXPECT_NE(invalid.err.find("is not valid UTF-8 text"), std::string::npos) << invalid.err;
}

// Exit 3 whenever no usable reply came; each ends by itself within its --timeout.
TEST(ZorvCtl, NoReplyEndsWithExitThree) {
    const struct {
        std::string label;
        std::vector<std::string> steps;  // empty: no server at all
        std::string complaint;
    } cases[] = {
        {"nobody", {}, "No helper is listening on \\\\.\\pipe\\{} (waited 2 s)"},
        {"closed", {"close"}, "the helper closed the connection without a reply: it refused this client or the request; see service.log"},
        {"refused", {"refuse"}, "the helper closed the connection without a reply: it refused this client or the request; see service.log"},
        {"silent", {"silent"}, "No reply within 2 s"},
        {"huge", {"announce:4294967295"}, "The reply announces 4294967295 bytes; a reply has at most 10485760"},
        {"over", {"announce:10485761"}, "The reply announces 10485761 bytes; a reply has at most 10485760"},
        {"short", {"announce:100"}, "No reply within 2 s"},
        {"garbage", {"reply:not json"}, "The reply is not one the helper sends: \"not json\""},
    };
    for (const auto& c : cases) {
        const std::string pipe = unique_pipe_name("ctl-" + c.label);
        std::optional<ScriptedServer> server;
        if (!c.steps.empty()) server.emplace(pipe, c.steps);
        const std::vector<std::string> args = {"status", "--pipe", pipe, "--timeout", "2"};
        const auto result = ctl(server ? server->trusted(args) : args);
        ASSERT_TRUE(result.exit_code) << c.label << ": still running after a minute";
        EXPECT_EQ(*result.exit_code, 3u) << c.label;
        EXPECT_EQ(result.out, "") << c.label;
        std::string complaint = c.complaint;
        if (const auto at = complaint.find("{}"); at != std::string::npos) complaint.replace(at, 2, pipe);
        EXPECT_TRUE(result.err.starts_with("zorv: " + complaint)) << c.label << ": " << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
}

// A server that never reads cannot hold a request bigger than the pipe's buffer
// past the timeout either.
TEST(ZorvCtl, ADeafServerEndsTheSendWithinTheTimeout) {
    TestDir dir("ctl-deaf");
    write_file(dir / "big.json", "{\"pad\":\"" + std::string(4u << 20, 'x') + "\"}");
    const std::string pipe = unique_pipe_name("ctl-deaf");
    ScriptedServer server(pipe, {"deaf"});
    const auto result =
        ctl(server.trusted({"start", "--pipe", pipe, "--timeout", "2", "--config", win32::path_text(dir / "big.json")}));
    ASSERT_TRUE(result.exit_code) << "still running after a minute";
    EXPECT_EQ(*result.exit_code, 3u);
    EXPECT_EQ(result.err, "zorv: The helper did not take the request within 2 s\n");
}

TEST(ZorvCtl, WaitsForAPipeThatIsNotThereYet) {
    const std::string pipe = unique_pipe_name("ctl-later");
    TestDir dir("ctl-later");
    TestDir home("ctl-later-server");
    std::vector<Process> clients;
    for (const char* command : {"wait", "health"}) {
        ProcessOptions options;
        options.args = ScriptedServer::with_server({command, "--pipe", pipe, "--timeout", "60"}, home / "zorv-helper.exe");
        options.stdout_file = dir / (std::string(command) + ".out");
        options.stderr_file = dir / (std::string(command) + ".err");
        clients.emplace_back(ctl_exe(), options);
    }
    std::this_thread::sleep_for(1500ms);
    for (auto& client : clients) EXPECT_TRUE(client.running());
    ScriptedServer server(pipe, {reply(200, {{"ok", true}}), reply(200, {{"ok", true}})}, "zorv-helper.exe", home.path());
    for (auto& client : clients) EXPECT_EQ(client.wait(30s), 0u);
    EXPECT_EQ(read_file(dir / "wait.out"), "status: 200\n{\n  \"ok\": true\n}\n");
    EXPECT_EQ(read_file(dir / "health.out"), "status: 200\n{\n  \"ok\": true\n}\n");
}

TEST(ZorvCtl, WaitsForABusyPipeWithinTheTimeout) {
    const std::string pipe = unique_pipe_name("ctl-busy");
    ScriptedServer server(pipe, {"close", reply(200, {{"ok", true}})});
    // This test occupies the only instance first.
    auto blocker = pipe_client::connect(pipe, 5s);
    ASSERT_TRUE(blocker) << blocker.error().one_line();

    const auto impatient = ctl(server.trusted({"health", "--pipe", pipe, "--timeout", "1"}));
    EXPECT_EQ(impatient.exit_code, 3u);
    EXPECT_EQ(impatient.err, "zorv: \\\\.\\pipe\\" + pipe + " stayed busy for 1 s\n");

    TestDir dir("ctl-busy");
    ProcessOptions options;
    options.args = server.trusted({"health", "--pipe", pipe});
    options.stdout_file = dir / "out.txt";
    options.stderr_file = dir / "err.txt";
    Process waiting(ctl_exe(), options);
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(waiting.running());
    blocker->reset();
    EXPECT_EQ(waiting.wait(30s), 0u);
    EXPECT_EQ(read_file(dir / "out.txt"), "status: 200\n{\n  \"ok\": true\n}\n");
}

// Nothing is sent to a server that is not the helper, however it is named:
// not even `start`, whose configuration may hold credentials, and a reply it
// forges at once is never printed.
TEST(ZorvCtl, RefusesAServerThatIsNotTheHelper) {
    TestDir dir("ctl-identity");
    write_file(dir / "secret.json", "{\"password\":\"hunter2\"}");
    const std::string config = win32::path_text(dir / "secret.json");

    const std::string pipe = unique_pipe_name("ctl-impostor");
    const std::string forged = "greet:{\"status\":200,\"body\":{}}";
    ScriptedServer impostor(pipe, {forged, forged, forged});
    const std::string trusted = win32::path_text(ctl_exe().parent_path() / "zorv-helper.exe");
    const std::string refusal = fmt::format("Refusing to send to \\\\.\\pipe\\{}: its server, process {}, runs ", pipe,
                                            impostor.pid());
    const struct {
        std::vector<std::string> args;
        std::string complaint;
        std::string expected;
    } cases[] = {
        {{"start", "--pipe", pipe, "--config", config}, "zorv: " + refusal, trusted},
        {{"start", "--pipe", pipe, "--config-path", config, "--server-path", win32::path_text(helper_exe())},
         "zorv: " + refusal, win32::path_text(helper_exe())},
        // `wait` tries again until its time is up, then names the refusal.
        {{"wait", "--pipe", pipe, "--timeout", "3"}, "zorv: The helper did not answer within 3 s: " + refusal, trusted},
    };
    for (int k : {1, 2, 3}) {
        const auto& c = cases[k - 1];
        const auto result = ctl(c.args);
        EXPECT_EQ(result.exit_code, 3u);
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(result.err.starts_with(c.complaint)) << result.err;
        EXPECT_TRUE(result.err.ends_with(fmt::format("zorv-helper.exe\", not {} (--server-path names the helper to trust)\n",
                                                     text::quoted(c.expected))))
            << result.err;
        EXPECT_EQ(impostor.request(k), "") << "bytes reached the impostor";
    }

    // On the service's pipe only the service's own process will do; no
    // service is installed in this prefix.
    ScriptedServer squatter(std::string(kServicePipe), {"greet:{\"status\":200,\"body\":{}}"});
    const auto result = ctl({"start", "--config", config, "--timeout", "5"});
    EXPECT_EQ(result.exit_code, 3u);
    EXPECT_EQ(result.err, fmt::format("zorv: Refusing to send to \\\\.\\pipe\\{}: it is served by process {}, but the "
                                      "service VEXL2VpnService is not installed\n",
                                      kServicePipe, squatter.pid()));
    EXPECT_EQ(squatter.request(1), "");
}

TEST(ZorvCtl, TalksToTheRealHelper) {
    HelperOptions options;
    options.label = "ctl-helper";
    options.env["ZORV_TEST_BYPASS_CLIENT_CHECK"] = "1";
    HelperUnderTest helper(options);

    // The default pipe comes from the variable the helper reads as well.
    const std::map<std::string, std::optional<std::string>> env = {
        {"SINGBOX_WINDOWS_SERVICE_PIPE_NAME", helper.pipe_name()}};
    const std::vector<std::string> trust = {"--server-path", win32::path_text(helper.service_dir() / "zorv-helper.exe")};
    const auto waited = ctl({"wait", "--json", trust[0], trust[1]}, env);
    EXPECT_EQ(waited.exit_code, 0u) << waited.err;
    const json health = json::parse(waited.out, nullptr, false);
    ASSERT_TRUE(health.is_object()) << waited.out;
    EXPECT_EQ(health["status"], 200);
    EXPECT_EQ(health["body"]["serviceName"], helper.pipe_name());

    const auto version = ctl({"version", "--pipe", helper.pipe_name(), trust[0], trust[1]});
    EXPECT_EQ(version.exit_code, 0u) << version.err;
    EXPECT_TRUE(version.out.starts_with(fmt::format("zorv 2.1.20\nhelper: process {} on \\\\.\\pipe\\{}, ",
                                                    helper.process().pid(), helper.pipe_name())))
        << version.out;
    // Read from the helper's version resource.
    EXPECT_TRUE(version.out.ends_with("zorv-helper.exe\nhelper version: 2.1.20\n")) << version.out;

    const auto status = ctl({"status", "--pipe", helper.pipe_name(), trust[0], trust[1]});
    EXPECT_EQ(status.exit_code, 0u) << status.err;
    EXPECT_NE(status.out.find("\"state\": \"stopped\""), std::string::npos) << status.out;
}


// Every section, whether the helper serves the pipe or nothing does; never a
// value of the configuration the running core was started with.
TEST(ZorvCtl, DiagWritesEverySectionAndNoConfigurationValue) {
    HelperUnderTest helper{HelperOptions{.label = "ctl-diag", .env = {}, .copy_core_double = true,
                                         .copy_tool_doubles = true}};
    const std::string secret = "diag-secret-7d1c";
    const json config = {{"outbounds", {{{"type", "shadowsocks"}, {"password", secret}, {"server", secret + ".test"}}}}};
    const api::PipeResponse started = helper.call("POST", "/v1/runtime/start", json{{"configContent", config.dump()}});
    ASSERT_EQ(started.status, 200) << started.body.dump();

    const TestDir out("ctl-diag-out");
    const struct {
        std::string pipe;
        std::vector<std::string> facts;
    } cases[] = {
        {helper.pipe_name(),
         {fmt::format("process {}: ", helper.process().pid()), "zorv-helper: 2.1.20 (",
          "  sing-box.exe: ", ", sha256 ", ", signature ", "Runtime successfully started", "fake-core: started pid="}},
        {unique_pipe_name("ctl-diag-nobody"), {"no verified helper: ", "unknown: no service folder"}},
    };
    for (const auto& c : cases) {
        const fs::path report_file = out / (c.pipe + ".txt");
        const auto ran = ctl({"--pipe", c.pipe, "--server-path", win32::path_text(helper.service_dir() / "zorv-helper.exe"),
                              "diag", "--out", win32::path_text(report_file)});
        EXPECT_EQ(ran.exit_code, 0u) << ran.err;
        EXPECT_EQ(ran.out, "Diagnostics report written to " + win32::path_text(report_file) + "\n");
        const std::string report = read_file(report_file);
        EXPECT_TRUE(report.starts_with("zorv diagnostics report, written ")) << report;
        for (const std::string_view section :
             {"\nThis report holds no configuration content", "\n== Versions ==\n  zorv: 2.1.20 (",
              "\n== Service VEXL2VpnService ==\n", "\n== Hardened mode policy ==\n  off (",
              "\n== Pipe server ==\n", "\n== Firewall rule VEXL2 LAN Proxy ==\n", "\n== Service folder",
              "\n== service.log (last 200 lines) ==\n", "\n== sing-box.log (last 200 lines) ==\n"})
            EXPECT_NE(report.find(section), std::string::npos) << section << "\n" << report;
        for (const std::string& fact : c.facts) EXPECT_NE(report.find(fact), std::string::npos) << fact << "\n" << report;
        EXPECT_EQ(report.find(secret), std::string::npos) << report;
    }
}

}  // namespace
}  // namespace zorv::testing
