#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "manager/core_launcher.hpp"
#include "manager/core_config.hpp"
#include "security/client_impersonation.hpp"
#include "support/capturing_logger.hpp"
#include "support/test_env.hpp"

namespace zorv::manager {
namespace {

using testing::read_file;
using testing::TestDir;
using testing::write_file;
namespace fs = std::filesystem;

TEST(NetworkParameters, LanProxyPort) {
    const auto port_of = [](const std::string& inbounds) {
        return network_parameters_from_text(R"({"inbounds":)" + inbounds + "}").lan_proxy_port;
    };
    struct Case {
        const char* inbounds;
        std::optional<std::uint16_t> expected;
    };
    const Case cases[] = {
        {R"([{"type":"mixed","listen":"0.0.0.0","listen_port":7890}])", 7890},
        {R"([{"type":"http","listen":"0.0.0.0","listen_port":1}])", 1},
        {R"([{"type":"socks","listen":"0.0.0.0","listen_port":65535}])", 65535},
        {R"([{"type":"mixed","listen":"0.0.0.0","listen_port":0}])", std::nullopt},
        {R"([{"type":"mixed","listen":"0.0.0.0","listen_port":70000}])", std::nullopt},
        {R"([{"type":"mixed","listen":"0.0.0.0","listen_port":65536}])", std::nullopt},
        {R"([{"type":"mixed","listen":"0.0.0.0","listen_port":-1}])", std::nullopt},
        {R"([{"type":"mixed","listen":"0.0.0.0","listen_port":-0}])", std::nullopt},
        {R"([{"type":"mixed","listen":"0.0.0.0","listen_port":7890.5}])", std::nullopt},
        {R"([{"type":"mixed","listen":"0.0.0.0","listen_port":7890.0}])", std::nullopt},
        {R"([{"type":"mixed","listen":"0.0.0.0","listen_port":7.89e3}])", std::nullopt},
        {R"([{"type":"mixed","listen":"0.0.0.0","listen_port":"7890"}])", std::nullopt},
        {R"([{"type":"mixed","listen":"0.0.0.0","listen_port":null}])", std::nullopt},
        {R"([{"type":"mixed","listen":"0.0.0.0"}])", std::nullopt},
        {R"([{"type":"socks","listen":"127.0.0.1","listen_port":1080}])", std::nullopt},
        {R"([{"type":"http","listen":"::","listen_port":8080}])", std::nullopt},
        {R"([{"type":"http","listen":" 0.0.0.0","listen_port":8080}])", std::nullopt},
        {R"([{"type":"http","listen_port":8080}])", std::nullopt},
        {R"([{"type":"Mixed","listen":"0.0.0.0","listen_port":7890}])", std::nullopt},
        {R"([{"type":"shadowsocks","listen":"0.0.0.0","listen_port":7890}])", std::nullopt},
        {R"([{"type":"socks","listen":"127.0.0.1","listen_port":1080},)"
         R"({"type":"http","listen":"0.0.0.0","listen_port":8080},)"
         R"({"type":"mixed","listen":"0.0.0.0","listen_port":7890}])",
         8080},
        {R"(["mixed", 7, {"type":"mixed","listen":"0.0.0.0","listen_port":7891}])", 7891},
        {R"({"type":"mixed","listen":"0.0.0.0","listen_port":7890})", std::nullopt},  // not an array
    };
    for (const auto& c : cases) EXPECT_EQ(port_of(c.inbounds), c.expected) << c.inbounds;
}

TEST(NetworkParameters, TunInterface) {
    const auto tun_of = [](const std::string& inbounds) {
        return network_parameters_from_text(R"({"inbounds":)" + inbounds + "}").tun_interface;
    };
    struct Case {
        const char* inbounds;
        const char* expected;
    };
    const Case cases[] = {
        {R"([{"type":"tun","interface_name":"wg0"}])", "wg0"},
        {R"([{"type":"tun","interface_name":"  wg0 \t"}])", "wg0"},
        {"[{\"type\":\"tun\",\"interface_name\":\"\\u3000wg0\\u00a0\"}]", "wg0"},
        {R"([{"type":"tun","interface_name":"  "},{"type":"tun","interface_name":"wg1"}])", "wg1"},
        {R"([{"type":"tun","interface_name":"first"},{"type":"tun","interface_name":"second"}])", "first"},
        {R"([{"type":"tun"}])", "singbox_tun"},
        {R"([{"type":"tun","interface_name":7}])", "singbox_tun"},
        {R"([{"type":"TUN","interface_name":"wg0"}])", "singbox_tun"},
        {R"([{"type":"mixed","interface_name":"wg0"}])", "singbox_tun"},
        {"[]", "singbox_tun"},
    };
    for (const auto& c : cases) EXPECT_EQ(tun_of(c.inbounds), c.expected) << c.inbounds;
}

TEST(NetworkParameters, UnreadableConfigurationGivesDefaults) {
    const NetworkParameters defaults{"singbox_tun", std::nullopt};
    for (const char* text : {"", "{", "not json", "[]", "7", R"({"inbounds":{}})", R"({"inbounds":null})",
                             R"({"outbounds":[]})", R"({"inbounds":[]} trailing)"})
        EXPECT_EQ(network_parameters_from_text(std::string_view(text)), defaults) << text;
    EXPECT_EQ(network_parameters_from_text(std::nullopt), defaults);
}

// Records the order of identity changes; optionally lets a file exist only
// while the thread is the client, so that a successful read proves the file
// was opened between impersonation and reversion.
class RecordingIdentity final : public security::ClientIdentity {
public:
    std::vector<std::string> events;
    bool refuse = false;
    std::optional<fs::path> file_while_client;
    std::string content;

    Status impersonate() override {
        events.push_back("impersonate");
        if (refuse) return fail(win32::os_error(ERROR_CANNOT_IMPERSONATE));
        if (file_while_client) write_file(*file_while_client, content);
        return {};
    }
    Status revert() override {
        events.push_back("revert");
        if (file_while_client) fs::remove(*file_while_client);
        return {};
    }
};

std::string selection_error(std::optional<std::string> path, security::ClientIdentity& client) {
    StartCommand request;
    request.config_path = std::move(path);
    auto result = select_configuration(request, client);
    return result ? std::string() : result.error().one_line();
}

TEST(ConfigurationSelection, ContentFirstThenAFileStreamedLikeContent) {
    TestDir dir("config-select");
    security::OwnIdentity own;
    write_file(dir / "config.json", "{\"x\": 1}");

    StartCommand both;
    both.config_content = "{}";
    both.config_path = "does-not-matter";  // not examined at all
    RecordingIdentity untouched;
    auto selected = select_configuration(both, untouched);
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected->argument, "stdin");
    EXPECT_EQ(selected->label, "stdin");
    EXPECT_EQ(selected->content, "{}");
    EXPECT_TRUE(untouched.events.empty());

    StartCommand empty_content;
    empty_content.config_content = "";
    ASSERT_TRUE(select_configuration(empty_content, own));
    EXPECT_EQ(select_configuration(empty_content, own)->content, "");

    StartCommand file;
    file.config_path = win32::path_text(dir / "config.json");
    selected = select_configuration(file, own);
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected->argument, "stdin");
    EXPECT_EQ(selected->label, *file.config_path);
    EXPECT_EQ(selected->content, "{\"x\": 1}");
    EXPECT_EQ(selection_error(std::nullopt, own), "Neither configContent nor configPath was provided");
}

TEST(ConfigurationSelection, TextRulesComeBeforeTheFileSystem) {
    TestDir dir("config-rules");
    write_file(dir / "config.json", "{}");
    const std::string config = win32::path_text(dir / "config.json");
    const std::string relative = win32::path_text(fs::relative(dir / "config.json", fs::current_path()));
    const std::string missing = win32::path_text(dir / "missing.json");
    const std::string nul = config + std::string(1, '\0') + "\\..\\x.json";
    const struct {
        std::string path;
        std::string message;
    } text_refusals[] = {
        {"", "Specified config path does not exist: "},
        {relative, "Specified config path is not a plain local path: " + relative},
        {"missing-relative.json", "Specified config path is not a plain local path: missing-relative.json"},
        {"\\\\.\\" + config, "Specified config path is not a plain local path: \\\\.\\" + config},
        {"\\\\?\\" + config, "Specified config path is not a plain local path: \\\\?\\" + config},
        {"\\\\127.0.0.1\\share\\config.json",
         "Specified config path is not a plain local path: \\\\127.0.0.1\\share\\config.json"},
        {nul, "Specified config path is not a plain local path: " + nul},
        {config + ":stream", "Specified config path is not a plain local path: " + config + ":stream"},
    };
    for (const auto& c : text_refusals) {
        RecordingIdentity client;
        EXPECT_EQ(selection_error(c.path, client), c.message);
        EXPECT_TRUE(client.events.empty()) << "touched as the client: " << c.path;
    }
    RecordingIdentity client;
    EXPECT_EQ(selection_error(missing, client), "Specified config path does not exist: " + missing);
    EXPECT_EQ(client.events, (std::vector<std::string>{"impersonate", "revert"}));
    fs::create_directories(dir / "folder.json");
    const std::string folder = win32::path_text(dir / "folder.json");
    EXPECT_TRUE(selection_error(folder, client).starts_with("Specified config path could not be opened: " + folder))
        << selection_error(folder, client);
}

TEST(ConfigurationSelection, TheFileIsOpenedOnlyAsTheClient) {
    TestDir dir("config-client");
    RecordingIdentity client;
    client.file_while_client = dir / "client-only.json";
    client.content = "{\"only\": \"while impersonating\"}";
    StartCommand request;
    request.config_path = win32::path_text(*client.file_while_client);
    const auto selected = select_configuration(request, client);
    ASSERT_TRUE(selected) << selected.error().one_line();
    EXPECT_EQ(selected->content, client.content);
    EXPECT_EQ(client.events, (std::vector<std::string>{"impersonate", "revert"}));
    EXPECT_FALSE(fs::exists(*client.file_while_client));

    // No impersonation, no look at the file.
    RecordingIdentity refusing;
    refusing.refuse = true;
    write_file(dir / "config.json", "{}");
    const std::string message = selection_error(win32::path_text(dir / "config.json"), refusing);
    const std::string expected = "Specified config path could not be opened: " + win32::path_text(dir / "config.json") +
                                 ": Failed to impersonate the pipe client";
    EXPECT_TRUE(message.starts_with(expected)) << message;
    EXPECT_EQ(refusing.events, std::vector<std::string>{"impersonate"});
}

TEST(ConfigurationSelection, FilesAboveTheFrameLimitAreRefusedUnread) {
    TestDir dir("config-size");
    security::OwnIdentity own;
    const fs::path at_limit = dir / "at-limit.json";
    write_file(at_limit, std::string(kMaxConfigFileBytes, ' '));
    StartCommand request;
    request.config_path = win32::path_text(at_limit);
    const auto selected = select_configuration(request, own);
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected->content.size(), kMaxConfigFileBytes);

    const fs::path above = dir / "above.json";
    write_file(above, std::string(kMaxConfigFileBytes + 1, ' '));
    EXPECT_EQ(selection_error(win32::path_text(above), own),
              "Specified config path is larger than 10485760 bytes: " + win32::path_text(above));
}

TEST(CoreLog, SessionHeaderText) {
    EXPECT_EQ(session_header("2026-01-31 08:15:42.093", "work", "stdin"),
              "\n==================== [sing-box launch session at 2026-01-31 08:15:42.093] "
              "(profile: work, config: stdin) ====================\n");
    // The client's text stays on the header's line.
    EXPECT_EQ(session_header("t", "a\r\n[t] [INFO ] forged", "C:\\c\x1b.json"),
              "\n==================== [sing-box launch session at t] "
              "(profile: a\\r\\n[t] [INFO ] forged, config: C:\\c\\u{1b}.json) ====================\n");
}

TEST(CoreLog, PreparedLogIsRotatedAppendedAndHeaded) {
    TestDir dir("core-log");
    testing::CapturingLogger::instance().clear();
    const fs::path log_path = dir / "logs" / "sing-box.log";

    {
        CoreLog log = prepare_core_log(dir.path(), "default", "stdin");
        EXPECT_EQ(log.path, log_path);
        EXPECT_TRUE(log.file);
        // The session's own lines begin right after its header.
        EXPECT_EQ(log.session_start, fs::file_size(log_path));
    }
    const std::regex header(
        "\n={20} \\[sing-box launch session at \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}\\] "
        "\\(profile: default, config: stdin\\) ={20}\n");
    EXPECT_TRUE(std::regex_match(read_file(log_path), header)) << read_file(log_path);
    EXPECT_TRUE(testing::CapturingLogger::instance().contains("sing-box log file prepared at " +
                                                              win32::path_text(log_path) + " (append mode)"));

    // One byte under the limit: appended to.
    const std::string below(kCoreLogRotateBytes - 1, 'a');
    write_file(log_path, below);
    prepare_core_log(dir.path(), "p", "D:\\c.json");
    EXPECT_FALSE(fs::exists(dir / "logs" / "sing-box.1.log"));
    const std::string appended = read_file(log_path);
    EXPECT_EQ(appended.substr(0, below.size()), below);
    EXPECT_NE(appended.find("(profile: p, config: D:\\c.json)"), std::string::npos);

    // At the limit: rotated first, and the new file holds only the header.
    write_file(log_path, std::string(kCoreLogRotateBytes, 'b'));
    prepare_core_log(dir.path(), "p", "stdin");
    EXPECT_EQ(fs::file_size(dir / "logs" / "sing-box.1.log"), kCoreLogRotateBytes);
    EXPECT_EQ(read_file(log_path).front(), '\n');
    EXPECT_LT(fs::file_size(log_path), 200u);
}

TEST(CoreLog, UnopenableLogStillReportsItsPath) {
    TestDir dir("core-log-dir");
    // A folder where the file should be: no file, no header, no failure.
    fs::create_directories(dir / "logs" / "sing-box.log");
    testing::CapturingLogger::instance().clear();
    CoreLog log = prepare_core_log(dir.path(), "default", "stdin");
    EXPECT_FALSE(log.file);
    EXPECT_FALSE(log.session_start);
    EXPECT_TRUE(testing::CapturingLogger::instance().contains(
        "sing-box log file prepared at " + win32::path_text(dir / "logs" / "sing-box.log") + " (append mode)"));
}

TEST(CoreProcess, ExitStatusText) {
    struct Case {
        std::uint32_t code;
        const char* text;
    };
    const Case cases[] = {
        {0, "exit code: 0"},
        {1, "exit code: 1"},
        {0x7FFFFFFF, "exit code: 2147483647"},
        {0x80000000, "exit code: 0x80000000"},
        {0xC0000005, "exit code: 0xc0000005"},
        {0xFFFFFFFF, "exit code: 0xffffffff"},
    };
    for (const auto& c : cases) EXPECT_EQ(exit_status_text(c.code), c.text);
}

TEST(CoreProcess, CommandLineQuotesEachArgument) {
    EXPECT_EQ(core_command_line(LR"(D:\svc\sing-box.exe)", "stdin"), R"(D:\svc\sing-box.exe run -c stdin)");
    EXPECT_EQ(core_command_line(LR"(D:\my svc\sing-box.exe)", R"(D:\my configs\a "b".json)"),
              R"("D:\my svc\sing-box.exe" run -c "D:\my configs\a \"b\".json")");
    EXPECT_EQ(core_command_line(LR"(D:\svc\sing-box.exe)", R"(D:\dir with space\)"),
              R"(D:\svc\sing-box.exe run -c "D:\dir with space\\")");
}

TEST(CoreProcess, ClosingTheJobEndsTheCore) {
    TestDir dir("job");
    write_file(dir / "config.json", "{}");
    auto child = spawn_core_suspended(
        CoreCommand{testing::double_exe("fake_core"), win32::path_text(dir / "config.json"), dir.path(), nullptr});
    ASSERT_TRUE(child) << child.error().one_line();
    auto job = bind_to_kill_on_close_job(*child);
    ASSERT_TRUE(job) << job.error().one_line();
    ASSERT_TRUE(child->resume());
    EXPECT_EQ(::WaitForSingleObject(child->process.get(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
    job->reset();
    EXPECT_EQ(::WaitForSingleObject(child->process.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
}

}  // namespace
}  // namespace zorv::manager
