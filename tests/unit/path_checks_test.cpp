#include <gtest/gtest.h>

#include <map>

#include "security/core_deployment.hpp"
#include "security/path_checks.hpp"
#include "support/capturing_logger.hpp"
#include "support/test_env.hpp"

namespace zorv::security {
namespace {

using testing::read_file;
using testing::TestDir;
using testing::write_file;
namespace fs = std::filesystem;

// A minimal image: DOS header whose offset at 60 points at "PE\0\0".
std::string pe_image(std::size_t size, std::uint32_t pe_offset = 64) {
    std::string bytes(size, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    for (int i = 0; i < 4; ++i) bytes[60 + i] = static_cast<char>((pe_offset >> (8 * i)) & 0xFF);
    if (static_cast<std::uint64_t>(pe_offset) + 4 <= size) {
        bytes[pe_offset] = 'P';
        bytes[pe_offset + 1] = 'E';
    }
    return bytes;
}

TEST(PathChecks, WindowsExecutableHeader) {
    TestDir dir("pe-check");
    struct Case {
        const char* name;
        std::string content;
        bool expected;
    };
    std::string wrong_magic = pe_image(128);
    wrong_magic[0] = 'Z';
    std::string wrong_signature = pe_image(128);
    wrong_signature[65] = 'X';
    std::string offset_zero = pe_image(128, 0);
    offset_zero[0] = 'M';
    offset_zero[1] = 'Z';
    const Case cases[] = {
        {"ok.exe", pe_image(128), true},
        {"exact.exe", pe_image(68, 64), true},  // signature ends at the last byte
        {"short.exe", std::string("MZ") + std::string(61, '\0'), false},  // 63 bytes
        {"past-end.exe", pe_image(128, 126), false},  // offset + 4 beyond the size
        {"far-past-end.exe", pe_image(128, 0xFFFFFFFF), false},
        {"offset-zero.exe", offset_zero, false},
        {"wrong-magic.exe", wrong_magic, false},
        {"wrong-signature.exe", wrong_signature, false},
        {"text.exe", std::string(200, 'a'), false},
        {"empty.exe", "", false},
    };
    for (const auto& c : cases) {
        write_file(dir / c.name, c.content);
        EXPECT_EQ(is_windows_executable(dir / c.name), c.expected) << c.name;
    }
    EXPECT_FALSE(is_windows_executable(dir / "missing.exe"));
    EXPECT_FALSE(is_windows_executable(dir.path()));  // a directory
    EXPECT_TRUE(is_windows_executable(testing::double_exe("fake_core")));
}

TEST(PathChecks, ReparsePointOnThePathOrAnyExistingAncestor) {
    // Wine does not create reparse points, so the lookups are supplied here.
    struct Entry {
        bool readable;
        std::optional<std::uint32_t> attributes;
    };
    const auto lookups_for = [](std::map<std::wstring, Entry> entries) {
        auto shared = std::make_shared<std::map<std::wstring, Entry>>(std::move(entries));
        return ReparseLookups{
            [shared](const fs::path& p) {
                const auto it = shared->find(p.native());
                return it != shared->end() && it->second.readable;
            },
            [shared](const fs::path& p) -> std::optional<std::uint32_t> {
                const auto it = shared->find(p.native());
                return it == shared->end() ? std::nullopt : it->second.attributes;
            }};
    };
    constexpr std::uint32_t kDir = FILE_ATTRIBUTE_DIRECTORY;
    constexpr std::uint32_t kReparse = FILE_ATTRIBUTE_REPARSE_POINT;
    const fs::path target = LR"(D:\svc\sub\sing-box.exe)";

    EXPECT_FALSE(has_reparse_point(target, lookups_for({{LR"(D:\svc\sub\sing-box.exe)", {true, 0}},
                                                        {LR"(D:\svc\sub)", {true, kDir}},
                                                        {LR"(D:\svc)", {true, kDir}},
                                                        {LR"(D:\)", {true, kDir}}})));
    EXPECT_TRUE(has_reparse_point(target, lookups_for({{LR"(D:\svc\sub\sing-box.exe)", {true, kReparse}}})));
    EXPECT_TRUE(has_reparse_point(target, lookups_for({{LR"(D:\svc\sub)", {true, kDir | kReparse}}})));
    EXPECT_TRUE(has_reparse_point(target, lookups_for({{LR"(D:\)", {true, kDir | kReparse}}})));
    // A dangling link cannot be followed and is skipped, as are components that cannot be read.
    EXPECT_FALSE(has_reparse_point(target, lookups_for({{LR"(D:\svc\sub\sing-box.exe)", {false, kReparse}},
                                                        {LR"(D:\svc)", {true, std::nullopt}}})));
    // A target that does not exist yet is still judged by its ancestors.
    EXPECT_TRUE(has_reparse_point(LR"(D:\svc\junction\new\sing-box.exe)",
                                  lookups_for({{LR"(D:\svc\junction)", {true, kDir | kReparse}}})));
    // On the real file system an ordinary folder has none.
    TestDir dir("reparse");
    write_file(dir / "sub" / "sing-box.exe", "x");
    EXPECT_FALSE(has_reparse_point(dir / "sub" / "sing-box.exe"));
    EXPECT_FALSE(has_reparse_point(dir / "missing" / "sing-box.exe"));
}

TEST(PathChecks, BinaryPathInsideTheServiceDirectory) {
    TestDir root("binary-path");
    const fs::path service = root / "svc";
    write_file(service / "sing-box.exe", pe_image(128));
    write_file(root / "svc2" / "sing-box.exe", pe_image(128));
    const std::string service_text = win32::path_text(service);

    EXPECT_TRUE(check_binary_path(service_text + "\\sing-box.exe", service));
    EXPECT_TRUE(check_binary_path(service_text + "\\SING-BOX.EXE", service));
    EXPECT_TRUE(check_binary_path(service_text + "\\sub\\sing-box.exe", service));  // need not exist yet
    EXPECT_FALSE(check_binary_path("\\\\?\\" + service_text + "\\sing-box.exe", service));

    const auto message = [](const Status& status) { return status ? std::string() : status.error().one_line(); };
    const std::string sibling = win32::path_text(root / "svc2" / "sing-box.exe");
    EXPECT_EQ(message(check_binary_path(sibling, service)),
              "binary_path must reside within the service directory: " + sibling);
    const std::string escaping = service_text + "\\..\\svc2\\sing-box.exe";
    EXPECT_EQ(message(check_binary_path(escaping, service)),
              "binary_path must reside within the service directory: " + escaping);
    const std::string backup = service_text + "\\sing-box.exe.bak";
    EXPECT_EQ(message(check_binary_path(backup, service)), "binary_path must point to sing-box.exe, got: " + backup);
    EXPECT_EQ(message(check_binary_path("sing-box.exe", service)),
              "binary_path is not a valid plain local path: sing-box.exe");
    EXPECT_EQ(message(check_binary_path("", service)), "binary_path must point to sing-box.exe, got: ");
}

TEST(PathChecks, SourcePathRules) {
    TestDir root("source-path");
    const fs::path service = root / "svc";
    fs::create_directories(service);
    write_file(root / "bin" / "sing-box.exe", pe_image(256));
    write_file(root / "bin" / "text" / "sing-box.exe", "not an executable, just text that is long enough......");
    write_file(root / "elsewhere" / "sing-box.exe", pe_image(256));
    const auto message = [](const Result<std::string>& result) {
        return result ? std::string() : result.error().one_line();
    };

    const std::string good = win32::path_text(root / "bin" / "sing-box.exe");
    ASSERT_TRUE(validate_source_path(good, service));
    EXPECT_EQ(*validate_source_path(good, service), good);  // returned as given

    const std::string missing = win32::path_text(root / "bin" / "missing" / "sing-box.exe");
    EXPECT_EQ(message(validate_source_path(missing, service)), "source_path does not exist: " + missing);
    const std::string text = win32::path_text(root / "bin" / "text" / "sing-box.exe");
    EXPECT_EQ(message(validate_source_path(text, service)), "source_path is not a valid Windows executable: " + text);
    const std::string elsewhere = win32::path_text(root / "elsewhere" / "sing-box.exe");
    EXPECT_EQ(message(validate_source_path(elsewhere, service)),
              "source_path is not in an authorized directory (Program Files, ProgramData, a user's profile (a folder under \\Users\\), the service directory, or a folder named bin, target or resources): " + elsewhere);
    EXPECT_EQ(message(validate_source_path("bin\\sing-box.exe", service)),
              "source_path is not a valid plain local path: bin\\sing-box.exe");
}

class Deployment : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(service);
        write_file(source, pe_image(4096));
        testing::CapturingLogger::instance().clear();
    }
    bool logged_deployment() const {
        return testing::CapturingLogger::instance().contains("Successfully deployed sing-box binary from " +
                                                             source_text + " to " + win32::path_text(target));
    }
    // Staging and installing, as a start does them on either side of its lock.
    Status deploy(const std::string& source_path, const fs::path& to) {
        auto staged = stage_core(source_path, service, client, publisher);
        if (!staged) return fail(staged.error());
        if (!*staged) return {};
        return install_core(**staged, to);
    }
    // Files beside the core other than the core itself: leftover copies.
    std::size_t files_beside_core() const {
        std::size_t count = 0;
        for (const auto& entry : fs::directory_iterator(service)) count += entry.path().filename() != "sing-box.exe";
        return count;
    }

    TestDir root{"deploy"};
    fs::path service = root / "svc";
    fs::path target = service / "sing-box.exe";
    fs::path source = root / "bin" / "sing-box.exe";
    std::string source_text = win32::path_text(source);
    OwnIdentity client;
    // The unit test executable is unsigned: the publisher check is off.
    PublisherCheck publisher = PublisherCheck::load();
};

TEST_F(Deployment, CopiesASourceWithOtherContentEvenOfTheSameSize) {
    std::string same_size = pe_image(4096);
    same_size[200] = 'x';
    write_file(target, same_size);
    ASSERT_TRUE(deploy(source_text, target));
    EXPECT_EQ(read_file(target), read_file(source));
    EXPECT_TRUE(logged_deployment());
    EXPECT_EQ(files_beside_core(), 0u);
}

TEST_F(Deployment, CopiesWhenTheTargetIsMissingAndCreatesItsFolder) {
    const fs::path nested = service / "sub" / "sing-box.exe";
    ASSERT_TRUE(deploy(source_text, nested));
    EXPECT_EQ(read_file(nested), read_file(source));
}

TEST_F(Deployment, LeavesTheSameBytesAloneWithoutALogLine) {
    write_file(target, pe_image(4096));
    ASSERT_TRUE(deploy(source_text, target));
    EXPECT_FALSE(logged_deployment());
    EXPECT_EQ(files_beside_core(), 0u);
}

TEST_F(Deployment, SkipsAMissingSourceSilently) {
    write_file(target, pe_image(128));
    const std::string missing = win32::path_text(root / "bin" / "gone" / "sing-box.exe");
    EXPECT_TRUE(deploy(missing, target));
    EXPECT_TRUE(deploy("", target));
    EXPECT_EQ(read_file(target), pe_image(128));
    EXPECT_TRUE(testing::CapturingLogger::instance().messages().empty());
}

TEST_F(Deployment, RefusesASourceThatBreaksARule) {
    write_file(root / "elsewhere" / "sing-box.exe", pe_image(300));
    const std::string elsewhere = win32::path_text(root / "elsewhere" / "sing-box.exe");
    const auto result = deploy(elsewhere, target);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().one_line(), "source_path is not in an authorized directory (Program Files, ProgramData, a user's profile (a folder under \\Users\\), the service directory, or a folder named bin, target or resources): " + elsewhere);
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(Deployment, AFailedRenameLeavesTheOldCoreWholeAndRemovesTheCopy) {
    // A folder where the core should be cannot be replaced by a file.
    const fs::path folder_target = service / "sub" / "sing-box.exe";
    fs::create_directories(folder_target / "inside");
    const auto result = deploy(source_text, folder_target);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "Failed to deploy sing-box binary to service directory");
    ASSERT_EQ(result.error().causes().size(), 1u);
    EXPECT_NE(result.error().causes()[0].find("(os error"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(folder_target / "inside"));
    EXPECT_EQ(files_beside_core(), 1u);  // the folder "sub" only
    EXPECT_FALSE(logged_deployment());
}

}  // namespace
}  // namespace zorv::security
