// Stands in for sing-box.exe: accepts `run -c <path|stdin>`, reads its whole
// configuration, writes diagnostics to stdout and stderr and runs until
// CTRL_BREAK_EVENT. Its behaviour comes from a top-level "fake" object of the
// configuration it received:
//   "print": ["line", ...]         lines for stdout
//   "print_stderr": ["line", ...]  lines for stderr
//   "exit_after_ms": N             exit on its own after N ms ...
//   "exit_code": C                 ... with this code (default 0)
//   "ignore_break": true           stay up on CTRL_BREAK_EVENT
//   "flood_bytes": N               write N bytes of 100-byte lines to stdout,
//                                  then "fake-core: flooded N bytes in T us"
//   "flood_after_ms": N            ... N ms after start-up, announced by
//                                  "fake-core: flooding"
//   "record": "<path>"             write what it received (argv, command line,
//                                  working directory, configuration bytes in hex)
// Without "fake" it runs until it is broken or killed.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/text.hpp"
#include "common/win32.hpp"

namespace {

HANDLE g_break_event = nullptr;
bool g_ignore_break = false;

BOOL WINAPI on_console_event(DWORD type) {
    if (type != CTRL_BREAK_EVENT && type != CTRL_C_EVENT) return FALSE;
    if (!g_ignore_break) ::SetEvent(g_break_event);
    return TRUE;
}

void write_line(DWORD stream, std::string_view line) {
    const HANDLE handle = ::GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    std::string text(line);
    text.push_back('\n');
    DWORD written = 0;
    ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The arguments as the standard Windows rules split a command line.
std::vector<std::wstring> split_command_line(std::wstring_view line) {
    std::vector<std::wstring> args;
    std::size_t i = 0;
    // The program name: up to the closing quote, or to white space.
    std::wstring program;
    if (i < line.size() && line[i] == L'"') {
        for (++i; i < line.size() && line[i] != L'"'; ++i) program.push_back(line[i]);
        if (i < line.size()) ++i;
    } else {
        for (; i < line.size() && line[i] != L' ' && line[i] != L'\t'; ++i) program.push_back(line[i]);
    }
    args.push_back(program);
    for (;;) {
        while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
        if (i >= line.size()) break;
        std::wstring arg;
        bool quoted = false;
        while (i < line.size()) {
            const wchar_t c = line[i];
            if (!quoted && (c == L' ' || c == L'\t')) break;
            if (c == L'\\') {
                std::size_t slashes = 0;
                while (i < line.size() && line[i] == L'\\') ++slashes, ++i;
                if (i < line.size() && line[i] == L'"') {
                    arg.append(slashes / 2, L'\\');
                    if (slashes % 2 == 1) {
                        arg.push_back(L'"');
                        ++i;
                    }
                } else {
                    arg.append(slashes, L'\\');
                }
                continue;
            }
            if (c == L'"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
                    arg.push_back(L'"');
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg.push_back(c);
            ++i;
        }
        args.push_back(arg);
    }
    return args;
}

std::string read_all(HANDLE handle) {
    std::string content;
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(handle, buffer, sizeof buffer, &read, nullptr) || read == 0) break;
        content.append(buffer, read);
    }
    return content;
}

void write_record(const std::wstring& path, const std::vector<std::wstring>& args, std::string_view config) {
    nlohmann::json record;
    record["pid"] = ::GetCurrentProcessId();
    record["command_line"] = zorv::win32::from_wide(::GetCommandLineW());
    record["argv"] = nlohmann::json::array();
    for (const auto& arg : args) record["argv"].push_back(zorv::win32::from_wide(arg));
    wchar_t cwd[MAX_PATH * 4];
    const DWORD length = ::GetCurrentDirectoryW(MAX_PATH * 4, cwd);
    record["cwd"] = zorv::win32::from_wide(std::wstring_view(cwd, length));
    record["config_hex"] = zorv::text::hex(config);
    // Written beside and renamed, so a reader never sees half a record.
    const std::wstring partial = path + L".partial";
    const std::string text = record.dump();
    HANDLE file = ::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
    ::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void print_all(const nlohmann::json& fake, const char* key, DWORD stream) {
    const auto lines = fake.find(key);
    if (lines == fake.end() || !lines->is_array()) return;
    for (const auto& line : *lines)
        if (line.is_string()) write_line(stream, line.get<std::string>());
}

// Lines of 100 bytes in writes of about 64 KiB, timed by the core itself.
void flood(std::uint64_t total) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    std::string line(99, 'f');
    line.push_back('\n');
    std::string block;
    while (block.size() + line.size() <= 64 * 1024) block += line;
    LARGE_INTEGER frequency{};
    LARGE_INTEGER begun{};
    LARGE_INTEGER ended{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&begun);
    std::uint64_t sent = 0;
    while (sent < total) {
        const auto chunk = static_cast<DWORD>(std::min<std::uint64_t>(block.size(), total - sent));
        DWORD written = 0;
        if (!::WriteFile(out, block.data(), chunk, &written, nullptr) || written == 0) break;
        sent += written;
    }
    ::QueryPerformanceCounter(&ended);
    const auto micros = (ended.QuadPart - begun.QuadPart) * 1'000'000 / frequency.QuadPart;
    write_line(STD_ERROR_HANDLE, "fake-core: flooded " + std::to_string(sent) + " bytes in " + std::to_string(micros) +
                                     " us");
}

}  // namespace

int main() {
    const std::vector<std::wstring> args = split_command_line(::GetCommandLineW());
    if (args.size() != 4 || args[1] != L"run" || args[2] != L"-c") {
        write_line(STD_ERROR_HANDLE, "fake-core: usage: sing-box run -c <path|stdin>");
        return 2;
    }
    g_break_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(on_console_event, TRUE);

    std::string config;
    if (args[3] == L"stdin") {
        config = read_all(::GetStdHandle(STD_INPUT_HANDLE));
    } else {
        HANDLE file = ::CreateFileW(args[3].c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            write_line(STD_ERROR_HANDLE, "fake-core: cannot open configuration " + zorv::win32::from_wide(args[3]));
            return 3;
        }
        config = read_all(file);
        ::CloseHandle(file);
    }

    const nlohmann::json document = nlohmann::json::parse(config, nullptr, false);
    nlohmann::json fake = nlohmann::json::object();
    if (document.is_object() && document.contains("fake") && document["fake"].is_object()) fake = document["fake"];
    g_ignore_break = fake.value("ignore_break", false);
    if (fake.contains("record") && fake["record"].is_string())
        write_record(zorv::win32::to_wide(fake["record"].get<std::string>()), args, config);

    write_line(STD_ERROR_HANDLE, "fake-core: started pid=" + std::to_string(::GetCurrentProcessId()) + ", " +
                                     std::to_string(config.size()) + " configuration bytes");
    print_all(fake, "print", STD_OUTPUT_HANDLE);
    print_all(fake, "print_stderr", STD_ERROR_HANDLE);
    if (fake.contains("flood_bytes") && fake["flood_bytes"].is_number_unsigned()) {
        if (fake.contains("flood_after_ms") && fake["flood_after_ms"].is_number_unsigned()) {
            ::Sleep(fake["flood_after_ms"].get<DWORD>());
            write_line(STD_ERROR_HANDLE, "fake-core: flooding");
        }
        flood(fake["flood_bytes"].get<std::uint64_t>());
    }

    const bool exits_by_itself = fake.contains("exit_after_ms") && fake["exit_after_ms"].is_number_unsigned();
    const DWORD wait = exits_by_itself ? fake["exit_after_ms"].get<DWORD>() : INFINITE;
    if (::WaitForSingleObject(g_break_event, wait) == WAIT_OBJECT_0) {
        write_line(STD_OUTPUT_HANDLE, "fake-core: break received, exiting");
        return 0;
    }
    const auto code = fake.value("exit_code", std::uint64_t{0});
    ::ExitProcess(static_cast<UINT>(code));
}
