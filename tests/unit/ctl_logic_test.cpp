// The operator CLI's decisions, on facts given directly: reply limits, who may
// serve a pipe, which pipe names are usable, and how a log's end is cut and
// made safe to print.

#include <gtest/gtest.h>

#include "log_tail.hpp"
#include "command_line.hpp"
#include "pipe_client/pipe_client.hpp"
#include "server_identity.hpp"
#include "service_query.hpp"

namespace zorv::ctl {
namespace {

TEST(CtlReplyLength, TheHelpersFrameLimitIsInclusive) {
    EXPECT_TRUE(pipe_client::check_reply_length(0));
    EXPECT_TRUE(pipe_client::check_reply_length(10485760));
    EXPECT_FALSE(pipe_client::check_reply_length(10485761));
    const auto huge = pipe_client::check_reply_length(0xFFFFFFFFu);
    ASSERT_FALSE(huge);
    EXPECT_EQ(huge.error().message(), "The reply announces 4294967295 bytes; a reply has at most 10485760");
}

TEST(CtlServerIdentity, OnTheServicePipeOnlyTheServicesProcess) {
    const std::string pipe = "\\\\.\\pipe\\VEXL2VpnService.Control";
    EXPECT_TRUE(judge_service_pipe_server(pipe, 1200, 1200u));
    const struct {
        ServiceProcess service;
        std::string message;
    } refusals[] = {
        {std::nullopt, "but the service VEXL2VpnService is not installed"},
        {0u, "but the service VEXL2VpnService is not running (the Service Control Manager reports no process for it)"},
        {1300u, "but the Service Control Manager reports process 1300 for the service VEXL2VpnService"},
    };
    for (const auto& refusal : refusals) {
        const auto judged = judge_service_pipe_server(pipe, 1200, refusal.service);
        ASSERT_FALSE(judged);
        EXPECT_EQ(judged.error().message(),
                  "Refusing to send to " + pipe + ": it is served by process 1200, " + refusal.message);
    }
}

// The file itself decides, never its name: an impostor named zorv-helper.exe
// is refused and told which image was expected.
TEST(CtlServerIdentity, OnOtherPipesOnlyTheTrustedImage) {
    const std::string pipe = "\\\\.\\pipe\\dev";
    const std::string expected = "C:\\Program Files\\VEXL2\\zorv-helper.exe";
    EXPECT_TRUE(judge_console_helper(pipe, 7, std::string("C:\\PROGRA~1\\VEXL2\\ZORV-H~1.EXE"), expected, true));
    const auto impostor = judge_console_helper(pipe, 7, std::string("C:\\Users\\me\\zorv-helper.exe"), expected, false);
    ASSERT_FALSE(impostor);
    EXPECT_EQ(impostor.error().message(),
              "Refusing to send to \\\\.\\pipe\\dev: its server, process 7, runs \"C:\\\\Users\\\\me\\\\zorv-helper.exe\", "
              "not \"C:\\\\Program Files\\\\VEXL2\\\\zorv-helper.exe\" (--server-path names the helper to trust)");
    const auto unknown =
        judge_console_helper(pipe, 7, Result<std::string>(std::unexpected(Error("Access is denied"))), expected, false);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().message(),
              "Refusing to send to \\\\.\\pipe\\dev: its server, process 7, cannot be examined: Access is denied");
}

TEST(CtlServerIdentity, TheServicePipeIsRecognisedInAnyLetterCase) {
    EXPECT_TRUE(is_service_pipe("VEXL2VpnService.Control"));
    EXPECT_TRUE(is_service_pipe("vexl2vpnservice.CONTROL"));
    EXPECT_FALSE(is_service_pipe("VEXL2VpnService.Control2"));
    EXPECT_FALSE(is_service_pipe("zorv-helper.run"));
}

TEST(CtlPipeNames, OnlyNamesThatStayUnderThePipeFolder) {
    for (const char* usable : {"VEXL2VpnService.Control", "zorv-helper.run", "a\\b", "name with spaces", "caf\xC3\xA9"})
        EXPECT_TRUE(check_pipe_name(usable)) << usable;
    for (const char* unusable : {"", "..", ".", "..\\C:\\Windows\\x", "a\\..\\b", "a\\.", "\\lead", "trail\\",
                                 "a\\\\b", "a/b", "tab\there", "line\nbreak", "del\x7F"})
        EXPECT_FALSE(check_pipe_name(unusable)) << unusable;
    EXPECT_FALSE(check_pipe_name(std::string(257, 'p')));
    EXPECT_TRUE(check_pipe_name(std::string(256, 'p')));
}

TEST(CtlPipeNames, TheDefaultFollowsTheHelpersVariable) {
    EXPECT_EQ(default_pipe_name(std::nullopt), "VEXL2VpnService.Control");
    EXPECT_EQ(default_pipe_name(std::string()), "VEXL2VpnService.Control");
    EXPECT_EQ(default_pipe_name(std::string("zorv-helper.run")), "zorv-helper.run");
}

TEST(CtlRegisteredImage, QuotedOrBareButAlwaysAFullPath) {
    EXPECT_EQ(registered_image_path("\"C:\\Program Files\\VEXL2 Helper\\zorv-helper.exe\"").value(),
              std::filesystem::path(L"C:\\Program Files\\VEXL2 Helper\\zorv-helper.exe"));
    EXPECT_EQ(registered_image_path("C:\\VEXL2\\zorv-helper.exe").value(),
              std::filesystem::path(L"C:\\VEXL2\\zorv-helper.exe"));
    // Windows Installer under Wine registers a path with spaces unquoted; the SCM still runs it.
    EXPECT_EQ(registered_image_path("C:\\Program Files\\zorv-helper\\zorv-helper.exe").value(),
              std::filesystem::path(L"C:\\Program Files\\zorv-helper\\zorv-helper.exe"));
    EXPECT_EQ(registered_image_path("C:\\Program Files\\a.exe.d\\zorv-helper.EXE run").value(),
              std::filesystem::path(L"C:\\Program Files\\a.exe.d\\zorv-helper.EXE"));
    EXPECT_EQ(registered_image_path("\"C:\\My Tools\\zorv-helper.exe\" run").value(),
              std::filesystem::path(L"C:\\My Tools\\zorv-helper.exe"));
    for (const char* bad : {"", "  ", "zorv-helper.exe", "\"\"", "..\\zorv-helper.exe", "\"C:\\x\\zorv-helper.exe"})
        EXPECT_FALSE(registered_image_path(bad)) << bad;
}

TEST(CtlLogTail, LastLines) {
    using Lines = std::vector<std::string_view>;
    const struct {
        std::string_view text;
        std::size_t count;
        bool mid_file;
        Lines lines;
    } cases[] = {
        {"", 5, false, {}},
        {"\n", 5, false, {""}},
        {"one\ntwo\nthree\n", 2, false, {"two", "three"}},
        {"one\r\ntwo\r\n", 5, false, {"one", "two"}},
        {"one\ntwo", 1, false, {"two"}},
        {"one\n\nthree\n", 3, false, {"one", "", "three"}},
        {"ment of a line\nwhole\n", 5, true, {"whole"}},
        {"no line end at all", 5, true, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(last_lines(c.text, c.count, c.mid_file), c.lines) << c.text;
}

TEST(CtlLogTail, PrintableLinesCannotSteerTheTerminal) {
    EXPECT_EQ(printable_line("plain\ttext"), "plain\ttext");
    EXPECT_EQ(printable_line("\x1b[31mred\x1b[0m"), "\xEF\xBF\xBD[31mred\xEF\xBF\xBD[0m");
    EXPECT_EQ(printable_line("a\rb"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(printable_line("csi \xC2\x9B" "2J"), "csi \xEF\xBF\xBD" "2J");
    EXPECT_EQ(printable_line("bad \xFF byte"), "bad \xEF\xBF\xBD byte");
    EXPECT_EQ(printable_line("sep \xE2\x80\xA8 x"), "sep \xEF\xBF\xBD x");
    EXPECT_EQ(printable_line("caf\xC3\xA9"), "caf\xC3\xA9");
}

}  // namespace
}  // namespace zorv::ctl
