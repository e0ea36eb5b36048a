// The file keys of a core configuration: which values may stay, and which
// member a refusal names, in both modes.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "manager/config_file_keys.hpp"

namespace zorv::manager {
namespace {

constexpr std::string_view kService = "C:\\Program Files\\VEXL2 Helper";

TEST(ConfigFileKeys, ValuesInsideTheServiceDirectoryOnly) {
    for (const char* allowed : {"", "cache.db", "ui", "logs/core.log", "C:\\Program Files\\VEXL2 Helper\\cache.db",
                                "c:/program files/vexl2 helper/ui/index.html"}) {
        EXPECT_TRUE(file_value_allowed(allowed, kService)) << allowed;
    }
    for (const char* refused :
         {"..\\x.log", "ui\\..\\cache.db", "ui/../../x", "C:\\Users\\me\\x.log", "\\Windows\\x.log", "/x.log",
          "D:x.log", "cache.db:stream", "\\\\server\\share\\x.log", "\\\\?\\C:\\Program Files\\VEXL2 Helper\\x.log",
          "C:\\Program Files\\VEXL2 Helper2\\x.log", ".", "C:\\Program Files\\VEXL2 Helper", "C:\\Program Files\\VEXL2 Helper\\.",
          "version.dll", "ui\\ZORV-HELPER.EXE", "zorv-h~1.exe\\x", "nul", "x.log.", "x\x01.log"}) {
        EXPECT_FALSE(file_value_allowed(refused, kService)) << refused;
    }
}

TEST(ConfigFileKeys, TheFirstRefusedMemberIsNamed) {
    const auto refusal = [](const std::string& configuration, bool strict) -> std::optional<std::string> {
        const Status allowed = check_file_keys(configuration, kService, strict);
        if (allowed) return std::nullopt;
        return allowed.error().message();
    };
    struct Case {
        std::string configuration;
        std::optional<std::string> standard;  // the refusal in standard mode
        std::optional<std::string> strict;    // ... and in strict mode
    };
    const std::string outside = "must name a file inside the service directory: ";
    const Case cases[] = {
        {R"({"log":{"output":"box.log"},"experimental":{"cache_file":{"path":""}}})", std::nullopt, std::nullopt},
        {R"({"log":{"output":"C:\\x.log"}})", "Configuration key log.output " + outside + "C:\\x.log",
         "Configuration key log.output " + outside + "C:\\x.log"},
        // The core matches member names without regard to case.
        {R"({"LOG":{"Output":"C:\\x.log"}})", "Configuration key LOG.Output " + outside + "C:\\x.log", std::nullopt},
        {"{\"experimental\":{\"cla\xC5\xBFh_api\":{\"external_ui\":\"..\"}}}",
         "Configuration key experimental.cla\xC5\xBFh_api.external_ui " + outside + "..", std::nullopt},
        // Every duplicate counts, whichever one the core keeps.
        {R"({"log":{"output":"","output":"D:\\x"}})", "Configuration key log.output " + outside + "D:\\x", std::nullopt},
        {R"({"inbounds":[{},{"tls":{"acme":{"data_directory":"C:\\acme"}}}]})",
         "Configuration key inbounds[1].tls.acme.data_directory " + outside + "C:\\acme", std::nullopt},
        // What the core only reads is held inside in strict mode alone.
        {R"({"route":{"rule_set":[{"type":"local","path":"C:\\rules\\a.srs"}]}})", std::nullopt,
         "Strict mode refuses configuration key route.rule_set[0].path " + outside + "C:\\rules\\a.srs"},
        {R"({"route":{"rules":[{"process_path":["cache.db","C:\\a.exe"]}]}})", std::nullopt,
         "Strict mode refuses configuration key route.rules[0].process_path[1] " + outside + "C:\\a.exe"},
        // Text the core would read as U+FFFD is not left unchecked.
        {R"({"log":{"output":"C:\\x\ud800.log"}})", "Configuration key log.output " + outside + "C:\\x\xEF\xBF\xBD.log",
         std::nullopt},
        {"{\"log\":{\"output\":\"C:\\\\x\xFF.log\"}}", "Configuration key log.output " + outside + "C:\\x\xEF\xBF\xBD.log",
         std::nullopt},
        {"/* \" */ {\"log\":{\"output\":\"C:\\\\x\"}}", "Configuration key log.output " + outside + "C:\\x",
         std::nullopt},
        // Client text cannot start a log line.
        {"{\"log\":{\"output\":\"C:\\\\x\\n[INFO ] forged\"}}",
         "Configuration key log.output " + outside + "C:\\x\\n[INFO ] forged", std::nullopt},
        // Not JSON the core could read: left to the core.
        {R"({"log":{"output":"C:\\x.log"})", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(refusal(c.configuration, false), c.standard) << c.configuration;
        EXPECT_EQ(refusal(c.configuration, true), c.strict.has_value() ? c.strict : c.standard) << c.configuration;
    }
}

}  // namespace
}  // namespace zorv::manager
