// The path text rules against the system's own answers: Win32's reading of
// the same text (GetFullPathNameW), its comparison of names
// (CompareStringOrdinal ignoring case) and the file system's, on folders
// made for the purpose. On generated hostile paths, every path the rules take
// as plain must normalise to Win32's full path, and so agree with it on the
// file it names (the rules may only refuse more) and on whether it lies in
// the service directory; letters whose case the locales and the file system
// map differently are among the pieces.

#include <gtest/gtest.h>

#include <windows.h>

#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "common/win32.hpp"
#include "security/path_text_rules.hpp"
#include "support/test_env.hpp"

namespace zorv::security {
namespace {

// k, å and i: letters whose case mappings differ between the locales and the
// file system (U+212A KELVIN SIGN, U+212B ANGSTROM SIGN, U+0130, U+0131).
constexpr std::string_view kServiceDir = "C:\\svc\\k\xC3\xA5i";

// The system's comparison of two names, as the file system makes it.
bool system_equal(std::string_view a, std::string_view b) {
    const std::wstring wa = win32::to_wide(a);
    const std::wstring wb = win32::to_wide(b);
    return ::CompareStringOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(), static_cast<int>(wb.size()),
                                  TRUE) == CSTR_EQUAL;
}

// `full` (a full path) is `directory` or lies below it, by the system's comparison.
bool system_within(const std::string& full, std::string_view directory) {
    const std::wstring path = win32::to_wide(full);
    const std::wstring dir = win32::to_wide(directory);
    if (path.size() < dir.size()) return false;
    if (path.size() > dir.size() && path[dir.size()] != L'\\') return false;
    return ::CompareStringOrdinal(path.data(), static_cast<int>(dir.size()), dir.data(), static_cast<int>(dir.size()),
                                  TRUE) == CSTR_EQUAL;
}

// Win32's full path of `path`, with '\' separators.
std::optional<std::string> win32_full_path(const std::string& path) {
    const std::wstring wide = win32::to_wide(path);
    std::vector<wchar_t> buffer(1024);
    for (;;) {
        const DWORD length =
            ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0) return std::nullopt;
        if (length < buffer.size()) {
            std::string text = win32::from_wide(std::wstring_view(buffer.data(), length));
            for (char& c : text)
                if (c == '/') c = '\\';
            return text;
        }
        buffer.resize(length + 1);
    }
}

// The last name of a full path; a trailing separator (which only asks that
// the entry be a folder) does not change which entry is named.
std::string final_component(std::string full_path) {
    if (full_path.ends_with('\\')) full_path.pop_back();
    const auto separator = full_path.find_last_of('\\');
    return separator == std::string::npos ? full_path : full_path.substr(separator + 1);
}

// Paths built from the pieces an attacker would reach for.
class PathGenerator {
public:
    explicit PathGenerator(unsigned seed) : random_(seed) {}

    std::string next() {
        static const std::vector<std::string> roots = {
            "C:\\", "c:/", "C:\\svc\\k\xC3\xA5i\\", "C:/svc/k\xC3\xA5i/", "C:\\SVC\\K\xC3\x85I\\", "C:\\svc\\k\xC3\xA5i\\\\",
            "D:\\svc\\k\xC3\xA5i\\", "C:\\svc\\", "C:", "\\", "\\\\?\\C:\\svc\\k\xC3\xA5i\\", "\\\\.\\C:\\svc\\k\xC3\xA5i\\",
            "\\\\server\\share\\", "C:\\svc\\k\xC3\xA5i/", "svc\\k\xC3\xA5i\\",
            // The same folder spelled with letters that only some mappings equate.
            "C:\\\xC5\xBFvc\\\xE2\x84\xAA\xE2\x84\xABi\\", "C:\\svc\\k\xC3\xA5\xC4\xB1\\", "C:\\svc\\k\xC3\xA5\xC4\xB0\\",
            "C:\\svc\\K\xC3\xA5I\\", "C:\\\xEF\xBD\x93vc\\\xEF\xBD\x8B\xC3\xA5i\\", "C:\\\xEF\xBC\xB3VC\\k\xC3\xA5i\\"};
        static const std::vector<std::string> parts = {
            "svc", "app", "app2", "sub", ".", "..", "...", ". .", ".. ", " ..", "..\t", "x.", "x..", "x ",
            "x. .", "app.", "app ", "sing-box.exe", "SING-BOX.EXE", "sing-box.exe.", "sing-box.exe ",
            "sing-box.exe. .", "SING-B~1.EXE", "APP~1", "sing-box.exe:ads", "sing-box.exe::$DATA", "con",
            "a b", std::string(120, 'l'), "\xC3\xA4pp", "sing\xE2\x80\x90" "box.exe", "\xE2\x84\xAA\xE2\x84\xABi",
            "\xC5\xBFing-box.exe", "SING-BOX.EX\xEF\xBC\xA5", "k\xC3\xA5\xC4\xB1", "\xEF\xBD\x8B\xEF\xBD\x81\xEF\xBD\x89"};
        static const std::vector<std::string> separators = {"\\", "/", "\\\\", "/\\", "\\.\\"};
        std::string path = pick(roots);
        const int count = static_cast<int>(random_() % 6);
        for (int i = 0; i < count; ++i) {
            path += pick(parts);
            if (i + 1 < count || random_() % 4 == 0) path += pick(separators);
        }
        if (random_() % 2 == 0) path += "sing-box.exe";
        return path;
    }

private:
    const std::string& pick(const std::vector<std::string>& from) { return from[random_() % from.size()]; }
    std::mt19937 random_;
};

TEST(PathRulesAgainstWin32, SameFileAndSameContainment) {
    PathGenerator generator(20261208);
    int plain = 0;
    int refused = 0;
    int name_refused = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string path = generator.next();
        if (!is_plain_local_path(path)) {
            ++refused;
            continue;
        }
        ++plain;
        const auto full = win32_full_path(path);
        ASSERT_TRUE(full) << path;

        // The normalised form the rules decide on is Win32's own reading.
        const std::string normalized = normalize_path(path).text();
        EXPECT_TRUE(system_equal(normalized, *full) || system_equal(normalized + "\\", *full))
            << text::log_safe(path) << ": rules " << normalized << ", Win32 " << *full;
        EXPECT_EQ(is_within_directory(path, kServiceDir), system_within(*full, kServiceDir))
            << text::log_safe(path) << " -> " << *full;
        // Where the rules see sing-box.exe, Win32 opens sing-box.exe. The name
        // rule may refuse more (a path ending in ".." names no file for it).
        const bool win32_core = system_equal(final_component(*full), "sing-box.exe");
        if (names_core_executable(path)) {
            EXPECT_TRUE(win32_core) << text::log_safe(path) << " -> " << *full;
        } else if (win32_core) {
            ++name_refused;
        }
    }
    std::cout << "[ measure  ] " << plain << " plain paths agreed with GetFullPathNameW; " << refused
              << " generated paths were refused by their text; the name rule refused " << name_refused
              << " that Win32 would open as sing-box.exe\n";
    EXPECT_GT(plain, 2000);
}

// Folders made in the test's own prefix: where the file system finds the
// folder under a second spelling, the rules must take that spelling as the
// same folder, and where it does not, as another one.
TEST(PathRulesAgainstWin32, FoldersTheFileSystemFindsAreTheOnesTheRulesContain) {
    const testing::TestDir dir("path-differential");
    const std::string base = win32::path_text(dir.path());
    const struct {
        const char* made;
        const char* asked;
    } pairs[] = {
        {"i", "\xC4\xB0"},          {"i", "\xC4\xB1"},          {"I", "\xC4\xB1"},          {"\xC4\xB1", "\xC4\xB0"},
        {"s", "\xC5\xBF"},          {"S", "\xC5\xBF"},          {"k", "\xE2\x84\xAA"},      {"K", "\xE2\x84\xAA"},
        {"\xC3\xA5", "\xE2\x84\xAB"}, {"\xC3\x85", "\xE2\x84\xAB"}, {"\xC3\xA5", "\xC3\x85"},     {"a", "\xEF\xBD\x81"},
        {"\xEF\xBC\xA1", "\xEF\xBD\x81"}, {"A", "\xEF\xBC\xA1"}, {"sv", "SV"},
    };
    int same = 0;
    for (std::size_t i = 0; i < std::size(pairs); ++i) {
        const std::string made = base + "\\" + std::to_string(i) + "-" + pairs[i].made;
        const std::string asked = base + "\\" + std::to_string(i) + "-" + pairs[i].asked;
        ASSERT_TRUE(::CreateDirectoryW(win32::to_wide(made).c_str(), nullptr)) << text::log_safe(made);
        const bool found = ::GetFileAttributesW(win32::to_wide(asked).c_str()) != INVALID_FILE_ATTRIBUTES;
        const std::string trace = text::log_safe(pairs[i].made) + " / " + text::log_safe(pairs[i].asked);
        EXPECT_EQ(found, system_equal(made, asked)) << trace;
        EXPECT_EQ(is_within_directory(asked + "\\sing-box.exe", made), found) << trace;
        EXPECT_EQ(is_within_directory(made + "\\sing-box.exe", asked), found) << trace;
        same += found ? 1 : 0;
    }
    std::cout << "[ measure  ] the file system took " << same << " of " << std::size(pairs)
              << " second spellings as the folder made\n";
}

}  // namespace
}  // namespace zorv::security
