// Who may add instances to a pipe, decided on descriptors built from SDDL.

#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "common/unique_resource.hpp"
#include "pipe_server/pipe_instance.hpp"
#include "support/pipe_access.hpp"

namespace zorv::security {
namespace {

std::vector<std::string> creators(const std::wstring& sddl) {
    win32::UniqueLocalMemory<void> descriptor;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                       descriptor.put(), nullptr));
    std::vector<std::string> texts;
    for (const Sid& sid : testing::pipe_instance_creators(descriptor.get())) texts.push_back(sid.text());
    return texts;
}

TEST(PipeAccess, OnlySystemAndAdministratorsCreateInstances) {
    using Texts = std::vector<std::string>;
    EXPECT_EQ(creators(pipe_server::pipe_security_sddl(L"S-1-5-18")), Texts{});
    // GENERIC_WRITE on a pipe includes FILE_CREATE_PIPE_INSTANCE.
    EXPECT_EQ(creators(L"D:(A;;GRGW;;;AU)(A;;GA;;;SY)(A;;GA;;;BA)"), Texts{"S-1-5-11"});
    EXPECT_EQ(creators(L"D:(A;;0x4;;;BU)(A;;FA;;;BU)"), Texts{"S-1-5-32-545"});
    SECURITY_DESCRIPTOR null_dacl{};
    ASSERT_TRUE(::InitializeSecurityDescriptor(&null_dacl, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&null_dacl, TRUE, nullptr, FALSE));
    ASSERT_EQ(testing::pipe_instance_creators(&null_dacl).size(), 1u);
    EXPECT_EQ(testing::pipe_instance_creators(&null_dacl)[0], sids::everyone());
    // A deny that comes first wins; one that comes after does not.
    EXPECT_EQ(creators(L"D:(D;;0x4;;;WD)(A;;FA;;;AU)"), Texts{});
    EXPECT_EQ(creators(L"D:(A;;FA;;;AU)(D;;0x4;;;AU)"), Texts{"S-1-5-11"});
    // Inherit-only entries do not apply to the pipe itself.
    EXPECT_EQ(creators(L"D:(A;OIIO;FA;;;AU)"), Texts{});
}

}  // namespace
}  // namespace zorv::security
