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

TEST(LogSafe, NothingThatCouldStartALineSurvives) {
    const struct {
        std::string in;
        const char* out;
    } cases[] = {
        {R"(C:\svc\"x")", R"(C:\svc\"x")"},  // backslashes and quotes stay as they are
        {"a\r\n[2020-01-01] [INFO ] forged", R"(a\r\n[2020-01-01] [INFO ] forged)"},
        {std::string("nul\0end", 7), R"(nul\0end)"},
        {"\x1b[31m\x7f\t", R"(\u{1b}[31m\u{7f}\t)"},
        {"nel\xC2\x85 ls\xE2\x80\xA8 ps\xE2\x80\xA9", R"(nel\u{85} ls\u{2028} ps\u{2029})"},
        // Bidirectional embeddings, overrides and isolates; their neighbours stay.
        {"\xE2\x80\xAA\xE2\x80\xAE\xE2\x81\xA6\xE2\x81\xA9 \xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA5",
         "\\u{202a}\\u{202e}\\u{2066}\\u{2069} \\u{2029}\xE2\x80\xAF\xE2\x81\xA5"},
        {"bad \xff byte", "bad \xEF\xBF\xBD byte"},
        {"caf\xc3\xa9 \xE2\x9C\x93", "caf\xc3\xa9 \xE2\x9C\x93"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(log_safe(c.in), c.out);
        EXPECT_EQ(log_safe(c.in).find_first_of("\r\n"), std::string::npos);
    }
}

TEST(LogSafe, BlocksAreIndentedLineByLine) {
    EXPECT_EQ(log_safe_block("one\r\n[2020] forged\x1b\nthree"), "  | one\n  | [2020] forged\\u{1b}\n  | three");
    EXPECT_EQ(log_safe_block("single"), "  | single");
}

}  // namespace
}  // namespace zorv::text
