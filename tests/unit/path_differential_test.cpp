// The path text rules against Win32's own reading of the same text
// (GetFullPathNameW): on generated hostile paths, every path the rules take
// as plain must normalise to Win32's full path, and so agree with it on the
// file it names (the rules may only refuse more) and on whether it lies in
// the service directory.

#include <gtest/gtest.h>

#include <windows.h>

#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "common/win32.hpp"
#include "security/path_text_rules.hpp"

namespace zorv::security {
namespace {

constexpr std::string_view kServiceDir = R"(C:\svc\app)";

// Win32's full path of `path`, lower case with '\' separators.
std::optional<std::string> win32_full_path(const std::string& path) {
    const std::wstring wide = win32::to_wide(path);
    std::vector<wchar_t> buffer(1024);
    for (;;) {
        const DWORD length =
            ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0) return std::nullopt;
        if (length < buffer.size()) {
            std::string text = text::unicode_lower(win32::from_wide(std::wstring_view(buffer.data(), length)));
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
            "C:\\", "c:/", "C:\\svc\\app\\", "C:/svc/app/", "C:\\SVC\\APP\\", "C:\\svc\\app\\\\", "D:\\svc\\app\\",
            "C:\\svc\\", "C:", "\\", "\\\\?\\C:\\svc\\app\\", "\\\\.\\C:\\svc\\app\\", "\\\\server\\share\\",
            "C:\\svc\\app/", "svc\\app\\"};
        static const std::vector<std::string> parts = {
            "svc", "app", "app2", "sub", ".", "..", "...", ". .", ".. ", " ..", "..\t", "x.", "x..", "x ",
            "x. .", "app.", "app ", "sing-box.exe", "SING-BOX.EXE", "sing-box.exe.", "sing-box.exe ",
            "sing-box.exe. .", "SING-B~1.EXE", "APP~1", "sing-box.exe:ads", "sing-box.exe::$DATA", "con",
            "a b", std::string(120, 'l'), "\xC3\xA4pp", "sing\xE2\x80\x90" "box.exe"};
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
        EXPECT_TRUE(normalized == *full || normalized + "\\" == *full)
            << text::log_safe(path) << ": rules " << normalized << ", Win32 " << *full;
        EXPECT_EQ(is_within_directory(path, kServiceDir), is_within_directory(*full, kServiceDir))
            << text::log_safe(path) << " -> " << *full;
        // Where the rules see sing-box.exe, Win32 opens sing-box.exe. The name
        // rule may refuse more (a path ending in ".." names no file for it).
        const bool win32_core = final_component(*full) == "sing-box.exe";
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

}  // namespace
}  // namespace zorv::security
