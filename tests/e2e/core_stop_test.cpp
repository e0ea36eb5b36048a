// Stopping the core, the firewall rule, the client watchdog and the Wintun
// clean-up, driven through the real helper and recording tool doubles.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <sstream>
#include <thread>

#include "common/child_tool.hpp"
#include "common/text.hpp"
#include "manager/firewall.hpp"
#include "manager/wintun.hpp"
#include "pipe_client/pipe_client.hpp"
#include "support/capturing_logger.hpp"
#include "support/process_usage.hpp"
#include "support/test_env.hpp"

namespace zorv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;
using json = nlohmann::json;

constexpr const char* kWintunId = "SWD\\Wintun\\{B738A021-9842-444C-10B0-A4E3F65AB5B6}";

// One recorded run of a tool double.
struct ToolCall {
    std::string program;
    std::string path;  // where the double that ran lies
    std::string command_line;
    std::vector<std::string> argv;  // argv[0] included
};

std::vector<ToolCall> read_tool_calls(const fs::path& dir) {
    std::vector<ToolCall> calls;
    std::istringstream lines(read_file(dir / "tool-calls.log"));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        const json record = json::parse(line);
        calls.push_back({record.at("program").get<std::string>(), record.at("path").get<std::string>(),
                         record.at("commandLine").get<std::string>(),
                         record.at("argv").get<std::vector<std::string>>()});
    }
    return calls;
}

std::vector<std::string> arguments_of(const ToolCall& call) {
    return std::vector<std::string>(call.argv.begin() + 1, call.argv.end());
}

const std::vector<std::string> kDeleteRule = {"advfirewall", "firewall", "delete", "rule", "name=VEXL2 LAN Proxy"};

std::vector<std::string> add_rule(int port, const std::string& program) {
    return {"advfirewall",
            "firewall",
            "add",
            "rule",
            "name=VEXL2 LAN Proxy",
            "dir=in",
            "action=allow",
            "protocol=TCP",
            "localport=" + std::to_string(port),
            "remoteip=localsubnet",
            "program=" + program,
            "profile=private,public",
            "description=VEXL2 LAN proxy inbound (managed)"};
}

// ---------------------------------------------------------------------------
// The tool runs without a helper: a copy of this test program calls the
// product functions and prints what they logged. The doubles that run are the
// ones in the prefix's system32 (the wine_tool_doubles fixture); copies
// planted beside the caller and in its working folder, where a search by
// bare name would look first, must never run.

constexpr const char* kSpacedCorePath = "C:\\Program Files\\VEXL2 Client\\sing-box.exe";

TEST(ToolCaller, DISABLED_CallsTheToolsAndPrintsTheLog) {
    auto& logger = CapturingLogger::instance();
    (void)manager::add_lan_firewall_rule(7890, kSpacedCorePath);
    (void)manager::remove_lan_firewall_rule();
    manager::remove_wintun_device("singbox_tun");
    const auto planted_only = run_child_tool("zorv-planted-tool", {});
    std::cout << "[tool] planted-only tool: " << (planted_only ? "ran" : planted_only.error().one_line()) << "\n";
    for (const auto& message : logger.messages()) std::cout << message << "\n";
}

struct ToolRun {
    std::vector<std::string> log;
    std::vector<ToolCall> calls;
};

// The system directory, lower case, with a trailing backslash.
std::string system_dir_text() {
    wchar_t buffer[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
    return text::ascii_lower(win32::from_wide(std::wstring_view(buffer, length))) + "\\";
}

// Runs the caller in `dir` (also its working folder), with doubles planted
// beside it; the system32 doubles record into `dir`.
ToolRun run_tool_caller(const TestDir& dir) {
    fs::copy_file(this_exe(), dir / "tool-caller.exe", fs::copy_options::overwrite_existing);
    fs::create_directories(dir / "work");
    for (const char* name : {"netsh.exe", "pnputil.exe", "icacls.exe", "zorv-planted-tool.exe"}) {
        fs::copy_file(double_exe("fake_tool"), dir / name, fs::copy_options::overwrite_existing);
        fs::copy_file(double_exe("fake_tool"), dir / "work" / name, fs::copy_options::overwrite_existing);
    }
    ProcessOptions options;
    options.args = {"--gtest_also_run_disabled_tests", "--gtest_filter=ToolCaller.*"};
    options.env["ZORV_FAKE_TOOL_EXIT_CODE"] = std::nullopt;
    options.env["ZORV_FAKE_TOOL_DIR"] = win32::path_text(dir.path());
    options.working_dir = dir / "work";
    const RunResult result = run_program(dir / "tool-caller.exe", options);
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    ToolRun run;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with("[firewall]") || line.starts_with("[wintun]") || line.starts_with("[tool]"))
            run.log.push_back(line);
    }
    run.calls = read_tool_calls(dir.path());
    return run;
}

TEST(ChildTools, FirewallAndWintunArgumentsArriveOneByOne) {
    TestDir dir("tools");
    write_file(dir / "netsh.exit-code", "1\n");
    const ToolRun run = run_tool_caller(dir);

    ASSERT_EQ(run.calls.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(run.calls[i].program, "netsh.exe");
        EXPECT_EQ(run.calls[i].argv.at(0), "netsh.exe");
    }
    // Every tool came from the system directory, none of the planted copies.
    for (const auto& call : run.calls)
        EXPECT_EQ(text::ascii_lower(call.path), system_dir_text() + call.program) << call.command_line;
    // The add deletes first; the path with spaces is one argument.
    EXPECT_EQ(arguments_of(run.calls[0]), kDeleteRule);
    EXPECT_EQ(arguments_of(run.calls[1]), add_rule(7890, kSpacedCorePath));
    EXPECT_THAT(run.calls[1].command_line,
                HasSubstr("\"program=C:\\Program Files\\VEXL2 Client\\sing-box.exe\" profile=private,public"));
    EXPECT_EQ(arguments_of(run.calls[2]), kDeleteRule);
    EXPECT_EQ(run.calls[3].program, "pnputil.exe");
    EXPECT_THAT(arguments_of(run.calls[3]), ElementsAre("/remove-device", kWintunId));

    // A tool that exists only beside the caller and in its working folder is not found.
    ASSERT_FALSE(run.log.empty());
    EXPECT_THAT(run.log.front(), ::testing::StartsWith("[tool] planted-only tool: "));
    EXPECT_THAT(run.log.front(), HasSubstr("(os error 2)"));
    EXPECT_THAT(std::vector<std::string>(run.log.begin() + 1, run.log.end()),
                ElementsAre("[firewall] Removed firewall rule: status=Some(1)",
                                     "[firewall] Added firewall rule for port 7890: status=Some(1)",
                                     "[firewall] Removed firewall rule: status=Some(1)",
                                     std::string("[wintun] Removing Wintun device via pnputil: ") + kWintunId,
                                     std::string("[wintun] pnputil remove-device succeeded for ") + kWintunId +
                                         " (exit code: 0)"));
}

TEST(ChildTools, NonZeroExitCodesAreOnlyLogged) {
    TestDir dir("tools-code");
    write_file(dir / "pnputil.exit-code", "-5\n");
    const ToolRun run = run_tool_caller(dir);
    ASSERT_FALSE(run.log.empty());
    EXPECT_EQ(run.log.back(),
              std::string("[wintun] pnputil remove-device completed for ") + kWintunId + " with status=Some(-5)");
}

// ---------------------------------------------------------------------------
// Through the running helper.

// The helper with the core and the tool doubles beside it.
HelperOptions with_doubles(const std::string& label) {
    HelperOptions options;
    options.label = label;
    options.copy_core_double = true;
    options.copy_tool_doubles = true;
    return options;
}

json config_text(const json& config) { return config.dump(); }

const json kPlainConfig = {{"inbounds", json::array({{{"type", "tun"}, {"interface_name", "singbox_tun"}}})}};
const json kLanConfig = {
    {"inbounds", json::array({{{"type", "mixed"}, {"listen", "0.0.0.0"}, {"listen_port", 7890}}})}};

json start_body(const std::string& operation_id, const std::optional<std::string>& client_runtime_id,
                std::uint32_t client_pid = 0, const json& config = kPlainConfig) {
    json body = {{"profileId", "work"}, {"configContent", config_text(config)}, {"operationId", operation_id}};
    if (client_runtime_id) body["clientRuntimeId"] = *client_runtime_id;
    if (client_pid != 0) body["clientPid"] = client_pid;
    return body;
}

json call_ok(HelperUnderTest& helper, const std::string& method, const std::string& path,
             const std::optional<json>& body = std::nullopt) {
    const api::PipeResponse reply = helper.call(method, path, body);
    EXPECT_EQ(reply.status, 200) << reply.body.dump();
    return reply.body;
}

json start_core(HelperUnderTest& helper, const json& body) {
    json status = call_ok(helper, "POST", "/v1/runtime/start", body);
    EXPECT_EQ(status.value("running", false), true) << status.dump() << "\n" << helper.log_text();
    return status;
}

bool process_alive(std::uint32_t pid) {
    win32::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// True once `condition` holds; false after `timeout`.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

std::vector<std::string> keys_of(const json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items()) keys.push_back(item.key());
    return keys;
}

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

const std::vector<std::string> kBareStoppedKeys = {"lastOperationId", "running", "serviceInstanceId", "state",
                                                   "stoppedAt"};

TEST(CoreStop, StopHonoursTheClientRuntimeId) {
    HelperUnderTest helper(with_doubles("stop-id"));
    const json started = start_core(helper, start_body("op-start-a", "client-a"));
    const std::uint32_t core_pid = started.at("pid").get<std::uint32_t>();

    // Another client's id: ignored, the core keeps running.
    const json ignored = call_ok(helper, "POST", "/v1/runtime/stop",
                                 json{{"clientRuntimeId", "client-b"}, {"operationId", "op-stop-b"}});
    EXPECT_EQ(ignored.at("running"), true);
    EXPECT_EQ(ignored.at("state"), "running");
    EXPECT_EQ(ignored.at("lastOperationId"), "op-stop-b");
    EXPECT_EQ(ignored.at("pid"), core_pid);
    EXPECT_TRUE(process_alive(core_pid));
    EXPECT_THAT(helper.log_text(), HasSubstr("Ignored stop request trigger=api-stop because client_runtime_id "
                                             "'client-b' did not match active 'client-a'"));

    // An empty id stops whatever runs.
    const json stopped =
        call_ok(helper, "POST", "/v1/runtime/stop", json{{"clientRuntimeId", ""}, {"operationId", "op-stop"}});
    EXPECT_EQ(keys_of(stopped), kBareStoppedKeys) << stopped.dump();
    EXPECT_EQ(stopped.at("running"), false);
    EXPECT_EQ(stopped.at("state"), "stopped");
    EXPECT_EQ(stopped.at("lastOperationId"), "op-stop");
    EXPECT_TRUE(eventually([&] { return !process_alive(core_pid); }));

    // The status keeps the stopped session's record, without pids.
    const json status = call_ok(helper, "GET", "/v1/runtime/status");
    EXPECT_EQ(status.at("running"), false);
    EXPECT_EQ(status.at("state"), "stopped");
    EXPECT_EQ(status.at("startedAt"), started.at("startedAt"));
    EXPECT_EQ(status.at("profileId"), "work");
    EXPECT_EQ(status.at("binaryPath"), started.at("binaryPath"));
    EXPECT_EQ(status.at("configPath"), "stdin");
    EXPECT_EQ(status.at("clientRuntimeId"), "client-a");
    EXPECT_EQ(status.at("lastOperationId"), "op-stop");
    EXPECT_EQ(status.at("serviceInstanceId"), started.at("serviceInstanceId"));
    EXPECT_TRUE(status.contains("stoppedAt"));
    EXPECT_FALSE(status.contains("pid"));
    EXPECT_FALSE(status.contains("singboxPid"));
    EXPECT_FALSE(status.contains("detail"));

    // A session started without an id is stopped by any client's stop;
    // without an operation id the stop makes one.
    const std::uint32_t second_pid =
        start_core(helper, start_body("op-start-none", std::nullopt)).at("pid").get<std::uint32_t>();
    const json any = call_ok(helper, "POST", "/v1/runtime/stop", json{{"clientRuntimeId", "client-x"}});
    EXPECT_EQ(any.at("running"), false);
    EXPECT_TRUE(all_digits(any.at("lastOperationId").get<std::string>())) << any.dump();
    EXPECT_TRUE(eventually([&] { return !process_alive(second_pid); }));
    EXPECT_FALSE(call_ok(helper, "GET", "/v1/runtime/status").contains("clientRuntimeId"));
}

TEST(CoreStop, ResetWithAndWithoutACore) {
    HelperUnderTest helper(with_doubles("reset"));

    const json idle = call_ok(helper, "POST", "/v1/runtime/reset", json{{"operationId", "op-reset-idle"}});
    EXPECT_EQ(keys_of(idle), kBareStoppedKeys) << idle.dump();
    EXPECT_EQ(idle.at("lastOperationId"), "op-reset-idle");
    EXPECT_EQ(call_ok(helper, "GET", "/v1/runtime/status"), idle);

    const std::uint32_t core_pid =
        start_core(helper, start_body("op-start", "client-a")).at("pid").get<std::uint32_t>();
    // No client id check: reset ends any core.
    const json reset = call_ok(helper, "POST", "/v1/runtime/reset", json{{"operationId", "op-reset"}});
    EXPECT_EQ(keys_of(reset), kBareStoppedKeys) << reset.dump();
    EXPECT_EQ(reset.at("running"), false);
    EXPECT_EQ(reset.at("lastOperationId"), "op-reset");
    EXPECT_TRUE(eventually([&] { return !process_alive(core_pid); }));
    // The stored record is the bare one: the session's fields are gone.
    EXPECT_EQ(call_ok(helper, "GET", "/v1/runtime/status"), reset);
}

std::vector<std::vector<std::string>> netsh_arguments(const fs::path& dir) {
    std::vector<std::vector<std::string>> calls;
    for (const auto& call : read_tool_calls(dir))
        if (call.program == "netsh.exe") calls.push_back(arguments_of(call));
    return calls;
}

// The helper removes a rule left behind by a predecessor as it starts; the
// deletion is made on a worker, so it is awaited here.
void expect_start_up_deletion(HelperUnderTest& helper) {
    ASSERT_TRUE(eventually([&] { return !netsh_arguments(helper.service_dir()).empty(); })) << helper.log_text();
    EXPECT_THAT(netsh_arguments(helper.service_dir()), ElementsAre(kDeleteRule));
}

TEST(CoreStop, LanFirewallRuleFollowsTheCore) {
    // A space in the service folder puts one in the core's path.
    HelperUnderTest helper(with_doubles("lan rule"));
    const std::string core_path = win32::path_text(helper.service_dir() / "sing-box.exe");
    ASSERT_THAT(core_path, HasSubstr(" "));
    expect_start_up_deletion(helper);

    const json started = start_core(helper, start_body("op-lan-1", std::nullopt, 0, kLanConfig));
    EXPECT_EQ(started.at("binaryPath"), core_path);
    // Before the spawn, inside the add, the add.
    const auto add = add_rule(7890, core_path);
    EXPECT_THAT(netsh_arguments(helper.service_dir()), ElementsAre(kDeleteRule, kDeleteRule, kDeleteRule, add));

    // A second start: the first session's rule goes with it, then the same three.
    start_core(helper, start_body("op-lan-2", std::nullopt, 0, kLanConfig));
    EXPECT_THAT(netsh_arguments(helper.service_dir()),
                ElementsAre(kDeleteRule, kDeleteRule, kDeleteRule, add, kDeleteRule, kDeleteRule, kDeleteRule, add));

    call_ok(helper, "POST", "/v1/runtime/stop", json{{"operationId", "op-stop"}});
    EXPECT_EQ(netsh_arguments(helper.service_dir()).size(), 9u);
    EXPECT_EQ(netsh_arguments(helper.service_dir()).back(), kDeleteRule);

    // A core that exits by itself loses its rule when the exit is noticed.
    json exiting = kLanConfig;
    exiting["fake"] = {{"exit_after_ms", 400}, {"exit_code", 3}};
    const std::uint32_t pid =
        start_core(helper, start_body("op-lan-3", std::nullopt, 0, exiting)).at("pid").get<std::uint32_t>();
    ASSERT_TRUE(eventually([&] { return !process_alive(pid); }));
    const json status = call_ok(helper, "GET", "/v1/runtime/status");
    EXPECT_EQ(status.at("running"), false);
    EXPECT_THAT(status.value("detail", ""), HasSubstr("Some(3)"));
    const auto calls = netsh_arguments(helper.service_dir());
    ASSERT_EQ(calls.size(), 13u);
    EXPECT_EQ(calls[11], add);
    EXPECT_EQ(calls[12], kDeleteRule);
    EXPECT_THAT(helper.log_text(), HasSubstr("[firewall] Added firewall rule for port 7890: status=Some(0)"));
    EXPECT_THAT(helper.log_text(), HasSubstr("[firewall] Removed firewall rule: status=Some(0)"));
}

// A stand-in GUI client: runs until the test ends it.
Process start_client(const TestDir& dir, const std::string& name) {
    write_file(dir / (name + ".json"), "{}");
    ProcessOptions options;
    options.args = {"run", "-c", win32::path_text(dir / (name + ".json"))};
    options.stdout_file = dir / (name + ".out");
    options.stderr_file = dir / (name + ".err");
    return Process(double_exe("fake_core"), options);
}

TEST(CoreStop, WatchdogStopsTheCoreWhenItsClientExits) {
    HelperUnderTest helper(with_doubles("watchdog"));
    TestDir clients("watchdog-clients");
    Process client_a = start_client(clients, "client-a");
    Process client_b = start_client(clients, "client-b");

    start_core(helper, start_body("op-start-a", "rt-a", client_a.pid()));
    const std::string watching_a = "Watchdog active: monitoring GUI client PID=" + std::to_string(client_a.pid());
    ASSERT_TRUE(eventually([&] { return helper.log_text().find(watching_a) != std::string::npos; }));

    // B replaces A's core; A's exit must leave B's core alone.
    const std::uint32_t core_pid =
        start_core(helper, start_body("op-start-b", "rt-b", client_b.pid())).at("pid").get<std::uint32_t>();
    client_a.kill();
    EXPECT_TRUE(eventually([&] {
        return helper.log_text().find("Watchdog: active sing-box session belongs to newer client (rt-b); leaving "
                                      "running") != std::string::npos;
    })) << helper.log_text();
    EXPECT_THAT(helper.log_text(),
                HasSubstr("Watchdog: GUI client PID=" + std::to_string(client_a.pid()) + " has terminated"));
    EXPECT_TRUE(process_alive(core_pid));
    EXPECT_EQ(call_ok(helper, "GET", "/v1/runtime/status").at("running"), true);

    // B's exit stops it, and the watchdog's record says so.
    client_b.kill();
    EXPECT_TRUE(eventually([&] { return !process_alive(core_pid); })) << helper.log_text();
    json status;
    ASSERT_TRUE(eventually([&] {
        status = call_ok(helper, "GET", "/v1/runtime/status");
        return status.contains("detail");
    }));
    EXPECT_EQ(status.at("running"), false);
    EXPECT_EQ(status.at("detail"), "GUI client exited");
    EXPECT_EQ(status.at("serviceInstanceId"), "watchdog");
    EXPECT_EQ(status.at("lastOperationId"), "op-start-b");
    EXPECT_EQ(status.at("clientRuntimeId"), "rt-b");
    EXPECT_FALSE(status.contains("pid"));
    EXPECT_THAT(helper.log_text(),
                HasSubstr("Watchdog: stopping active sing-box PID=" + std::to_string(core_pid) + " due to client exit"));
}

// The watchdog's lines carry a start's operationId and the active session's
// clientRuntimeId: neither may start a line of service.log, nor hide what
// follows behind a bidirectional override.
TEST(CoreStop, ClientTextInTheWatchdogsLinesNeverStartsALogLine) {
    HelperUnderTest helper(with_doubles("watchdog-forging"));
    TestDir clients("watchdog-forging-clients");
    const std::string forged = "[2020-01-01 00:00:00.000] [INFO ] [zorv_helper] forged";
    const std::string breaks[] = {"\n", "\r", "\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xae", "\xe2\x81\xa6"};
    int n = 0;
    for (const std::string& line_break : breaks) {
        SCOPED_TRACE(++n);
        const std::string hostile = "x" + line_break + forged;
        Process old_client = start_client(clients, "old-" + std::to_string(n));
        Process new_client = start_client(clients, "new-" + std::to_string(n));
        // A second start naming the same client hands the watch the new operationId.
        start_core(helper, start_body("op-first", "rt-old", old_client.pid()));
        start_core(helper, start_body(hostile, "rt-old", old_client.pid()));
        // A newer client's session: the old client's exit names its clientRuntimeId.
        start_core(helper, start_body("op-new", hostile, new_client.pid()));
        old_client.kill();
        EXPECT_TRUE(eventually([&] {
            return count_of(helper.log_text(), "belongs to newer client (x") == static_cast<std::size_t>(n);
        })) << helper.log_text();
        new_client.kill();
        EXPECT_TRUE(eventually([&] { return call_ok(helper, "GET", "/v1/runtime/status").at("running") == false; }));
    }
    const std::string log = helper.log_text();
    EXPECT_EQ(count_of(log, "now for operation x\\"), std::size(breaks)) << log;
    for (std::string_view line : text::split_lines(log)) EXPECT_FALSE(line.starts_with(forged)) << line;
    for (const std::string& line_break : breaks) {
        if (line_break.size() > 1) EXPECT_EQ(log.find(line_break), std::string::npos) << text::hex(line_break);
    }
}

TEST(CoreStop, ClientPidThatNamesNoProcessStartsNoWatch) {
    HelperUnderTest helper(with_doubles("watchdog-none"));
    constexpr std::uint32_t kNoSuchPid = 0xFFFFFFFCu;  // a multiple of 4 that no process gets
    start_core(helper, start_body("op-start", "rt", kNoSuchPid));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_THAT(helper.log_text(), Not(HasSubstr("Watchdog")));
    EXPECT_EQ(call_ok(helper, "GET", "/v1/runtime/status").at("running"), true);
}

TEST(CoreStop, ARestartedHelperRemovesTheRuleAKilledOneLeft) {
    HelperUnderTest helper(with_doubles("lan-restart"));
    expect_start_up_deletion(helper);
    const std::uint32_t core_pid =
        start_core(helper, start_body("op-lan", std::nullopt, 0, kLanConfig)).at("pid").get<std::uint32_t>();
    const auto add = add_rule(7890, win32::path_text(helper.service_dir() / "sing-box.exe"));
    ASSERT_EQ(netsh_arguments(helper.service_dir()).back(), add);

    // Killed: no stop runs, the job takes the core, and the rule stays behind.
    helper.restart();
    EXPECT_TRUE(eventually([&] { return !process_alive(core_pid); }));
    ASSERT_TRUE(eventually([&] { return netsh_arguments(helper.service_dir()).size() == 5u; }))
        << helper.log_text();
    EXPECT_EQ(netsh_arguments(helper.service_dir()).back(), kDeleteRule);
    EXPECT_EQ(call_ok(helper, "GET", "/v1/runtime/status").at("running"), false);
}

// One watch per client process, however many starts name it; the newest
// start's operation is the one the watch acts for.
TEST(CoreStop, ManyStartsNamingOneClientLeaveOneWatchdog) {
    constexpr int kStarts = 30;
    HelperUnderTest helper(with_doubles("watchdog-one"));
    TestDir clients("watchdog-one-clients");
    Process client = start_client(clients, "client");
    const std::string pid_text = std::to_string(client.pid());

    start_core(helper, start_body("op-0", "rt", client.pid()));
    const auto first = process_usage(helper.process().handle());
    ASSERT_TRUE(first) << first.error().one_line();
    std::uint32_t core_pid = 0;
    for (int i = 1; i < kStarts; ++i)
        core_pid = start_core(helper, start_body("op-" + std::to_string(i), "rt", client.pid()))
                       .at("pid")
                       .get<std::uint32_t>();
    const auto last = process_usage(helper.process().handle());
    ASSERT_TRUE(last) << last.error().one_line();
    std::cout << "[ measure  ] handles after 1 start " << first->handles << ", after " << kStarts << " starts "
              << last->handles << "\n";
    // One process handle and one wait per leaked watch would show here.
    EXPECT_LE(last->handles, first->handles + 16);

    const std::string log = helper.log_text();
    EXPECT_EQ(count_of(log, "Watchdog active: monitoring GUI client PID=" + pid_text), 1u);
    EXPECT_EQ(count_of(log, "Watchdog for GUI client PID=" + pid_text + " already active"),
              static_cast<std::size_t>(kStarts - 1));

    client.kill();
    EXPECT_TRUE(eventually([&] { return !process_alive(core_pid); })) << helper.log_text();
    json status;
    ASSERT_TRUE(eventually([&] {
        status = call_ok(helper, "GET", "/v1/runtime/status");
        return status.contains("detail");
    }));
    EXPECT_EQ(status.at("detail"), "GUI client exited");
    EXPECT_EQ(status.at("lastOperationId"), "op-" + std::to_string(kStarts - 1));
    EXPECT_EQ(count_of(helper.log_text(), "Watchdog: GUI client PID=" + pid_text + " has terminated"), 1u);
}

// A netsh.exe that hangs during a stop costs the caller the tool's deadline,
// not the helper for good: the tool is ended, the caller gets a 500 naming
// it, and the next request is served.
TEST(CoreStop, AHungNetshFailsTheStopWithinItsDeadline) {
    HelperUnderTest helper(with_doubles("netsh-hangs"));
    expect_start_up_deletion(helper);
    const std::uint32_t core_pid =
        start_core(helper, start_body("op-lan", std::nullopt, 0, kLanConfig)).at("pid").get<std::uint32_t>();

    write_file(helper.service_dir() / "netsh.sleep-ms", "120000\n");
    const api::PipeResponse stopped = helper.call("POST", "/v1/runtime/stop", json{{"operationId", "op-stop"}});
    EXPECT_EQ(stopped.status, 500) << stopped.body.dump();
    EXPECT_EQ(stopped.body.value("error", ""), "runtime_stop_failed");
    EXPECT_THAT(stopped.body.value("message", ""),
                HasSubstr("netsh.exe did not finish within 15000 ms and was terminated"));
    EXPECT_THAT(helper.log_text(), HasSubstr("[ERROR] [zorv_helper::manager] [firewall] Failed to remove firewall rule: "
                                             "netsh.exe did not finish within 15000 ms"));
    EXPECT_THAT(helper.log_text(), HasSubstr("[ERROR] [zorv_helper::pipe_server] Runtime stop failed: "));
    fs::remove(helper.service_dir() / "netsh.sleep-ms");

    // The lock was left: the core is gone and the status says what happened.
    EXPECT_TRUE(eventually([&] { return !process_alive(core_pid); }));
    const json status = call_ok(helper, "GET", "/v1/runtime/status");
    EXPECT_EQ(status.at("running"), false);
    EXPECT_EQ(status.at("lastOperationId"), "op-stop");
    EXPECT_THAT(status.value("detail", ""), HasSubstr("netsh.exe did not finish"));
}

// Starts held by a slow netsh.exe wait for the manager one behind the other,
// as intended, but none of them holds a thread that the listener needs:
// /healthz and register_client are answered meanwhile, and a status sent
// after them is answered once they are done.
TEST(CoreStop, StartsWaitingForTheManagerStarveNoOtherRequest) {
    HelperUnderTest helper(with_doubles("slow-starts"));
    expect_start_up_deletion(helper);
    write_file(helper.service_dir() / "netsh.sleep-ms", "1500\n");  // two calls per start with a LAN listener
    constexpr int kStarts = 4;
    std::atomic<int> in_flight{kStarts};
    std::vector<api::PipeResponse> started(kStarts);
    std::vector<std::thread> starts;
    for (int i = 0; i < kStarts; ++i)
        starts.emplace_back([&, i] {
            auto reply = pipe_client::call(helper.pipe_name(), "POST", "/v1/runtime/start",
                                           start_body("op-" + std::to_string(i), std::nullopt, 0, kLanConfig),
                                           std::chrono::seconds(120));
            if (reply) started[i] = std::move(*reply);
            --in_flight;
        });
    ASSERT_TRUE(eventually([&] { return helper.log_text().find("Processing /v1/runtime/start") != std::string::npos; }));
    std::this_thread::sleep_for(std::chrono::seconds(1));  // every start has reached the helper

    int answered_meanwhile = 0;
    while (in_flight.load() == kStarts && answered_meanwhile < 20) {
        EXPECT_EQ(helper.call("GET", "/healthz").status, 200);
        EXPECT_EQ(helper.call("POST", "/v1/runtime/register_client").status, 200);
        ++answered_meanwhile;
    }
    const api::PipeResponse queued_status = helper.call("GET", "/v1/runtime/status");
    for (auto& start : starts) start.join();
    EXPECT_GT(answered_meanwhile, 0) << "every start had finished before a health check was made";

    for (const auto& reply : started) EXPECT_EQ(reply.status, 200) << reply.body.dump();
    const json after = call_ok(helper, "GET", "/v1/runtime/status");
    ASSERT_EQ(queued_status.status, 200);
    EXPECT_EQ(queued_status.body.at("pid"), after.at("pid")) << "the status ran before a start sent ahead of it";
    fs::remove(helper.service_dir() / "netsh.sleep-ms");
}

TEST(CoreStop, KillingTheHelperEndsTheCore) {
    HelperUnderTest helper(with_doubles("kill-helper"));
    const std::uint32_t core_pid = start_core(helper, start_body("op", std::nullopt)).at("pid").get<std::uint32_t>();
    win32::UniqueHandle core(::OpenProcess(SYNCHRONIZE, FALSE, core_pid));
    ASSERT_TRUE(core);
    helper.stop();  // TerminateProcess: no stop sequence runs
    EXPECT_EQ(::WaitForSingleObject(core.get(), 10000), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace zorv::testing
