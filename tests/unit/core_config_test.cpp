#include <gtest/gtest.h>

#include <regex>

#include "manager/child_process.hpp"
#include "manager/core_config.hpp"
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

TEST(ConfigurationSelection, ContentFirstThenACheckedFile) {
    TestDir dir("config-select");
    write_file(dir / "config.json", "{}");

    api::StartRuntimeRequest both;
    both.config_content = "{}";
    both.config_path = "does-not-matter";  // not examined at all
    auto selected = select_configuration(both);
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected->argument, "stdin");
    EXPECT_EQ(selected->label, "stdin");
    EXPECT_EQ(selected->content, "{}");
    EXPECT_FALSE(selected->file);

    api::StartRuntimeRequest empty_content;
    empty_content.config_content = "";
    ASSERT_TRUE(select_configuration(empty_content));
    EXPECT_EQ(select_configuration(empty_content)->content, "");

    api::StartRuntimeRequest file;
    file.config_path = win32::path_text(dir / "config.json");
    selected = select_configuration(file);
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected->argument, *file.config_path);
    EXPECT_EQ(selected->label, *file.config_path);
    EXPECT_EQ(selected->file, dir / "config.json");

    const auto message = [](std::optional<std::string> path) {
        api::StartRuntimeRequest request;
        request.config_path = std::move(path);
        auto result = select_configuration(request);
        return result ? std::string() : result.error().one_line();
    };
    const std::string missing = win32::path_text(dir / "missing.json");
    EXPECT_EQ(message(missing), "Specified config path does not exist: " + missing);
    EXPECT_EQ(message(""), "Specified config path does not exist: ");
    // Existence is checked before the form of the path.
    EXPECT_EQ(message("missing-relative.json"), "Specified config path does not exist: missing-relative.json");
    const std::string relative = win32::path_text(fs::relative(dir / "config.json", fs::current_path()));
    EXPECT_EQ(message(relative), "Specified config path is not a plain local path: " + relative);
    const std::string device = "\\\\.\\" + win32::path_text(dir / "config.json");
    EXPECT_EQ(message(device), "Specified config path is not a plain local path: " + device);
    EXPECT_EQ(message(std::nullopt), "Neither configContent nor configPath was provided");
}

TEST(CoreLog, SessionHeaderText) {
    EXPECT_EQ(session_header("2026-01-31 08:15:42.093", "work", "stdin"),
              "\n==================== [sing-box launch session at 2026-01-31 08:15:42.093] "
              "(profile: work, config: stdin) ====================\n");
}

TEST(CoreLog, PreparedLogIsRotatedAppendedAndHeaded) {
    TestDir dir("core-log");
    testing::CapturingLogger::instance().clear();
    const fs::path log_path = dir / "logs" / "sing-box.log";

    {
        CoreLog log = prepare_core_log(dir.path(), "default", "stdin");
        EXPECT_EQ(log.path, log_path);
        EXPECT_TRUE(log.file);
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
        CoreCommand{testing::double_exe("fake_core"), win32::path_text(dir / "config.json"), dir.path(), false, nullptr});
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
