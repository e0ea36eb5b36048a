#include "common/argument_quoting.hpp"

namespace zorv {

namespace {

template <typename Char>
std::basic_string<Char> quoted_argument(std::basic_string_view<Char> argument) {
    constexpr Char kSpecial[] = {' ', '\t', '\n', '\v', '"', 0};
    if (!argument.empty() && argument.find_first_of(kSpecial) == std::basic_string_view<Char>::npos)
        return std::basic_string<Char>(argument);
    std::basic_string<Char> quoted(1, Char('"'));
    std::size_t backslashes = 0;
    for (Char c : argument) {
        if (c == Char('\\')) {
            ++backslashes;
            continue;
        }
        quoted.append(c == Char('"') ? backslashes * 2 + 1 : backslashes, Char('\\'));
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, Char('\\'));
    quoted.push_back(Char('"'));
    return quoted;
}

}  // namespace

std::string quote_windows_argument(std::string_view argument) { return quoted_argument(argument); }
std::wstring quote_windows_argument(std::wstring_view argument) { return quoted_argument(argument); }

std::string build_command_line(std::string_view program, const std::vector<std::string>& arguments) {
    std::string line = quote_windows_argument(program);
    for (const auto& argument : arguments) {
        line.push_back(' ');
        line += quote_windows_argument(argument);
    }
    return line;
}

}  // namespace zorv
