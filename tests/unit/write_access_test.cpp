#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <memory>

#include "security/strict_mode.hpp"
#include "security/write_access.hpp"
#include "support/test_env.hpp"

namespace zorv::security {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kTrustedInstaller = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr const char* kUser = "S-1-5-21-1-2-3-1001";
constexpr const char* kEveryone = "S-1-1-0";
constexpr const char* kUsers = "S-1-5-32-545";
constexpr const char* kAuthenticatedUsers = "S-1-5-11";

struct LocalFreeDeleter {
    void operator()(void* memory) const { ::LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreeDeleter>;

LocalMemory from_sddl(const std::string& sddl) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    const std::wstring wide = win32::to_wide(sddl);
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide.c_str(), SDDL_REVISION_1, &raw, nullptr))
        ADD_FAILURE() << "SDDL not accepted: " << sddl << " (error " << ::GetLastError() << ")";
    return LocalMemory(raw);
}

// The writer's SID text, or "" when only the trusted three can change the object.
std::string writer_of(const std::string& sddl, ObjectKind kind) {
    const LocalMemory descriptor = from_sddl(sddl);
    if (!descriptor) return "<invalid>";
    const auto writer = find_untrusted_writer(descriptor.get(), kind);
    return writer ? writer->text() : "";
}

std::string with_ti(const std::string& text) {
    std::string out = text;
    for (std::size_t at; (at = out.find("TI")) != std::string::npos;) out.replace(at, 2, kTrustedInstaller);
    return out;
}

struct DescriptorCase {
    const char* name;
    std::string sddl;
    ObjectKind kind;
    std::string writer;
};

TEST(WriteAccess, DecidesOverDescriptors) {
    const std::string user = kUser;
    const DescriptorCase cases[] = {
        // What a stock installation under Program Files looks like.
        {"program files folder",
         with_ti("O:TIG:TID:P(A;;FA;;;TI)(A;CIIO;GA;;;TI)(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)"
                 "(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)"
                 "(A;;0x1200a9;;;S-1-15-2-1)(A;OICIIO;GXGR;;;S-1-15-2-1)"),
         ObjectKind::Folder, ""},
        {"installed file, inherited ACEs", "O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)",
         ObjectKind::File, ""},
        // The root of a system drive: users may create folders, nothing more.
        {"drive root", "O:SYG:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)"
                       "(A;;0x4;;;AU)",
         ObjectKind::Folder, ""},
        {"append on a file", "O:SYD:(A;;FA;;;SY)(A;;0x4;;;AU)", ObjectKind::File, kAuthenticatedUsers},
        {"add file to a folder", "O:SYD:(A;;FA;;;SY)(A;;0x2;;;BU)", ObjectKind::Folder, kUsers},
        {"delete child of a folder", "O:SYD:(A;;0x40;;;BU)", ObjectKind::Folder, kUsers},
        {"delete", "O:SYD:(A;;SD;;;BU)", ObjectKind::File, kUsers},
        {"write DAC", "O:SYD:(A;;WD;;;BU)", ObjectKind::File, kUsers},
        {"take ownership", "O:SYD:(A;;WO;;;BU)", ObjectKind::Folder, kUsers},
        {"read, execute and attributes only", "O:SYD:(A;;0x1201a9;;;BU)", ObjectKind::File, ""},
        {"inherited write counts", "O:SYD:AI(A;ID;FA;;;SY)(A;ID;0x1301bf;;;AU)", ObjectKind::File,
         kAuthenticatedUsers},
        {"protected DACL with a user grant", "O:SYD:P(A;;FA;;;SY)(A;;FA;;;" + user + ")", ObjectKind::File, user},
        {"inherit-only write does not apply", "O:SYD:(A;;FA;;;SY)(A;OICIIO;FA;;;AU)", ObjectKind::Folder, ""},
        {"first writer in ACE order", "O:SYD:(A;;FR;;;BU)(A;;FW;;;AU)(A;;FA;;;WD)", ObjectKind::File,
         kAuthenticatedUsers},
        // Deny ACEs.
        {"deny before allow", "O:SYD:(D;;FA;;;BU)(A;;FA;;;BU)", ObjectKind::File, ""},
        {"deny after allow", "O:SYD:(A;;FA;;;BU)(D;;FA;;;BU)", ObjectKind::File, kUsers},
        {"partial deny leaves write DAC", "O:SYD:(D;;FW;;;BU)(A;;FA;;;BU)", ObjectKind::File, kUsers},
        {"deny for everyone", "O:SYD:(D;;0xd0046;;;WD)(A;;FA;;;BU)(A;;FA;;;SY)", ObjectKind::Folder, ""},
        {"deny for another group is not assumed", "O:SYD:(D;;FA;;;AU)(A;;FA;;;BU)", ObjectKind::File, kUsers},
        {"inherit-only deny does not protect", "O:SYD:(D;OICIIO;FA;;;BU)(A;;FA;;;BU)", ObjectKind::File, kUsers},
        // Generic rights.
        {"generic write", "O:SYD:(A;;GW;;;BU)", ObjectKind::File, kUsers},
        {"generic all", "O:SYD:(A;;GA;;;WD)", ObjectKind::Folder, kEveryone},
        {"generic read and execute", "O:SYD:(A;;GRGX;;;BU)", ObjectKind::File, ""},
        {"generic deny", "O:SYD:(D;;GA;;;BU)(A;;FA;;;BU)", ObjectKind::File, ""},
        // CREATOR OWNER, OWNER RIGHTS and the owner's implicit right to rewrite the DACL.
        {"creator owner, trusted owner", "O:BAD:(A;;FA;;;CO)", ObjectKind::File, ""},
        {"creator owner, user owner", "O:" + user + "D:(A;;0x1200a9;;;S-1-3-4)(A;;FA;;;CO)", ObjectKind::File, user},
        {"owner rights limit a user owner", "O:" + user + "D:(A;;0x1200a9;;;S-1-3-4)(A;;FA;;;SY)", ObjectKind::File,
         ""},
        {"owner rights granting write", "O:" + user + "D:(A;;FA;;;S-1-3-4)", ObjectKind::File, user},
        {"user owner may rewrite the DACL", "O:" + user + "D:(A;;FA;;;SY)", ObjectKind::File, user},
        {"trusted installer owner", with_ti("O:TID:P(A;;FA;;;TI)(A;;FR;;;BU)"), ObjectKind::File, ""},
        // Empty and missing DACLs.
        {"empty DACL, trusted owner", "O:SYD:", ObjectKind::File, ""},
        {"empty DACL, user owner", "O:" + user + "D:", ObjectKind::Folder, user},
        {"no DACL at all", "O:SY", ObjectKind::File, kEveryone},
    };
    for (const DescriptorCase& c : cases) {
        EXPECT_EQ(writer_of(c.sddl, c.kind), c.writer) << c.name << ": " << c.sddl;
    }
}

// A DACL that is present but null lets everyone do everything. Built by hand:
// this Wine does not turn the SDDL "D:NO_ACCESS_CONTROL" into a null DACL.
TEST(WriteAccess, NullDaclLetsEveryoneWrite) {
    SECURITY_DESCRIPTOR descriptor{};
    ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    const Sid system = sids::local_system();
    ASSERT_TRUE(::SetSecurityDescriptorOwner(&descriptor, system.get(), FALSE));
    const auto writer = find_untrusted_writer(&descriptor, ObjectKind::File);
    ASSERT_TRUE(writer.has_value());
    EXPECT_EQ(writer->text(), kEveryone);
}

TEST(WriteAccess, GenericRightsMapToFileRights) {
    EXPECT_EQ(map_generic_file_rights(GENERIC_ALL), static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    EXPECT_EQ(map_generic_file_rights(GENERIC_WRITE | DELETE), static_cast<ACCESS_MASK>(FILE_GENERIC_WRITE | DELETE));
    EXPECT_EQ(map_generic_file_rights(GENERIC_READ | GENERIC_EXECUTE),
              static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE));
    EXPECT_EQ(map_generic_file_rights(GENERIC_READ) & modifying_rights(ObjectKind::File), 0u);
}

TEST(WriteAccess, SidTextAndAccountNames) {
    EXPECT_EQ(sids::trusted_installer().text(), kTrustedInstaller);
    EXPECT_EQ(Sid::make(5, {21, 1, 2, 3, 1001}).text(), kUser);
    PSID converted = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(L"S-1-5-32-544", &converted));
    const LocalMemory owned(converted);
    const Sid administrators = Sid::copy_of(converted);
    EXPECT_EQ(administrators, sids::administrators());
    EXPECT_TRUE(is_trusted_administration(administrators));
    EXPECT_FALSE(is_trusted_administration(sids::everyone()));
    // Named as the system names it, or by SID when it knows no name.
    EXPECT_THAT(account_name(sids::administrators()), HasSubstr("Administrators"));
    EXPECT_EQ(account_name(Sid::make(5, {21, 91, 92, 93, 4242})), "S-1-5-21-91-92-93-4242");
}

// Under Wine every file gets a synthesised DACL that lets a plain account
// write; on Windows a file in the build tree is its user's. Either way the
// walk must refuse it and say which path and whom.
TEST(WriteAccess, RealPathsOfThisBuildAreNotAdminOnly) {
    testing::TestDir dir("write-access");
    const auto file = dir / "sing-box.exe";
    testing::write_file(file, "MZ");
    const auto checked = check_admin_only_path(file);
    ASSERT_FALSE(checked.has_value());
    EXPECT_THAT(checked.error().one_line(), StartsWith("'" + win32::path_text(file) + "' is writable by "));

    const auto missing = check_admin_only_path(dir / "missing" / "sing-box.exe");
    ASSERT_FALSE(missing.has_value());
    EXPECT_THAT(missing.error().one_line(), HasSubstr("the security of '"));
    EXPECT_THAT(missing.error().one_line(), HasSubstr("missing\\sing-box.exe' cannot be read"));
}

TEST(StrictMode, PolicyValues) {
    using Kind = StrictModeValue::Kind;
    struct Case {
        StrictModeValue value;
        bool strict;
        bool understood;
        const char* source;
    };
    const Case cases[] = {
        {{Kind::Absent}, false, true, "StrictMode absent"},
        {{Kind::Dword, 0}, false, true, "StrictMode=0"},
        {{Kind::Dword, 1}, true, true, "StrictMode=1"},
        {{Kind::Dword, 2}, true, false, "StrictMode=2 is neither 0 nor 1"},
        {{Kind::OtherType}, true, false, "StrictMode is not a DWORD"},
        {{Kind::Unreadable, 0, ERROR_ACCESS_DENIED}, true, false, "StrictMode cannot be read: "},
    };
    for (const Case& c : cases) {
        const StrictModeDecision decision = decide_strict_mode(c.value);
        EXPECT_EQ(decision.strict, c.strict) << c.source;
        EXPECT_EQ(decision.understood, c.understood) << c.source;
        EXPECT_THAT(decision.source, StartsWith(c.source));
    }
    EXPECT_EQ(win32::from_wide(legacy_policy_key_path()),
              "SYSTEM\\CurrentControlSet\\Services\\VEXL2VpnService\\Parameters");
}

// Restores the process-wide mode that other tests rely on.
class StrictModeGuard {
public:
    explicit StrictModeGuard(bool strict) : before_(strict_mode_active()) { set_strict_mode_active(strict); }
    ~StrictModeGuard() { set_strict_mode_active(before_); }

private:
    bool before_;
};

TEST(StrictMode, PathCheckAppliesOnlyInStrictMode) {
    testing::TestDir dir("strict-path");
    const auto file = dir / "bin" / "sing-box.exe";
    testing::write_file(file, "MZ");
    {
        const StrictModeGuard standard(false);
        EXPECT_TRUE(check_strict_mode_path("source_path x", file).has_value());
    }
    const StrictModeGuard strict(true);
    const auto refused = check_strict_mode_path("source_path x", file);
    ASSERT_FALSE(refused.has_value());
    EXPECT_THAT(refused.error().one_line(),
                StartsWith("Strict mode refuses source_path x: '" + win32::path_text(file) + "' is writable by "));
}

}  // namespace
}  // namespace zorv::security
