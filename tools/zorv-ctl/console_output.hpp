#pragma once
// Standard output and standard error: UTF-16 to a console, the UTF-8 bytes
// to a file or pipe.

#include <string_view>

namespace zorv::ctl {

void print(std::string_view text);
void print_error(std::string_view text);
// Whether anything has gone to standard output through print().
bool printed_anything();

}  // namespace zorv::ctl
