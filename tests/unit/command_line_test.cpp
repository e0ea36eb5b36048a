#include <gtest/gtest.h>

#include "main/command_line.hpp"
#include "main/panic.hpp"

namespace zorv::entry {
namespace {

struct CommandCase {
    std::vector<std::string> args;
    std::optional<Command> command;
    std::string error;
    bool logged = false;
};

TEST(CommandLine, DispatchesOnlyOnTheFirstArgument) {
    const std::vector<CommandCase> cases = {
        {{"zorv-helper.exe"}, Command::ServiceDispatcher, "", false},
        {{"zorv-helper.exe", "run"}, Command::Standalone, "", false},
        {{"zorv-helper.exe", "run-standalone"}, Command::Standalone, "", false},
        {{"zorv-helper.exe", "run", "extra", "args"}, Command::Standalone, "", false},
        {{"zorv-helper.exe", "install"}, Command::Install, "", false},
        {{"zorv-helper.exe", "uninstall"}, Command::Uninstall, "", false},
        {{"zorv-helper.exe", "install", "x"}, std::nullopt, "Unexpected arguments after 'install'", false},
        {{"zorv-helper.exe", "uninstall", "x"}, std::nullopt, "Unexpected arguments after 'uninstall'", false},
        {{"zorv-helper.exe", "RUN"}, std::nullopt, "Unknown helper command: RUN", true},
        {{"zorv-helper.exe", "standalone"}, std::nullopt, "Unknown helper command: standalone", true},
        {{"zorv-helper.exe", "--install"}, std::nullopt, "Unknown helper command: --install", true},
        {{"zorv-helper.exe", ""}, std::nullopt, "Unknown helper command: ", true},
        {{"zorv-helper.exe", "Install"}, std::nullopt, "Unknown helper command: Install", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : "<none>");
        auto parsed = parse_command(c.args);
        if (c.command) {
            ASSERT_TRUE(parsed.has_value());
            EXPECT_EQ(*parsed, *c.command);
        } else {
            ASSERT_FALSE(parsed.has_value());
            EXPECT_EQ(parsed.error().message, c.error);
            EXPECT_EQ(parsed.error().log_as_error, c.logged);
        }
    }
}

TEST(CommandLine, BannerListsEveryArgumentQuotedAndEscaped) {
    EXPECT_EQ(format_argument_list({R"(C:\svc\zorv-helper.exe)", "run", R"(say "hi")"}),
              R"(["C:\\svc\\zorv-helper.exe", "run", "say \"hi\""])");
    EXPECT_EQ(format_argument_list({}), "[]");
}

TEST(Panic, RecordNamesLocationMessageAndBacktrace) {
    EXPECT_EQ(panic::panic_record("src/x.cpp:10:5", "lock poisoned", "  0: frame\n"),
              "FATAL PANIC in zorv-helper at src/x.cpp:10:5: lock poisoned\nBacktrace:\n  0: frame\n");
}

TEST(Panic, ExceptionMessageOrUnknownPayload) {
    try {
        throw std::runtime_error("boom");
    } catch (...) {
        EXPECT_EQ(panic::current_exception_message(), "boom");
    }
    try {
        throw 42;
    } catch (...) {
        EXPECT_EQ(panic::current_exception_message(), "Unknown panic payload");
    }
    EXPECT_EQ(panic::current_exception_message(), "Unknown panic payload");
}

}  // namespace
}  // namespace zorv::entry
