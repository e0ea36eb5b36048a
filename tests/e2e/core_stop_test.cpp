// Stopping the core, the firewall rule, the client watchdog and the Wintun
// clean-up, driven through the real helper and recording tool doubles.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "manager/firewall.hpp"
#include "manager/wintun.hpp"
#include "support/capturing_logger.hpp"
#include "support/test_env.hpp"

namespace zorv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using json = nlohmann::json;

constexpr const char* kWintunId = "SWD\\Wintun\\{B738A021-9842-444C-10B0-A4E3F65AB5B6}";

// One recorded run of a tool double.
struct ToolCall {
    std::string program;
    std::string command_line;
    std::vector<std::string> argv;  // argv[0] included
};

std::vector<ToolCall> read_tool_calls(const fs::path& dir) {
    std::vector<ToolCall> calls;
    std::istringstream lines(read_file(dir / "tool-calls.log"));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        const json record = json::parse(line);
        calls.push_back({record.at("program").get<std::string>(), record.at("commandLine").get<std::string>(),
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
// The tool runs without a helper: a copy of this test program, placed in a
// folder with the doubles, calls the product functions and prints what they
// logged. Tools are found by bare name from the caller's own folder first.

constexpr const char* kSpacedCorePath = "C:\\Program Files\\VEXL2 Client\\sing-box.exe";

TEST(ToolCaller, DISABLED_CallsTheToolsAndPrintsTheLog) {
    auto& logger = CapturingLogger::instance();
    manager::add_lan_firewall_rule(7890, kSpacedCorePath);
    manager::remove_lan_firewall_rule();
    manager::remove_wintun_device("singbox_tun");
    for (const auto& message : logger.messages()) std::cout << message << "\n";
}

struct ToolRun {
    std::vector<std::string> log;
    std::vector<ToolCall> calls;
};

// Runs the caller in `dir`, with the given doubles beside it.
ToolRun run_tool_caller(const TestDir& dir, const std::vector<std::string>& doubles) {
    fs::copy_file(this_exe(), dir / "tool-caller.exe", fs::copy_options::overwrite_existing);
    for (const auto& name : doubles)
        fs::copy_file(double_exe("fake_tool"), dir / name, fs::copy_options::overwrite_existing);
    ProcessOptions options;
    options.args = {"--gtest_also_run_disabled_tests", "--gtest_filter=ToolCaller.*"};
    options.env["ZORV_FAKE_TOOL_EXIT_CODE"] = std::nullopt;
    const RunResult result = run_program(dir / "tool-caller.exe", options);
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    ToolRun run;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with("[firewall]") || line.starts_with("[wintun]")) run.log.push_back(line);
    }
    run.calls = read_tool_calls(dir.path());
    return run;
}

TEST(ChildTools, FirewallAndWintunArgumentsArriveOneByOne) {
    TestDir dir("tools");
    write_file(dir / "netsh.exit-code", "1\n");
    const ToolRun run = run_tool_caller(dir, {"netsh.exe", "pnputil.exe"});

    ASSERT_EQ(run.calls.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(run.calls[i].program, "netsh.exe");
        EXPECT_EQ(run.calls[i].argv.at(0), "netsh.exe");
    }
    // The add deletes first; the path with spaces is one argument.
    EXPECT_EQ(arguments_of(run.calls[0]), kDeleteRule);
    EXPECT_EQ(arguments_of(run.calls[1]), add_rule(7890, kSpacedCorePath));
    EXPECT_THAT(run.calls[1].command_line,
                HasSubstr("\"program=C:\\Program Files\\VEXL2 Client\\sing-box.exe\" profile=private,public"));
    EXPECT_EQ(arguments_of(run.calls[2]), kDeleteRule);
    EXPECT_EQ(run.calls[3].program, "pnputil.exe");
    EXPECT_THAT(arguments_of(run.calls[3]), ElementsAre("/remove-device", kWintunId));

    EXPECT_THAT(run.log, ElementsAre("[firewall] Removed firewall rule: status=Some(1)",
                                     "[firewall] Added firewall rule for port 7890: status=Some(1)",
                                     "[firewall] Removed firewall rule: status=Some(1)",
                                     std::string("[wintun] Removing Wintun device via pnputil: ") + kWintunId,
                                     std::string("[wintun] pnputil remove-device succeeded for ") + kWintunId +
                                         " (exit code: 0)"));
}

TEST(ChildTools, NonZeroAndMissingToolsAreOnlyLogged) {
    {
        SCOPED_TRACE("pnputil exits with a negative code");
        TestDir dir("tools-code");
        write_file(dir / "pnputil.exit-code", "-5\n");
        const ToolRun run = run_tool_caller(dir, {"netsh.exe", "pnputil.exe"});
        ASSERT_FALSE(run.log.empty());
        EXPECT_EQ(run.log.back(),
                  std::string("[wintun] pnputil remove-device completed for ") + kWintunId + " with status=Some(-5)");
    }
    {
        // Wine has no pnputil.exe of its own.
        SCOPED_TRACE("pnputil missing");
        TestDir dir("tools-missing");
        const ToolRun run = run_tool_caller(dir, {"netsh.exe"});
        ASSERT_FALSE(run.log.empty());
        EXPECT_THAT(run.log.back(), ::testing::StartsWith(std::string("[wintun] Failed to execute pnputil for ") +
                                                          kWintunId + ": "));
        EXPECT_THAT(run.log.back(), HasSubstr("(os error 2)"));
        EXPECT_EQ(run.calls.size(), 3u);  // the netsh double still ran
    }
}

}  // namespace
}  // namespace zorv::testing
