#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "security/client_verification.hpp"

namespace zorv::security {
namespace {

using ::testing::ElementsAre;

constexpr std::uint32_t kPid = 4242;

// A caller described by plain values; records which facts were asked for.
struct FakeCaller {
    std::optional<std::uint32_t> pid = kPid;
    std::optional<std::uint32_t> session = 1;
    std::uint32_t console = 1;
    std::optional<std::uint32_t> connect_state;  // the WTS query fails unless set
    ImagePath image = std::string(R"(D:\Program Files\App\vexl2.exe)");
    std::vector<std::string> asked;

    ClientFacts facts() {
        return ClientFacts{
            .client_pid = [this] { asked.push_back("pid"); return pid; },
            .session_of = [this](std::uint32_t p) { EXPECT_EQ(p, kPid); asked.push_back("session"); return session; },
            .active_console_session = [this] { asked.push_back("console"); return console; },
            .connect_state = [this](std::uint32_t s) { EXPECT_EQ(s, session); asked.push_back("wts"); return connect_state; },
            .image_path = [this](std::uint32_t p) { EXPECT_EQ(p, kPid); asked.push_back("image"); return image; },
        };
    }
};

Result<ClientVerdict> decide(FakeCaller& caller, ClientCheckSettings settings = {}) {
    return decide_pipe_client(caller.facts(), settings);
}

std::string refusal(FakeCaller& caller, ClientCheckSettings settings = {}) {
    auto verdict = decide(caller, std::move(settings));
    if (verdict) return "accepted";
    EXPECT_TRUE(verdict.error().causes().empty());
    return verdict.error().message();
}

TEST(ClientDecision, AcceptsTheDesktopClientInAnInteractiveSession) {
    FakeCaller caller;
    auto verdict = decide(caller);
    ASSERT_TRUE(verdict) << verdict.error().message();
    EXPECT_EQ(verdict->pid, kPid);
    EXPECT_EQ(verdict->session, 1u);
    EXPECT_EQ(verdict->path, R"(D:\Program Files\App\vexl2.exe)");
    EXPECT_EQ(verdict->accepted_by, AcceptedBy::ClientRules);
    // The console matched, so the session's connect state was never queried.
    EXPECT_THAT(caller.asked, ElementsAre("pid", "session", "console", "image"));
}

TEST(ClientDecision, MissingOrZeroProcessIdIsRefusedFirst) {
    for (std::optional<std::uint32_t> pid : {std::optional<std::uint32_t>{}, std::optional<std::uint32_t>{0}}) {
        FakeCaller caller;
        caller.pid = pid;
        EXPECT_EQ(refusal(caller, {.bypass = "1"}), "Failed to query named pipe client process ID");
        EXPECT_THAT(caller.asked, ElementsAre("pid"));
    }
}

TEST(ClientDecision, BypassOnlyForTheExactValueOne) {
    FakeCaller service;
    service.session = 0;
    service.image = std::string(R"(C:\Windows\Temp\evil.exe)");
    auto verdict = decide(service, {.bypass = "1"});
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->pid, kPid);
    EXPECT_EQ(verdict->accepted_by, AcceptedBy::Bypass);
    EXPECT_THAT(service.asked, ElementsAre("pid"));

    for (const char* value : {"true", "01", " 1", "1 ", "yes", ""}) {
        FakeCaller caller;
        caller.session = 0;
        EXPECT_EQ(refusal(caller, {.bypass = value}),
                  "Access denied: client cannot be in Session 0 (services isolation)")
            << value;
    }
}

TEST(ClientDecision, SessionRules) {
    struct Case {
        const char* label;
        std::optional<std::uint32_t> session;
        std::uint32_t console;
        std::optional<std::uint32_t> connect_state;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"session query fails", std::nullopt, 1, std::nullopt, "Failed to query session ID for client PID 4242"},
        {"service session, even named vexl2.exe", 0, 1, 0,
         "Access denied: client cannot be in Session 0 (services isolation)"},
        {"console session", 1, 1, std::nullopt, "accepted"},
        {"active remote session", 2, 1, kWtsActive, "accepted"},
        {"disconnected remote session", 2, 1, 4,
         "Access denied: client session 2 is not an active interactive or console session (active_console=1)"},
        {"failed WTS query", 2, 1, std::nullopt,
         "Access denied: client session 2 is not an active interactive or console session (active_console=1)"},
        {"no console, disconnected session", 3, kNoConsoleSession, 4,
         "Access denied: client session 3 is not an active interactive or console session "
         "(active_console=4294967295)"},
        {"no console, active session", 3, kNoConsoleSession, kWtsActive, "accepted"},
        {"no console and no session", kNoConsoleSession, kNoConsoleSession, kWtsActive,
         "Access denied: client session 4294967295 is not an active interactive or console session "
         "(active_console=4294967295)"},
    };
    for (const auto& c : cases) {
        FakeCaller caller;
        caller.session = c.session;
        caller.console = c.console;
        caller.connect_state = c.connect_state;
        EXPECT_EQ(refusal(caller), c.expected) << c.label;
    }
}

TEST(ClientDecision, LaterFactsAreNotGatheredAfterARefusal) {
    FakeCaller service;
    service.session = 0;
    refusal(service);
    EXPECT_THAT(service.asked, ElementsAre("pid", "session"));

    FakeCaller disconnected;
    disconnected.session = 2;
    disconnected.connect_state = 4;
    refusal(disconnected);
    EXPECT_THAT(disconnected.asked, ElementsAre("pid", "session", "console", "wts"));

    FakeCaller lost;
    lost.session = kNoConsoleSession;
    lost.console = kNoConsoleSession;
    refusal(lost);
    EXPECT_THAT(lost.asked, ElementsAre("pid", "session", "console"));
}

TEST(ClientDecision, ImagePathFailures) {
    FakeCaller cannot_open;
    cannot_open.image = std::unexpected(ImageFailure::OpenFailed);
    EXPECT_EQ(refusal(cannot_open), "Failed to open client process PID 4242 for verification");
    FakeCaller cannot_query;
    cannot_query.image = std::unexpected(ImageFailure::QueryFailed);
    EXPECT_EQ(refusal(cannot_query), "Failed to query process image name for client PID 4242");
}

TEST(ClientDecision, FileNameRules) {
    struct Case {
        const char* name;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"vexl2.exe", true},           {"VEXL2.EXE", true},         {"vexl2-tauri.exe", true},
        {"app-vexl2.exe", true},       {"App-Vexl2-Tauri.exe", true}, {"Vexl 2.exe", true},
        {"vexl2_tauri.exe", true},     {"--vexl2--.exe", true},     {"V.E.X.L.2.exe", true},
        {"anything-tauri.exe", true},  {"zorv.exe", true},          {"vexl.exe", true},
        {"zorv2.exe", true},           {"vexl2.com", false},        {"vexl3.exe", false},
        {"vexl2.exe.txt", false},      {"vexl2", false},            {".exe", false},
        {"-tauri.exe", true},          {"tauri.exe", false},        {"zorv3.exe", false},
        {"vexl2tauri2.exe", false},    {"my-vexl2.exe", false},     {"вексл2.exe", false},
    };
    for (const auto& c : cases) {
        FakeCaller caller;
        const std::string path = std::string(R"(D:\Program Files\App\)") + c.name;
        caller.image = path;
        const std::string expected =
            c.accepted ? "accepted" : "Unauthorized client process: '" + path + "' (PID 4242)";
        EXPECT_EQ(refusal(caller), expected) << c.name;
    }
}

TEST(ClientDecision, UntrustedDirectories) {
    struct Case {
        const char* path;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {R"(D:\Users\x\Downloads\vexl2.exe)", false}, {R"(D:\Program Files\App\VEXL2.EXE)", true},
        {R"(C:\Users\Public\vexl2.exe)", false},      {R"(C:\Windows\TEMP\vexl2.exe)", false},
        {R"(Z:\tmp\build\vexl2.exe)", false},         {R"(C:\Temporary\vexl2.exe)", true},
        {R"(C:\Users\Publication\vexl2.exe)", true},  {R"(C:\my-downloads\vexl2.exe)", true},
    };
    for (const auto& c : cases) {
        FakeCaller caller;
        caller.image = std::string(c.path);
        const std::string expected = c.accepted
                                         ? "accepted"
                                         : std::string("Client process is running from untrusted directory: '") +
                                               c.path + "'";
        EXPECT_EQ(refusal(caller), expected) << c.path;
    }
    // The name is judged before the directory.
    FakeCaller both;
    both.image = std::string(R"(D:\Downloads\vexl3.exe)");
    EXPECT_EQ(refusal(both), R"(Unauthorized client process: 'D:\Downloads\vexl3.exe' (PID 4242))");
}

TEST(ClientDecision, ExpectedPathReplacesNameAndDirectoryRules) {
    FakeCaller downloaded;
    downloaded.image = std::string(R"(D:\Users\x\Downloads\Whatever.exe)");
    auto verdict = decide(downloaded, {.expected_path = "  d:\\users\\X\\DOWNLOADS\\whatever.EXE \t"});
    ASSERT_TRUE(verdict) << verdict.error().message();
    EXPECT_EQ(verdict->accepted_by, AcceptedBy::ExpectedPath);
    EXPECT_EQ(verdict->path, R"(D:\Users\x\Downloads\Whatever.exe)");

    FakeCaller elsewhere;
    EXPECT_EQ(refusal(elsewhere, {.expected_path = R"(C:\Other\VEXL2.exe)"}),
              R"(Client process path mismatch: actual='D:\Program Files\App\vexl2.exe', expected='C:\Other\VEXL2.exe')");

    // Unusable values are ignored and the ordinary rules apply.
    for (const char* unusable : {"", "   ", "__SINGBOX_EXPECTED_CLIENT_PATH__", " __SINGBOX_EXPECTED_CLIENT_PATH__ "}) {
        FakeCaller caller;
        caller.image = std::string(R"(D:\Users\x\Downloads\vexl2.exe)");
        EXPECT_EQ(refusal(caller, {.expected_path = unusable}),
                  R"(Client process is running from untrusted directory: 'D:\Users\x\Downloads\vexl2.exe')")
            << unusable;
    }
}

TEST(ClientDecision, PathFileName) {
    EXPECT_EQ(path_file_name(R"(Z:\work\App\vexl2.exe)"), "vexl2.exe");
    EXPECT_EQ(path_file_name("C:/x/y.exe"), "y.exe");
    EXPECT_EQ(path_file_name("vexl2.exe"), "vexl2.exe");
    EXPECT_EQ(path_file_name(R"(C:\)"), "");
    EXPECT_EQ(path_file_name("C:"), "");
    EXPECT_EQ(path_file_name(R"(C:\x\..)"), "");
    EXPECT_EQ(path_file_name(""), "");
}

}  // namespace
}  // namespace zorv::security
