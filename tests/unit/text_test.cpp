#include <gtest/gtest.h>

#include "common/text.hpp"

namespace zorv::text {
namespace {

TEST(Quoted, EscapesQuotesBackslashesAndControlCharacters) {
    const struct {
        std::string_view in;
        const char* out;
    } cases[] = {
        {"plain", R"("plain")"},
        {R"(C:\svc "x")", R"("C:\\svc \"x\"")"},
        {"a\nb\rc\td", R"("a\nb\rc\td")"},
        {std::string_view("nul\0end", 7), R"("nul\0end")"},
        {"\x1b[31m\x7f", R"("\u{1b}[31m\u{7f}")"},
        {"\x01", R"("\u{1}")"},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
    };
    for (const auto& c : cases) EXPECT_EQ(quoted(c.in), c.out);
    EXPECT_EQ(option_form(std::optional<std::string>("op\n1")), R"(Some("op\n1"))");
    EXPECT_EQ(option_form(std::optional<std::string>()), "None");
    EXPECT_EQ(option_form(std::optional<std::uint32_t>(7)), "Some(7)");
}

}  // namespace
}  // namespace zorv::text
