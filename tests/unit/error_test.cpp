#include <gtest/gtest.h>

#include "common/error.hpp"

namespace zorv {
namespace {

TEST(Error, RendersChainOnOneLineAndOnSeveral) {
    const Error inner = Error::os(5, "Access is denied. (os error 5)");
    const Error outer = inner.context("Failed to deploy sing-box binary to service directory").context("Start");
    EXPECT_EQ(outer.one_line(),
              "Start: Failed to deploy sing-box binary to service directory: Access is denied. (os error 5)");
    EXPECT_EQ(outer.multi_line(),
              "Start\n\nCaused by:\n    0: Failed to deploy sing-box binary to service directory\n"
              "    1: Access is denied. (os error 5)");
    EXPECT_EQ(outer.os_code(), 5u);
    EXPECT_EQ(Error("plain").multi_line(), "plain");
    EXPECT_EQ(Error("top").context("outer").multi_line(), "outer\n\nCaused by:\n    top");
}

}  // namespace
}  // namespace zorv
