#include <gtest/gtest.h>

#include "security/path_text_rules.hpp"

namespace zorv::security {
namespace {

// The refusal's message; nullopt when the rules pass.
std::optional<std::string> refusal(const Status& checked) {
    if (checked) return std::nullopt;
    return checked.error().message();
}

struct TextCase {
    const char* path;
    bool expected;
};

TEST(PathTextRules, PlainLocalPath) {
    const TextCase cases[] = {
        {R"(D:\dir\file)", true},
        {"d:/dir/file", true},
        // Verbatim paths skip the normalisation the rules reason about.
        {R"(\\?\D:\dir\file)", false},
        {R"(\\?\d:/dir/file)", false},
        {R"(\??\D:\dir\file)", false},
        {R"(D:\)", true},
        {R"(D:\\dir)", true},
        {R"(D:\dir/mixed\file)", true},
        {"", false},
        {"D", false},
        {"D:", false},
        {"D:file", false},  // drive-relative
        {R"(dir\file)", false},
        {"sing-box.exe", false},
        {R"(\dir\file)", false},
        {R"(\\server\share\file)", false},
        {"//server/share/file", false},
        {R"(\\?\UNC\server\share\file)", false},
        {R"(\\?\unc\server\share\file)", false},
        {R"(\\.\C:\file)", false},  // device namespace
        {R"(\\.\pipe\name)", false},
        {R"(\\?\)", false},
        {R"(\\?\D:)", false},
        {R"(\\?\\\server\share)", false},
        {R"(D:\dir\file:stream)", false},  // alternate data stream
        {R"(D:\dir\file::$DATA)", false},
        {R"(D:\dir:ads\file)", false},
        {R"(1:\dir)", false},
        {R"(D;\dir)", false},
        {"\xC3\x84:\\dir", false},  // non-ASCII drive letter
        {"D:\\dir\\file\x7f", false},
        {"D:\\dir\\\xC2\x85" "file", false},  // C1 control (NEL)
        {"D:\\dir\\\xC2\xA0" "file", true},   // no-break space is a plain character
        {"D:\\dir\\\x1b[0mfile", false},
        // Win32 trims trailing dots and spaces: the text would not be the name.
        {R"(D:\dir.\file)", false},
        {R"(D:\dir\file.)", false},
        {R"(D:\dir\file )", false},
        {R"(D:\dir\. .\file)", false},
        {R"(D:\dir\...\file)", false},
        {R"(D:\dir\.\..\file)", true},
        {R"(D:\dir\.hidden\file.txt)", true},
        // Device names, with or without an extension, lead out of the file system.
        {R"(D:\dir\CON)", false},
        {R"(D:\dir\nul.json)", false},
        {R"(D:\dir\com1\file)", false},
        {R"(D:\dir\LPT9.txt)", false},
        {R"(D:\dir\conout$)", false},
        {"D:\\dir\\com\xC2\xB9", false},
        {R"(D:\dir\com10)", true},
        {R"(D:\dir\console.json)", true},
        {R"(D:\dir\nulls)", true},
    };
    for (const auto& c : cases) EXPECT_EQ(is_plain_local_path(c.path), c.expected) << c.path;
    // Windows would stop at the NUL; the rules see the whole text and refuse it.
    for (const std::string& with_nul : {std::string("D:\\svc\\other.exe") + '\0' + "\\..\\sing-box.exe",
                                        std::string("D:\\dir\0", 7), std::string("\0D:\\dir", 7)})
        EXPECT_FALSE(is_plain_local_path(with_nul)) << with_nul.size();
    for (char c = 1; c < 0x20; ++c) EXPECT_FALSE(is_plain_local_path(std::string("D:\\a") + c + "b")) << int(c);
}

TEST(PathTextRules, LastComponentIgnoresPrefixesTrailingSeparatorsAndDots) {
    struct Case {
        const char* path;
        std::optional<std::string_view> expected;
    };
    const Case cases[] = {
        {R"(D:\svc\sing-box.exe)", "sing-box.exe"},
        {R"(D:\svc\sing-box.exe\)", "sing-box.exe"},
        {R"(D:\svc\sing-box.exe\.)", "sing-box.exe"},
        {"D:/svc/sing-box.exe", "sing-box.exe"},
        {"D:sing-box.exe", "sing-box.exe"},
        {R"(\\?\D:\sing-box.exe)", "sing-box.exe"},
        {R"(\\server\share\sing-box.exe)", "sing-box.exe"},
        {R"(\\?\UNC\server\share\sing-box.exe)", "sing-box.exe"},
        {"sing-box.exe", "sing-box.exe"},
        {R"(D:\svc\sing-box.exe\..)", std::nullopt},
        {R"(D:\)", std::nullopt},
        {"", std::nullopt},
        {R"(\\server\share)", std::nullopt},
        {R"(\\?\UNC\server\share\)", std::nullopt},
        {R"(\\.\pipe)", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(last_component(c.path), c.expected) << c.path;
}

TEST(PathTextRules, ComponentWiseContainment) {
    struct Case {
        const char* path;
        const char* directory;
        bool expected;
    };
    const Case cases[] = {
        {R"(D:\svc\sing-box.exe)", R"(D:\svc)", true},
        {R"(D:\svc)", R"(D:\svc)", true},
        {R"(D:\svc\sub\x)", R"(D:\svc\)", true},
        {R"(D:\SVC\X)", R"(d:\svc)", true},
        {"D:/svc/x", R"(D:\svc)", true},
        {R"(\\?\D:\svc\x)", R"(D:\svc)", true},
        {R"(D:\svc\x)", R"(\\?\D:\svc)", true},
        {R"(\\?\UNC\server\share\x)", R"(\\server\share)", true},
        {R"(D:\svc\sub\..\x)", R"(D:\svc)", true},
        {R"(D:\svc\.\x)", R"(D:\svc)", true},
        {R"(D:\)", R"(D:\)", true},
        {R"(D:\svc2\sing-box.exe)", R"(D:\svc)", false},  // shares a text prefix only
        {R"(D:\sv\x)", R"(D:\svc)", false},
        {R"(E:\svc\x)", R"(D:\svc)", false},
        {R"(D:\svc\..\x)", R"(D:\svc)", false},
        {R"(D:\svc\..\..\..\svc2\x)", R"(D:\svc)", false},
        {R"(D:\svc\...\x)", R"(D:\svc)", false},   // dot runs are taken as a step up
        {R"(D:\svc\.. \x)", R"(D:\svc)", false},
        {R"(\\.\D:\svc\x)", R"(D:\svc)", false},
        {R"(D:\x)", "D:", false},
        {R"(svc\x)", "svc", false},  // relative directories contain nothing
        {R"(D:\x)", "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_within_directory(c.path, c.directory), c.expected) << c.path << " in " << c.directory;
}

TEST(PathTextRules, BinaryPathTextRulesInOrder) {
    constexpr std::string_view service = R"(D:\svc)";
    struct Case {
        const char* path;
        std::optional<std::string> expected;
    };
    const std::string name = "binary_path must point to sing-box.exe, got: ";
    const std::string plain = "binary_path is not a valid plain local path: ";
    const std::string inside = "binary_path must reside within the service directory: ";
    const Case cases[] = {
        {R"(D:\svc\sing-box.exe)", std::nullopt},
        {R"(D:\svc\SING-BOX.EXE)", std::nullopt},
        {R"(d:\SVC\sub\sing-box.exe)", std::nullopt},
        {R"(\\?\D:\svc\sing-box.exe)", plain + R"(\\?\D:\svc\sing-box.exe)"},
        {"D:/svc/sing-box.exe", std::nullopt},
        {R"(D:\svc\sub\..\sing-box.exe)", std::nullopt},
        {R"(D:\svc\sing-box.exe.bak)", name + R"(D:\svc\sing-box.exe.bak)"},
        {"", name},
        {R"(D:\svc\)", name + R"(D:\svc\)"},
        {R"(D:\svc\sing-box.exe\..)", name + R"(D:\svc\sing-box.exe\..)"},
        {R"(D:\svc\sing-box.exe:evil)", name + R"(D:\svc\sing-box.exe:evil)"},
        {R"(D:\svc\evil:sing-box.exe)", name + R"(D:\svc\evil:sing-box.exe)"},
        {R"(D:\svc\sing-box.exe )", name + R"(D:\svc\sing-box.exe )"},
        {"sing-box.exe", plain + "sing-box.exe"},
        {"D:sing-box.exe", plain + "D:sing-box.exe"},
        {R"(\\server\share\sing-box.exe)", plain + R"(\\server\share\sing-box.exe)"},
        {R"(\\?\UNC\server\share\sing-box.exe)", plain + R"(\\?\UNC\server\share\sing-box.exe)"},
        {R"(\\.\D:\svc\sing-box.exe)", plain + R"(\\.\D:\svc\sing-box.exe)"},
        {R"(D:\svc:ads\sing-box.exe)", plain + R"(D:\svc:ads\sing-box.exe)"},
        {R"(D:\svc2\sing-box.exe)", inside + R"(D:\svc2\sing-box.exe)"},
        {R"(D:\svc\..\other\sing-box.exe)", inside + R"(D:\svc\..\other\sing-box.exe)"},
        {R"(E:\svc\sing-box.exe)", inside + R"(E:\svc\sing-box.exe)"},
        {R"(D:\sing-box.exe)", inside + R"(D:\sing-box.exe)"},
    };
    for (const auto& c : cases) EXPECT_EQ(refusal(check_binary_path_text(c.path, service)), c.expected) << c.path;
    // The name rule sees "sing-box.exe" after the NUL; the plain path rule refuses it.
    const std::string hidden = std::string("D:\\svc\\other.exe") + '\0' + "\\..\\sing-box.exe";
    EXPECT_EQ(refusal(check_binary_path_text(hidden, service)), plain + hidden);
    EXPECT_EQ(refusal(check_source_path_text(hidden)), "source_path is not a valid plain local path: " + hidden);
}

TEST(PathTextRules, SourcePathTextRulesInOrder) {
    EXPECT_EQ(refusal(check_source_path_text(R"(C:\Program Files\App\sing-box.exe)")), std::nullopt);
    EXPECT_EQ(refusal(check_source_path_text(R"(D:\PROGRAM FILES\App\SING-BOX.EXE)")), std::nullopt);
    EXPECT_EQ(refusal(check_source_path_text(R"(bin\sing-box.exe)")),
              R"(source_path is not a valid plain local path: bin\sing-box.exe)");
    // Rule 1 comes before rule 2.
    EXPECT_EQ(refusal(check_source_path_text(R"(\\server\share\other.exe)")),
              R"(source_path is not a valid plain local path: \\server\share\other.exe)");
    EXPECT_EQ(refusal(check_source_path_text(R"(D:\bin\sing-box.exe.bak)")),
              R"(source_path must point to sing-box.exe, got: D:\bin\sing-box.exe.bak)");
}

TEST(PathTextRules, SourceDirectoriesUntrustedBeforeAuthorized) {
    AuthorizedFolders folders;
    folders.program_files = R"(C:\Program Files)";
    folders.user_profile = R"(C:\Users\someone)";
    folders.local_app_data = R"(C:\Users\someone\AppData\Local)";
    folders.app_data = R"(C:\Users\someone\AppData\Roaming)";
    constexpr std::string_view service = R"(D:\svc)";

    struct Case {
        const char* path;
        const char* canonical;
        std::optional<const char*> verdict;  // "untrusted", "unauthorized" or none
    };
    const Case cases[] = {
        {R"(D:\Users\someone\AppData\Local\Temp\x\sing-box.exe)", "", "untrusted"},
        {R"(D:\Users\Public\sing-box.exe)", "", "untrusted"},
        {R"(D:\Users\someone\Desktop\sing-box.exe)", "", "untrusted"},
        {R"(D:\Users\someone\Downloads\sing-box.exe)", "", "untrusted"},
        {R"(D:\tmp\sing-box.exe)", "", "untrusted"},
        {R"(D:\Temp\bin\sing-box.exe)", "", "untrusted"},  // untrusted wins over \bin\ .
        {R"(C:\Users\someone/Downloads/sing-box.exe)", "", "untrusted"},  // mixed separators
        {R"(C:\Program Files\..\Users\Public\sing-box.exe)", "", "untrusted"},
        {R"(C:\Users\someone\DOWNLO~1\sing-box.exe)", R"(\\?\C:\Users\someone\Downloads\sing-box.exe)",
         "untrusted"},  // a short name hides the folder; the final path does not
        {R"(D:\build\bin\sing-box.exe)", "", std::nullopt},
        {R"(D:\tmpfiles\bin\sing-box.exe)", "", std::nullopt},
        {R"(D:\PROGRAM FILES\App\SING-BOX.EXE)", "", std::nullopt},
        {R"(D:\Program Files (x86)\App\sing-box.exe)", "", std::nullopt},
        {R"(D:\ProgramData\App\sing-box.exe)", "", std::nullopt},
        {R"(E:\Users\other\tools\sing-box.exe)", "", std::nullopt},
        {R"(D:\proj\target\release\sing-box.exe)", "", std::nullopt},
        {R"(D:\app\resources\sing-box.exe)", "", std::nullopt},
        {R"(\\?\D:\build\bin\sing-box.exe)", "", std::nullopt},
        {R"(D:\svc\incoming\sing-box.exe)", "", std::nullopt},  // inside the service directory
        {R"(C:\Program Files\App\sing-box.exe)", "", std::nullopt},
        {R"(C:\Users\someone\AppData\Local\App\sing-box.exe)", "", std::nullopt},
        {R"(D:\tools\sing-box.exe)", "", "unauthorized"},
        {R"(D:\svc2\sing-box.exe)", "", "unauthorized"},              // sibling of the service directory
        {R"(C:\Program Files Evil\sing-box.exe)", "", "unauthorized"},  // sibling of ProgramFiles
        {R"(C:\Program Files\..\evil\sing-box.exe)", "", "unauthorized"},
        {R"(D:\bin\..\tools\sing-box.exe)", "", "unauthorized"},
    };
    for (const auto& c : cases) {
        const auto error = refusal(check_source_directory(c.path, c.canonical, service, folders));
        if (!c.verdict) {
            EXPECT_EQ(error, std::nullopt) << c.path;
        } else if (std::string_view(*c.verdict) == "untrusted") {
            EXPECT_EQ(error, std::string("source_path is located in an untrusted directory: ") + c.path);
        } else {
            EXPECT_EQ(error, std::string("source_path is not in an authorized directory (Program Files, ProgramData, a user's profile (a folder under \\Users\\), the service directory, or a folder named bin, target or resources): ") + c.path);
        }
    }
}

TEST(PathTextRules, FolderVariablesAuthorizeTheirOwnTreeOnly) {
    constexpr std::string_view service = R"(D:\svc)";
    const std::string tools = R"(D:\tools\sing-box.exe)";
    const std::string refused = "source_path is not in an authorized directory (Program Files, ProgramData, a user's profile (a folder under \\Users\\), the service directory, or a folder named bin, target or resources): " + tools;

    AuthorizedFolders none;
    EXPECT_EQ(refusal(check_source_directory(tools, "", service, none)), refused);

    AuthorizedFolders program_files;
    program_files.program_files = R"(D:\TOOLS)";
    EXPECT_EQ(refusal(check_source_directory(tools, "", service, program_files)), std::nullopt);

    AuthorizedFolders x86;
    x86.program_files_x86 = R"(d:\tools\)";
    EXPECT_EQ(refusal(check_source_directory(tools, "", service, x86)), std::nullopt);

    AuthorizedFolders app_data;
    app_data.app_data = R"(D:\tools)";
    EXPECT_EQ(refusal(check_source_directory(tools, "", service, app_data)), std::nullopt);

    // A variable that is set but empty authorizes nothing.
    AuthorizedFolders empty;
    empty.program_files = "";
    empty.user_profile = "";
    EXPECT_EQ(refusal(check_source_directory(tools, "", service, empty)), refused);

    AuthorizedFolders prefix_only;
    prefix_only.local_app_data = R"(D:\too)";
    EXPECT_EQ(refusal(check_source_directory(tools, "", service, prefix_only)), refused);
}

}  // namespace
}  // namespace zorv::security
