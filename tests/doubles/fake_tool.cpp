// Stands in for a system tool (netsh.exe, pnputil.exe, icacls.exe); the tests
// place it in the Wine prefix's system32. Appends one JSON line to
// tool-calls.log in its record folder:
//   {"program":"netsh.exe","path":"C:\windows\system32\netsh.exe",
//    "commandLine":"<as received>","argv":["netsh.exe",...]}
// and exits with the code found in "<name>.exit-code" in that folder, else in
// ZORV_FAKE_TOOL_EXIT_CODE, else 0. The record folder is ZORV_FAKE_TOOL_DIR
// when set (inherited from the helper a test started), else its own folder.
// With "<name>.sleep-ms" in that folder it first sleeps that long: a tool
// that hangs.

#include <windows.h>

#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/win32.hpp"

namespace {

using zorv::win32::from_wide;

std::optional<int> parse_code(const std::string& text) {
    try {
        std::size_t used = 0;
        const long value = std::stol(text, &used, 0);
        return static_cast<int>(value);
    } catch (...) {
        return std::nullopt;
    }
}

std::filesystem::path record_folder(const std::filesystem::path& self) {
    if (auto folder = zorv::win32::env_var(L"ZORV_FAKE_TOOL_DIR"); folder && !folder->empty())
        return std::filesystem::path(zorv::win32::to_wide(*folder));
    return self.parent_path();
}

// The number in "<name>.<suffix>" in the record folder, when there is one.
std::optional<int> number_beside(const std::filesystem::path& self, const wchar_t* suffix) {
    std::ifstream file(record_folder(self) / (self.stem().native() + suffix));
    std::string text;
    if (file && std::getline(file, text)) return parse_code(text);
    return std::nullopt;
}

int chosen_exit_code(const std::filesystem::path& self) {
    if (auto code = number_beside(self, L".exit-code")) return *code;
    if (auto value = zorv::win32::env_var(L"ZORV_FAKE_TOOL_EXIT_CODE"))
        if (auto code = parse_code(*value)) return *code;
    return 0;
}

nlohmann::json parsed_arguments(const wchar_t* command_line) {
    nlohmann::json argv = nlohmann::json::array();
    int count = 0;
    wchar_t** parts = ::CommandLineToArgvW(command_line, &count);
    if (parts == nullptr) return argv;
    for (int i = 0; i < count; ++i) argv.push_back(from_wide(parts[i]));
    ::LocalFree(parts);
    return argv;
}

// One write of a whole line, so that concurrent callers never interleave.
void append_line(const std::filesystem::path& path, const std::string& line) {
    zorv::win32::UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

int main() {
    const auto self = zorv::win32::current_exe_path();
    if (!self) return 90;
    const wchar_t* command_line = ::GetCommandLineW();
    const nlohmann::json record = {{"program", from_wide(self->filename().native())},
                                   {"path", from_wide(self->native())},
                                   {"commandLine", from_wide(command_line)},
                                   {"argv", parsed_arguments(command_line)}};
    append_line(record_folder(*self) / L"tool-calls.log", record.dump() + "\n");
    if (auto pause = number_beside(*self, L".sleep-ms")) ::Sleep(static_cast<DWORD>(*pause));
    return chosen_exit_code(*self);
}
