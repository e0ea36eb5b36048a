#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "logger/rolling_file_logger.hpp"
#include "logger/rotate_log.hpp"
#include "support/test_env.hpp"

namespace zorv::logger {
namespace {

using testing::read_file;
using testing::TestDir;
using testing::write_file;
namespace fs = std::filesystem;

// ---- rotate_log --------------------------------------------------------------

TEST(RotateLog, ThresholdIsInclusive) {
    TestDir dir("rotate-threshold");
    const fs::path log = dir / "service.log";
    write_file(log, std::string(99, 'a'));
    ASSERT_TRUE(rotate_log(log, 100, 5));
    EXPECT_TRUE(fs::exists(log));
    EXPECT_FALSE(fs::exists(dir / "service.1.log"));

    write_file(log, std::string(100, 'a'));
    ASSERT_TRUE(rotate_log(log, 100, 5));
    EXPECT_FALSE(fs::exists(log));
    EXPECT_EQ(read_file(dir / "service.1.log"), std::string(100, 'a'));
}

TEST(RotateLog, FiveGenerationsMoveUpAndTheOldestGoes) {
    TestDir dir("rotate-five");
    const fs::path log = dir / "service.log";
    write_file(log, "current");
    for (int n = 1; n <= 5; ++n) write_file(dir / ("service." + std::to_string(n) + ".log"), "gen" + std::to_string(n));

    ASSERT_TRUE(rotate_log(log, 0, 5));

    EXPECT_FALSE(fs::exists(log));
    EXPECT_EQ(read_file(dir / "service.1.log"), "current");
    for (int n = 2; n <= 5; ++n)
        EXPECT_EQ(read_file(dir / ("service." + std::to_string(n) + ".log")), "gen" + std::to_string(n - 1));
    EXPECT_FALSE(fs::exists(dir / "service.6.log"));
}

TEST(RotateLog, AGapInTheNumberingStaysAGap) {
    TestDir dir("rotate-gap");
    const fs::path log = dir / "service.log";
    write_file(log, "current");
    write_file(dir / "service.3.log", "gen3");

    ASSERT_TRUE(rotate_log(log, 0, 5));

    EXPECT_EQ(read_file(dir / "service.1.log"), "current");
    EXPECT_FALSE(fs::exists(dir / "service.2.log"));
    EXPECT_FALSE(fs::exists(dir / "service.3.log"));
    EXPECT_EQ(read_file(dir / "service.4.log"), "gen3");
    EXPECT_FALSE(fs::exists(dir / "service.5.log"));
}

TEST(RotateLog, NoFilesKeptDeletesAndMissingFileIsNoError) {
    TestDir dir("rotate-zero");
    const fs::path log = dir / "service.log";
    write_file(log, "x");
    ASSERT_TRUE(rotate_log(log, 0, 0));
    EXPECT_FALSE(fs::exists(log));
    EXPECT_FALSE(fs::exists(dir / "service.1.log"));
    EXPECT_TRUE(rotate_log(log, 0, 5));
}

TEST(RotateLog, RotatedNames) {
    EXPECT_EQ(rotated_path(fs::path(L"C:\\svc\\logs\\sing-box.log"), 3), fs::path(L"C:\\svc\\logs\\sing-box.3.log"));
    EXPECT_EQ(rotated_path(fs::path(L"service.log"), 1), fs::path(L".\\service.1.log"));
    EXPECT_EQ(rotated_path(fs::path(L"C:\\logs\\noext"), 2), fs::path(L"C:\\logs\\noext.2.log"));
}

// ---- Line format --------------------------------------------------------------

TEST(LogLineFormat, LevelPaddedToFiveColumnsAndCrLf) {
    const struct {
        log::Level level;
        const char* expected;
    } cases[] = {
        {log::Level::Error, "[2026-01-31 08:15:42.093] [ERROR] [zorv_helper::manager] text\r\n"},
        {log::Level::Warn, "[2026-01-31 08:15:42.093] [WARN ] [zorv_helper::manager] text\r\n"},
        {log::Level::Info, "[2026-01-31 08:15:42.093] [INFO ] [zorv_helper::manager] text\r\n"},
        {log::Level::Debug, "[2026-01-31 08:15:42.093] [DEBUG] [zorv_helper::manager] text\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(format_line("2026-01-31 08:15:42.093", c.level, "zorv_helper::manager", "text"), c.expected);
}

// ---- RollingFileLogger (constructed directly, never installed) -----------------

LoggerSettings settings_in(const TestDir& dir, std::uint64_t max_size, std::uint64_t max_files = 5) {
    return LoggerSettings{dir / "logs", "service", max_size, max_files, false};
}

// Length of one written line: the timestamp always has 23 characters.
std::size_t line_length(log::Level level, std::string_view target, std::string_view message) {
    return format_line("2000-01-01 00:00:00.000", level, target, message).size();
}

TEST(RollingFileLogger, WritesTimestampedLinesAndDropsTrace) {
    TestDir dir("logger-lines");
    {
        RollingFileLogger logger(settings_in(dir, 1 << 20));
        EXPECT_FALSE(logger.enabled(log::Level::Trace));
        EXPECT_TRUE(logger.enabled(log::Level::Debug));
        logger.log(log::Level::Trace, "zorv_helper", "never written");
        logger.log(log::Level::Debug, "zorv_helper", "debug line");
        logger.log(log::Level::Warn, "zorv_helper::pipe_server", "warn line");
        logger.flush();
    }
    const std::string text = read_file(dir / "logs" / "service.log");
    const std::regex expected(
        R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[DEBUG\] \[zorv_helper\] debug line\r\n)"
        R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[WARN \] \[zorv_helper::pipe_server\] warn line\r\n)");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST(RollingFileLogger, RotatesBeforeARecordThatWouldPassTheLimit) {
    TestDir dir("logger-rotate");
    const std::size_t line = line_length(log::Level::Info, "t", "0123456789");
    {
        // Two lines fill the file exactly; the third rotates first.
        RollingFileLogger logger(settings_in(dir, 2 * line));
        logger.log(log::Level::Info, "t", "0123456789");
        logger.log(log::Level::Info, "t", "0123456789");
        EXPECT_FALSE(fs::exists(dir / "logs" / "service.1.log"));
        EXPECT_EQ(fs::file_size(dir / "logs" / "service.log"), 2 * line);

        logger.log(log::Level::Info, "t", "third line");
        EXPECT_EQ(fs::file_size(dir / "logs" / "service.1.log"), 2 * line);
        const std::string current = read_file(dir / "logs" / "service.log");
        EXPECT_EQ(current.size(), line);
        EXPECT_NE(current.find("third line"), std::string::npos);
    }
}

TEST(RollingFileLogger, OversizedLinesRotateEveryTimeAndOnlyFiveGenerationsStay) {
    TestDir dir("logger-oversized");
    const std::string big(300, 'x');
    {
        RollingFileLogger logger(settings_in(dir, 100));
        for (int i = 0; i < 8; ++i) logger.log(log::Level::Info, "t", big + std::to_string(i));
    }
    // Each line went into a file of its own; the last five older ones are kept.
    EXPECT_NE(read_file(dir / "logs" / "service.log").find(big + "7"), std::string::npos);
    for (int n = 1; n <= 5; ++n) {
        const std::string rotated = read_file(dir / "logs" / ("service." + std::to_string(n) + ".log"));
        EXPECT_NE(rotated.find(big + std::to_string(7 - n)), std::string::npos) << n;
        EXPECT_EQ(rotated.size(), line_length(log::Level::Info, "t", big + "0"));
    }
    EXPECT_FALSE(fs::exists(dir / "logs" / "service.6.log"));
}

TEST(RollingFileLogger, AFileAtTheLimitIsRotatedAtStartOneByteShortIsNot) {
    TestDir dir("logger-start");
    write_file(dir / "logs" / "service.log", std::string(999, 'a'));
    { RollingFileLogger logger(settings_in(dir, 1000)); }
    EXPECT_FALSE(fs::exists(dir / "logs" / "service.1.log"));
    EXPECT_EQ(read_file(dir / "logs" / "service.log"), std::string(999, 'a'));

    TestDir full("logger-start-full");
    write_file(full / "logs" / "service.log", std::string(1000, 'a'));
    {
        RollingFileLogger logger(settings_in(full, 1000));
        EXPECT_EQ(read_file(full / "logs" / "service.1.log"), std::string(1000, 'a'));
        EXPECT_EQ(fs::file_size(full / "logs" / "service.log"), 0u);
    }
}

TEST(RollingFileLogger, SizeCountsWhatTheFileAlreadyHeld) {
    TestDir dir("logger-existing");
    const std::size_t line = line_length(log::Level::Info, "t", "m");
    write_file(dir / "logs" / "service.log", std::string(50, 'a'));
    {
        RollingFileLogger logger(settings_in(dir, 50 + line));
        logger.log(log::Level::Info, "t", "m");  // exactly at the limit: no rotation
        EXPECT_FALSE(fs::exists(dir / "logs" / "service.1.log"));
        logger.log(log::Level::Info, "t", "m");  // one line over: rotation
        EXPECT_EQ(fs::file_size(dir / "logs" / "service.1.log"), 50 + line);
    }

    TestDir over("logger-one-over");
    write_file(over / "logs" / "service.log", std::string(51, 'a'));
    {
        RollingFileLogger logger(settings_in(over, 50 + line));
        logger.log(log::Level::Info, "t", "m");  // one byte over the limit: rotation first
        EXPECT_EQ(read_file(over / "logs" / "service.1.log"), std::string(51, 'a'));
        EXPECT_EQ(fs::file_size(over / "logs" / "service.log"), line);
    }
}

}  // namespace
}  // namespace zorv::logger
