#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/win32.hpp"
#include "service/directory_sandbox.hpp"
#include "support/test_env.hpp"

namespace zorv::service {
namespace {

using ::testing::ElementsAre;

TEST(DirectorySandbox, ArgumentListsOfBothRuns) {
    EXPECT_THAT(directory_lockdown_arguments("C:\\Program Files\\VEXL2"),
                ElementsAre("C:\\Program Files\\VEXL2", "/inheritance:r", "/grant:r", "*S-1-5-18:(OI)(CI)F",
                            "*S-1-5-32-544:(OI)(CI)F"));
    EXPECT_THAT(logs_read_access_arguments("C:\\Program Files\\VEXL2\\logs"),
                ElementsAre("C:\\Program Files\\VEXL2\\logs", "/grant", "*S-1-5-11:(OI)(CI)RX",
                            "*S-1-5-32-545:(OI)(CI)RX"));
}

struct ToolCall {
    std::string program;
    std::vector<std::string> arguments;
    bool target_existed = false;
};

std::vector<ToolCall> lock_down(const std::filesystem::path& directory) {
    std::vector<ToolCall> calls;
    apply_directory_sandbox(directory, [&](std::string_view program, const std::vector<std::string>& arguments) {
        calls.push_back({std::string(program), arguments,
                         std::filesystem::is_directory(std::filesystem::path(win32::to_wide(arguments.at(0))))});
    });
    return calls;
}

TEST(DirectorySandbox, CreatesMissingFoldersBeforeEachRun) {
    testing::TestDir root("sandbox");
    const std::filesystem::path directory = root / L"service dir" / L"nested";
    const std::vector<ToolCall> calls = lock_down(directory);

    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].program, "icacls");
    EXPECT_EQ(calls[0].arguments, directory_lockdown_arguments(win32::path_text(directory)));
    EXPECT_TRUE(calls[0].target_existed);
    EXPECT_EQ(calls[1].program, "icacls");
    EXPECT_EQ(calls[1].arguments, logs_read_access_arguments(win32::path_text(directory / L"logs")));
    EXPECT_TRUE(calls[1].target_existed);
}

TEST(DirectorySandbox, LeavesExistingContentAlone) {
    testing::TestDir root("sandbox-existing");
    testing::write_file(root / L"logs" / L"service.log", "kept\n");
    const std::vector<ToolCall> calls = lock_down(root.path());
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(testing::read_file(root / L"logs" / L"service.log"), "kept\n");
}

TEST(DirectorySandbox, RunsBothToolsEvenWhenTheFolderCannotBeCreated) {
    testing::TestDir root("sandbox-blocked");
    // A file where the directory should be: creation fails, the runs still happen.
    testing::write_file(root / L"blocked", "not a folder");
    const std::vector<ToolCall> calls = lock_down(root / L"blocked");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_FALSE(calls[1].target_existed);
}

}  // namespace
}  // namespace zorv::service
