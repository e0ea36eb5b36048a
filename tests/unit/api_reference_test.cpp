// docs/api.md is what a client developer builds against: every route and
// error name the router knows must be described there.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "control/replies.hpp"
#include "control/router.hpp"

namespace zorv::control {
namespace {

std::string api_reference() {
    std::ifstream file(ZORV_API_REFERENCE, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(ApiReference, NamesEveryRouteAndErrorTheRouterKnows) {
    const std::string reference = api_reference();
    ASSERT_FALSE(reference.empty()) << "cannot read " << ZORV_API_REFERENCE;
    for (const RouteName& route : route_names()) {
        const std::string heading = "`" + std::string(route.method) + " " + std::string(route.path) + "`";
        EXPECT_NE(reference.find(heading), std::string::npos) << heading << " is not in docs/api.md";
    }
    for (std::string_view error : error_name::kAll) {
        const std::string name = "`" + std::string(error) + "`";
        EXPECT_NE(reference.find(name), std::string::npos) << name << " is not in docs/api.md";
    }
}

}  // namespace
}  // namespace zorv::control
