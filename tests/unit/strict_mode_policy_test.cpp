#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/win32.hpp"
#include "security/strict_mode.hpp"

namespace zorv::security {
namespace {

using Kind = StrictModeValue::Kind;

TEST(StrictModePolicy, EitherLocationMakesTheHelperStrict) {
    struct Case {
        StrictModeValue policy;
        StrictModeValue legacy;
        bool strict;
        const char* source;
    };
    const Case cases[] = {
        {{Kind::Absent}, {Kind::Absent}, false, "StrictMode absent"},
        {{Kind::Dword, 1}, {Kind::Absent}, true, "StrictMode=1"},
        {{Kind::Dword, 0}, {Kind::Dword, 1}, true, "service Parameters: StrictMode=1"},
        {{Kind::Absent}, {Kind::Dword, 0}, false, "service Parameters: StrictMode=0"},
        {{Kind::Dword, 0}, {Kind::Dword, 0}, false, "StrictMode=0"},
        {{Kind::Unreadable, 0, ERROR_ACCESS_DENIED}, {Kind::Dword, 0}, true, "StrictMode cannot be read"},
        {{Kind::Absent}, {Kind::Unreadable, 0, ERROR_ACCESS_DENIED}, true, "service Parameters: StrictMode cannot"},
    };
    for (const Case& c : cases) {
        const StrictModeDecision decision = decide_strict_mode(c.policy, c.legacy);
        EXPECT_EQ(decision.strict, c.strict) << c.source;
        EXPECT_THAT(decision.source, ::testing::StartsWith(c.source));
    }
}

TEST(StrictModePolicy, PolicyKeyIsWhereGroupPolicyWrites) {
    EXPECT_EQ(win32::from_wide(policy_key_path()), "SOFTWARE\\Policies\\VEXL2\\Helper");
}

}  // namespace
}  // namespace zorv::security
