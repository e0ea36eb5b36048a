#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

#include "common/win32.hpp"
#include "control/replies.hpp"
#include "manager/core_log.hpp"
#include "manager/runtime_manager.hpp"
#include "manager/runtime_status.hpp"
#include "support/capturing_logger.hpp"
#include "support/test_env.hpp"

namespace zorv::manager {
namespace {

using testing::CapturingLogger;
using testing::read_file;
using testing::TestDir;
using testing::write_file;
namespace fs = std::filesystem;

bool all_digits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::shared_ptr<RuntimeManager> manager_in(const TestDir& dir) {
    return RuntimeManager::create(ManagerOptions{.service_dir = dir.path(), .launch_watchdog = {}});
}

std::string shred_message(const fs::path& dir) {
    return "[security] Shredded and deleted stale plaintext config file: " + win32::path_text(dir / "sing-box.json");
}

// ---- The status record's JSON form ----------------------------------------

TEST(RuntimeStatusJson, KeysInByteOrderWhateverTheFieldOrder) {
    RuntimeStatus status;
    status.service_instance_id = "1700000000000000000";
    status.stopped_at = 20;
    status.last_operation_id = "op";
    status.client_runtime_id = "c";
    status.started_at = -5;
    status.config_path = "stdin";
    status.binary_path = "C:\\svc\\sing-box.exe";
    status.profile_id = "p";
    status.singbox_pid = 4294967295u;
    status.pid = 4294967295u;
    status.detail = "GUI client exited";
    status.state = "running";
    status.running = true;
    EXPECT_EQ(control::status_json(status).dump(),
              R"({"binaryPath":"C:\\svc\\sing-box.exe","clientRuntimeId":"c","configPath":"stdin",)"
              R"("detail":"GUI client exited","lastOperationId":"op","pid":4294967295,"profileId":"p",)"
              R"("running":true,"serviceInstanceId":"1700000000000000000","singboxPid":4294967295,)"
              R"("startedAt":-5,"state":"running","stoppedAt":20})");
}

TEST(RuntimeStatusJson, AbsentMembersAreOmitted) {
    EXPECT_EQ(control::status_json(bare_stopped("9")).dump(), R"({"running":false,"serviceInstanceId":"9","state":"stopped"})");
    RuntimeStatus some = bare_stopped("9");
    some.pid = 0;
    some.detail = "";
    EXPECT_EQ(control::status_json(some).dump(), R"({"detail":"","pid":0,"running":false,"serviceInstanceId":"9","state":"stopped"})");
}

// ---- Construction -----------------------------------------------------------

TEST(RuntimeManagerCreate, FreshManagerReportsThreeKeys) {
    TestDir dir("fresh-manager");
    const auto manager = manager_in(dir);
    EXPECT_EQ(control::status_json(manager->status()).dump(), R"({"running":false,"serviceInstanceId":")" +
                                                     manager->service_instance_id() + R"(","state":"stopped"})");
}

TEST(RuntimeManagerCreate, TwoManagersHaveDifferentDecimalInstanceIds) {
    TestDir dir("two-managers");
    const auto first = manager_in(dir);
    const auto second = manager_in(dir);
    EXPECT_TRUE(all_digits(first->service_instance_id())) << first->service_instance_id();
    EXPECT_TRUE(all_digits(second->service_instance_id())) << second->service_instance_id();
    EXPECT_NE(first->service_instance_id().front(), '0');
    EXPECT_NE(first->service_instance_id(), second->service_instance_id());
    EXPECT_EQ(first->status().service_instance_id, first->service_instance_id());
    EXPECT_EQ(second->status().service_instance_id, second->service_instance_id());
}

// ---- Stale configuration shredding ------------------------------------------

// A second name for the same file lets a test see what the shredder wrote
// after the first name is gone.
fs::path hard_link_to(const fs::path& target, const fs::path& link) {
    EXPECT_TRUE(::CreateHardLinkW(link.c_str(), target.c_str(), nullptr)) << ::GetLastError();
    return link;
}

FILETIME write_time_of(const fs::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_TRUE(::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    return data.ftLastWriteTime;
}

void set_last_write_time_to_2001(const fs::path& path) {
    win32::UniqueHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    SYSTEMTIME old{2001, 1, 1, 1, 0, 0, 0, 0};
    FILETIME time;
    ASSERT_TRUE(::SystemTimeToFileTime(&old, &time));
    ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &time));
}

bool same_time(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

TEST(StaleConfigurationShredding, ContentIsZeroedThenTheFileDeleted) {
    CapturingLogger::instance().clear();
    TestDir dir("shred");
    const std::string secret = R"({"outbounds":[{"password":"hunter2"}]})";
    write_file(dir / "sing-box.json", secret);
    const fs::path witness = hard_link_to(dir / "sing-box.json", dir / "witness.json");

    shred_stale_configuration(dir.path());

    EXPECT_FALSE(fs::exists(dir / "sing-box.json"));
    EXPECT_EQ(read_file(witness), std::string(secret.size(), '\0'));
    EXPECT_TRUE(CapturingLogger::instance().contains(shred_message(dir.path())));
}

TEST(StaleConfigurationShredding, EmptyFileIsDeletedWithoutAWrite) {
    CapturingLogger::instance().clear();
    TestDir dir("shred-empty");
    write_file(dir / "sing-box.json", "");
    const fs::path witness = hard_link_to(dir / "sing-box.json", dir / "witness.json");
    set_last_write_time_to_2001(witness);
    const FILETIME before = write_time_of(witness);

    shred_stale_configuration(dir.path());

    EXPECT_FALSE(fs::exists(dir / "sing-box.json"));
    EXPECT_TRUE(same_time(write_time_of(witness), before)) << "the empty file was opened for writing";
    EXPECT_TRUE(CapturingLogger::instance().contains(shred_message(dir.path())));
}

TEST(StaleConfigurationShredding, OverwritesInPlaceBeyondTwoGiB) {
    CapturingLogger::instance().clear();
    TestDir dir("shred-large");
    const fs::path stale = dir / "sing-box.json";
    const std::uint64_t size = (2ULL << 30) + 4096;  // past what one 32-bit write could hold
    const std::uint64_t marks[] = {0, (2ULL << 30) - 1, 2ULL << 30, size - 1};
    {
        // Sparse but for a secret byte at each mark.
        win32::UniqueHandle file(::CreateFileW(stale.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        for (const std::uint64_t mark : marks) {
            LARGE_INTEGER at{};
            at.QuadPart = static_cast<LONGLONG>(mark);
            DWORD written = 0;
            ASSERT_TRUE(::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN));
            ASSERT_TRUE(::WriteFile(file.get(), "S", 1, &written, nullptr));
        }
    }
    const fs::path witness = hard_link_to(stale, dir / "witness.json");

    shred_stale_configuration(dir.path());

    EXPECT_FALSE(fs::exists(stale));
    // Not truncated: the same length, and zeros where the secret was.
    ASSERT_EQ(fs::file_size(witness), size);
    win32::UniqueHandle file(::CreateFileW(witness.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    for (const std::uint64_t mark : marks) {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(mark);
        char byte = 'S';
        DWORD read = 0;
        ASSERT_TRUE(::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN));
        ASSERT_TRUE(::ReadFile(file.get(), &byte, 1, &read, nullptr));
        EXPECT_EQ(read, 1u);
        EXPECT_EQ(byte, '\0') << "at " << mark;
    }
    EXPECT_TRUE(CapturingLogger::instance().contains(shred_message(dir.path())));
}

TEST(StaleConfigurationShredding, TheLogSaysExactlyWhatWasDone) {
    const std::string path = "D:\\svc\\sing-box.json";
    const struct {
        ShredOutcome outcome;
        log::Level level;
        std::string message;
    } cases[] = {
        {{10, 10, std::nullopt, std::nullopt}, log::Level::Info,
         "[security] Shredded and deleted stale plaintext config file: " + path},
        {{0, 0, std::nullopt, std::nullopt}, log::Level::Info,
         "[security] Shredded and deleted stale plaintext config file: " + path},
        {{10, 4, Error("disk full"), std::nullopt}, log::Level::Warn,
         "[security] Stale plaintext config file " + path +
             ": failed to overwrite it (4 of 10 bytes zeroed): disk full; deleted it"},
        {{10, 10, std::nullopt, Error("in use")}, log::Level::Error,
         "[security] Stale plaintext config file " + path +
             ": overwrote all 10 bytes with zeros; failed to delete it: in use"},
        {{0, 0, Error("denied"), Error("denied")}, log::Level::Error,
         "[security] Stale plaintext config file " + path +
             ": failed to overwrite it (0 of 0 bytes zeroed): denied; failed to delete it: denied"},
    };
    for (const auto& c : cases) {
        const ShredReport report = shred_report(c.outcome, path);
        EXPECT_EQ(report.level, c.level) << c.message;
        EXPECT_EQ(report.message, c.message);
    }
}

TEST(StaleConfigurationShredding, MissingFileLogsNothing) {
    CapturingLogger::instance().clear();
    TestDir dir("shred-missing");
    shred_stale_configuration(dir.path());
    EXPECT_FALSE(CapturingLogger::instance().contains(shred_message(dir.path())));
}

TEST(StaleConfigurationShredding, ConstructionShredsAStaleFile) {
    CapturingLogger::instance().clear();
    TestDir dir("shred-at-create");
    write_file(dir / "sing-box.json", "{}");
    const auto manager = manager_in(dir);
    EXPECT_FALSE(fs::exists(dir / "sing-box.json"));
    EXPECT_TRUE(CapturingLogger::instance().contains(shred_message(dir.path())));
}

// ---- Service directory --------------------------------------------------------

TEST(ServiceDirectory, OnlyTheExecutablesOwnFolder) {
    EXPECT_EQ(service_dir_of(fs::path(L"C:\\svc\\zorv-helper.exe")), fs::path(L"C:\\svc"));
    const auto unreadable = service_dir_of(fail(win32::os_error(ERROR_ACCESS_DENIED)));
    ASSERT_FALSE(unreadable);
    EXPECT_EQ(unreadable.error().message(), "Failed to get current executable path");
    EXPECT_EQ(unreadable.error().os_code(), ERROR_ACCESS_DENIED);
    for (const wchar_t* no_parent : {L"zorv-helper.exe", L"C:\\"}) {
        const auto refused = service_dir_of(fs::path(no_parent));
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().message(), "Failed to resolve service directory");
    }
}

// ---- Stop and reset with no core --------------------------------------------

TEST(RuntimeManagerNoCore, StopReturnsABareRecordAndStoresItsOwn) {
    TestDir dir("stop-no-core");
    const auto manager = manager_in(dir);
    const std::string instance = manager->service_instance_id();

    const RuntimeStatus reply = manager->stop({"api-stop", std::nullopt, "someone"}).value();
    ASSERT_TRUE(reply.last_operation_id);
    EXPECT_TRUE(all_digits(*reply.last_operation_id)) << *reply.last_operation_id;
    ASSERT_TRUE(reply.stopped_at);
    RuntimeStatus expected = bare_stopped(instance);
    expected.stopped_at = reply.stopped_at;
    expected.last_operation_id = reply.last_operation_id;
    EXPECT_EQ(reply, expected);

    // The stored record is a bare one with the same operation id; its time is its own.
    const RuntimeStatus stored = manager->status();
    ASSERT_TRUE(stored.stopped_at);
    EXPECT_LE(*stored.stopped_at, *reply.stopped_at);
    expected.stopped_at = stored.stopped_at;
    EXPECT_EQ(stored, expected);

    // A status without an operation id keeps the stored one; a later stop replaces the record.
    EXPECT_EQ(manager->status().last_operation_id, reply.last_operation_id);
    EXPECT_EQ(manager->stop({"tray", "op-2", std::nullopt}).value().last_operation_id, "op-2");
    EXPECT_EQ(manager->status().last_operation_id, "op-2");
}

TEST(RuntimeManagerNoCore, ResetStoresExactlyWhatItReturns) {
    TestDir dir("reset-no-core");
    const auto manager = manager_in(dir);
    const RuntimeStatus reply = manager->reset("op-r").value();
    RuntimeStatus expected = bare_stopped(manager->service_instance_id());
    expected.stopped_at = reply.stopped_at;
    expected.last_operation_id = "op-r";
    EXPECT_TRUE(reply.stopped_at.has_value());
    EXPECT_EQ(reply, expected);
    EXPECT_EQ(manager->status(), reply);

    const RuntimeStatus generated = manager->reset(std::nullopt).value();
    ASSERT_TRUE(generated.last_operation_id);
    EXPECT_TRUE(all_digits(*generated.last_operation_id));
    EXPECT_EQ(manager->status(), generated);
}

TEST(RuntimeManagerNoCore, StopShredsTheStaleConfigurationAndResetDoesNot) {
    TestDir dir("stop-shreds");
    const auto manager = manager_in(dir);
    write_file(dir / "sing-box.json", "{}");
    ASSERT_TRUE(manager->reset("op-1"));
    EXPECT_TRUE(fs::exists(dir / "sing-box.json"));
    ASSERT_TRUE(manager->stop({"api-stop", "op-2", std::nullopt}));
    EXPECT_FALSE(fs::exists(dir / "sing-box.json"));
}

// ---- Core log tail ----------------------------------------------------------

TEST(CoreLogTail, LastNonBlankLinesOfTheFinal32KiB) {
    TestDir dir("log-tail");
    std::string content = "first line, beyond the window\n";
    for (int i = 0; content.size() < 40 * 1024; ++i) content += "padding line " + std::to_string(i) + "\n";
    content += "one\r\n\r\n  two keeps its indent  \n \t \nthree\n\nfour\r\nfive\n   \nsix\nseven\r\n\n\n";
    write_file(dir / "sing-box.log", content);

    EXPECT_EQ(read_core_log_tail(dir / "sing-box.log", 5, 0), "three\nfour\nfive\nsix\nseven");
    EXPECT_EQ(read_core_log_tail(dir / "sing-box.log", 7, 0),
              "one\n  two keeps its indent  \nthree\nfour\nfive\nsix\nseven");
}

TEST(CoreLogTail, OnlyTheLast32KiBAreRead) {
    TestDir dir("log-tail-window");
    // Text lines, then more than 32 KiB of blank lines, then two text lines.
    const std::string content = "early 1\nearly 2\nearly 3\n" + std::string(33 * 1024, '\n') + "late 1\nlate 2";
    write_file(dir / "sing-box.log", content);
    EXPECT_EQ(read_core_log_tail(dir / "sing-box.log", 5, 0), "late 1\nlate 2");
}

TEST(CoreLogTail, OnlyTheSessionsOwnLinesAreQuoted) {
    TestDir dir("log-tail-session");
    const std::string earlier = "earlier session\npassword=hunter2\n";
    const std::string header = "\n=== header (profile: p) ===\n";
    write_file(dir / "sing-box.log", earlier + header + "own 1\nown 2\n");
    const std::uint64_t start = earlier.size() + header.size();

    EXPECT_EQ(read_core_log_tail(dir / "sing-box.log", 15, start), "own 1\nown 2");
    // Nothing written since the header: nothing at all to quote.
    write_file(dir / "quiet.log", earlier + header);
    EXPECT_EQ(read_core_log_tail(dir / "quiet.log", 15, start), "");
    // No header was written, or the file is shorter now (replaced): nothing.
    EXPECT_EQ(read_core_log_tail(dir / "sing-box.log", 15, std::nullopt), "");
    EXPECT_EQ(read_core_log_tail(dir / "sing-box.log", 15, start + 1000), "");
}

TEST(CoreLogTail, MissingFileOrInvalidTextHandled) {
    TestDir dir("log-tail-odd");
    EXPECT_EQ(read_core_log_tail(dir / "absent.log", 5, 0), "");
    write_file(dir / "bad.log", "ok\nbad \xff byte\n");
    EXPECT_EQ(read_core_log_tail(dir / "bad.log", 5, 0), "ok\nbad \xEF\xBF\xBD byte");
    write_file(dir / "blank.log", "\n \r\n\t\n");
    EXPECT_EQ(read_core_log_tail(dir / "blank.log", 5, 0), "");
}

}  // namespace
}  // namespace zorv::manager
