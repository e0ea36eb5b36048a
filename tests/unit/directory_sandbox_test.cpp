#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "common/win32.hpp"
#include "service/directory_sandbox.hpp"
#include "support/test_env.hpp"

namespace zorv::service {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kLocked = "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr const char* kUser = "S-1-5-21-1-2-3-1001";

win32::UniqueLocalMemory<void> from_sddl(const std::string& sddl) {
    win32::UniqueLocalMemory<void> descriptor;
    const std::wstring wide = win32::to_wide(sddl);
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide.c_str(), SDDL_REVISION_1, descriptor.put(),
                                                               nullptr))
        ADD_FAILURE() << "SDDL not accepted: " << sddl;
    return descriptor;
}

// icacls as scripted exit codes, recording each call; the descriptor read
// back is the next of a list of SDDL texts (the last one repeats).
class ScriptedLockdown final : public ChildToolRunner {
public:
    std::vector<std::vector<std::string>> calls;
    std::vector<int> exit_codes;  // per call, 0 beyond the list
    std::deque<std::string> descriptors{kLocked};

    Result<std::int32_t> run(std::string_view program, const std::vector<std::string>& arguments) override {
        EXPECT_EQ(program, "icacls");
        calls.push_back(arguments);
        return calls.size() <= exit_codes.size() ? exit_codes[calls.size() - 1] : 0;
    }

    DirectoryLockdown lock_down(const std::filesystem::path& directory) {
        return lock_down_directory(directory, *this, [this](const std::filesystem::path&) -> Result<win32::UniqueLocalMemory<void>> {
            const std::string sddl = descriptors.front();
            if (descriptors.size() > 1) descriptors.pop_front();
            if (sddl.empty()) return fail(win32::os_error(ERROR_ACCESS_DENIED));
            return from_sddl(sddl);
        });
    }
};

TEST(DirectoryLockdown, FolderFirstThenItsContentsThenTheLogs) {
    testing::TestDir root("lockdown");
    const std::filesystem::path directory = root / L"service dir";
    ScriptedLockdown icacls;
    const DirectoryLockdown lockdown = icacls.lock_down(directory);

    const std::string d = win32::path_text(directory);
    EXPECT_THAT(icacls.calls,
                ElementsAre(ElementsAre(d, "/setowner", "*S-1-5-32-544"),
                            ElementsAre(d, "/inheritance:r", "/grant:r", "*S-1-5-18:(OI)(CI)F", "*S-1-5-32-544:(OI)(CI)F"),
                            ElementsAre(d + "\\*", "/setowner", "*S-1-5-32-544", "/T", "/C", "/L", "/Q"),
                            ElementsAre(d + "\\*", "/reset", "/T", "/C", "/L", "/Q"),
                            ElementsAre(d + "\\logs", "/grant", "*S-1-5-11:(OI)(CI)RX", "*S-1-5-32-545:(OI)(CI)RX")));
    EXPECT_TRUE(std::filesystem::is_directory(directory / L"logs"));
    EXPECT_TRUE(lockdown.verified());
    EXPECT_TRUE(lockdown.records.empty());
}

TEST(DirectoryLockdown, DecidesOverTheDescriptorReadBack) {
    struct Case {
        const char* name;
        std::vector<std::string> descriptors;  // after the grant, then at the end
        std::vector<std::string> removed;      // SIDs of the /remove step
        const char* failure;                   // "" when verified
    };
    const std::string user = kUser;
    const Case cases[] = {
        {"locked", {kLocked}, {}, ""},
        {"users may read", {std::string(kLocked) + "(A;OICI;0x1200a9;;;BU)"}, {"S-1-5-32-545"}, ""},
        {"leftover entries removed",
         {std::string(kLocked) + "(A;OICI;FA;;;" + user + ")(D;;FA;;;WD)(A;ID;FA;;;BU)", kLocked},
         {user, "S-1-1-0"}, ""},
        {"a leftover that stays", {std::string(kLocked) + "(A;;FA;;;" + user + ")"}, {user}, "is writable by"},
        {"owner outside the trusted three", {"O:" + user + "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"}, {}, "is writable by"},
        {"no DACL", {"O:BA"}, {}, "is writable by"},
        {"unreadable", {""}, {}, "cannot be read"},
    };
    testing::TestDir root("lockdown-verdicts");
    for (const Case& c : cases) {
        ScriptedLockdown icacls;
        icacls.descriptors.assign(c.descriptors.begin(), c.descriptors.end());
        const DirectoryLockdown lockdown = icacls.lock_down(root.path());
        std::vector<std::string> removed;
        for (const auto& call : icacls.calls)
            if (call.size() > 1 && call[1] == "/remove")
                for (std::size_t i = 2; i < call.size(); ++i) removed.push_back(call[i].substr(1));
        EXPECT_EQ(removed, c.removed) << c.name;
        if (*c.failure == '\0') {
            EXPECT_TRUE(lockdown.verified()) << c.name << ": " << lockdown.failure.value_or("");
        } else {
            ASSERT_FALSE(lockdown.verified()) << c.name;
            EXPECT_THAT(*lockdown.failure, HasSubstr(c.failure)) << c.name;
        }
    }
}

TEST(DirectoryLockdown, AFailingStepIsAnErrorAndTheOthersStillRun) {
    testing::TestDir root("lockdown-failing");
    ScriptedLockdown icacls;
    icacls.exit_codes = {5, 0, 0, 1332};
    const DirectoryLockdown lockdown = icacls.lock_down(root.path());
    EXPECT_EQ(icacls.calls.size(), 5u);
    ASSERT_EQ(lockdown.records.size(), 2u);
    EXPECT_EQ(lockdown.records[0].level, log::Level::Error);
    EXPECT_THAT(lockdown.records[0].message, HasSubstr("/setowner *S-1-5-32-544 exited with 5"));
    EXPECT_THAT(lockdown.records[1].message, HasSubstr("/reset /T /C /L /Q exited with 1332"));
}

}  // namespace
}  // namespace zorv::service
