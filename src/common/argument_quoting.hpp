#pragma once
// Command lines built the way CommandLineToArgvW and the C runtime split them.

#include <string>
#include <string_view>
#include <vector>

namespace zorv {

// One argument, quoted only when it holds white space or a double quote (or
// is empty): backslashes before a quote, and before the closing quote, are
// doubled, and the quote itself escaped.
std::string quote_windows_argument(std::string_view argument);
std::wstring quote_windows_argument(std::wstring_view argument);

// The program followed by each argument, quoted.
std::string build_command_line(std::string_view program, const std::vector<std::string>& arguments);

}  // namespace zorv
