#include "common/name_comparison.hpp"

#include <string>

#include "common/text.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <clocale>
#include <cwctype>
#endif

namespace zorv::text {

namespace {

std::u16string utf16(std::string_view value) {
    std::u16string out;
    out.reserve(value.size());
    for (char32_t cp : decode_utf8(value)) {
        if (cp < 0x10000) {
            out.push_back(static_cast<char16_t>(cp));
        } else {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        }
    }
    return out;
}

// Equal units, compared as the system compares names.
bool same_units(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
#ifdef _WIN32
    return ::CompareStringOrdinal(reinterpret_cast<const wchar_t*>(a.data()), static_cast<int>(a.size()),
                                  reinterpret_cast<const wchar_t*>(b.data()), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
#else
    [[maybe_unused]] static const bool locale_ready = [] { return std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr; }();
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::towupper(a[i]) != std::towupper(b[i])) return false;
    return true;
#endif
}

}  // namespace

bool equal_ignoring_case(std::string_view a, std::string_view b) { return same_units(utf16(a), utf16(b)); }

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
    const std::u16string whole = utf16(text);
    const std::u16string end = utf16(suffix);
    return whole.size() >= end.size() && same_units(std::u16string_view(whole).substr(whole.size() - end.size()), end);
}

bool contains_ignoring_case(std::string_view text, std::string_view part) {
    const std::u16string whole = utf16(text);
    const std::u16string sought = utf16(part);
    if (sought.size() > whole.size()) return false;
    for (std::size_t at = 0; at + sought.size() <= whole.size(); ++at)
        if (same_units(std::u16string_view(whole).substr(at, sought.size()), sought)) return true;
    return false;
}

}  // namespace zorv::text
