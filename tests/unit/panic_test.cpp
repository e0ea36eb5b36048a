// The crash hook on a thread that failed while holding the logger's lock.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "logger/rolling_file_logger.hpp"
#include "main/panic.hpp"
#include "support/test_env.hpp"

namespace zorv::panic {
namespace {

namespace fs = std::filesystem;
using testing::read_file;

logger::LoggerSettings settings_in(const fs::path& dir) {
    return logger::LoggerSettings{
        .log_dir = dir, .base_name = "service", .max_size = 10 * 1024 * 1024, .max_files = 5, .console = false};
}

// An uncaught C++ exception must reach the terminate handler, not end as a
// crash; every other exception, and one that may not continue, is a crash.
TEST(CrashFilter, LetsOnlyAContinuableCxxExceptionGoOn) {
    struct Case {
        std::uint32_t code;
        std::uint32_t flags;
        bool goes_on;
    };
    for (const Case& c : {Case{0x20474343, 0, true}, Case{0x21474343, 0, true}, Case{0x22474343, 0, true},
                          Case{0x20474343, EXCEPTION_NONCONTINUABLE, false}, Case{0xC0000005, 0, false},
                          Case{0xE06D7363, 0, false}, Case{0x00474343, 0, false}})
        EXPECT_EQ(is_cxx_exception_in_flight(c.code, c.flags), c.goes_on) << std::hex << c.code;
}

TEST(CrashRecord, IsWrittenPastAHeldLock) {
    testing::TestDir dir("crash-record");
    logger::RollingFileLogger logger(settings_in(dir.path()));
    logger.log(log::Level::Info, "zorv_helper", "before");
    const auto held = logger.hold_writes();

    logger.write_unlocked(log::Level::Error, "zorv_helper", "written while the lock is held");

    const std::string text = read_file(dir / "service.log");
    EXPECT_NE(text.find("[INFO ] [zorv_helper] before\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[ERROR] [zorv_helper] written while the lock is held\r\n"), std::string::npos) << text;
}

// The statement runs in a child process (the test program started again for
// this test alone), so its folder is a fixed one both can find.
TEST(CrashHookDeathTest, EndsWith101AndLogsWhileTheFailingThreadHoldsTheLoggerLock) {
    const fs::path dir = testing::build_dir() / "test-work" / "crash-hook-held-lock";
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    fs::create_directories(dir, ignored);
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";

    EXPECT_EXIT(
        {
            auto owned = std::make_unique<logger::RollingFileLogger>(settings_in(dir));
            logger::RollingFileLogger* file_logger = owned.get();
            if (!log::install(std::move(owned))) std::_Exit(3);  // another logger: the test cannot run
            log::set_max_level(log::Level::Debug);
            install_hook();
            const auto held = file_logger->hold_writes();
            // An exception nothing handles ends through the terminate handler.
            try {
                throw std::logic_error("failed inside a log write");
            } catch (...) {
                std::terminate();
            }
        },
        ::testing::ExitedWithCode(kPanicExitStatus), "");

    const std::string text = read_file(dir / "service.log");
    EXPECT_NE(text.find("[ERROR] [zorv_helper] FATAL PANIC in zorv-helper at "), std::string::npos) << text;
    EXPECT_NE(text.find(": failed inside a log write\nBacktrace:\n"), std::string::npos) << text;
    fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace zorv::panic
