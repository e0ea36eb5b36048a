#pragma once
// File and folder names compared as the file system compares them: ordinal,
// each UTF-16 unit upper-cased by the system's own table (CompareStringOrdinal
// ignoring case, as NTFS does), never lower-cased by a locale's rules, which
// differ on letters such as U+0130, U+0131, U+017F, U+212A and U+212B. UTF-8
// in; invalid sequences compare as U+FFFD. Portable: a native build (fuzzing)
// stands in with the C library's upper case.

#include <string_view>

namespace zorv::text {

bool equal_ignoring_case(std::string_view a, std::string_view b);
bool ends_with_ignoring_case(std::string_view text, std::string_view suffix);
bool contains_ignoring_case(std::string_view text, std::string_view part);

}  // namespace zorv::text
