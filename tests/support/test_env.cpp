#include "support/test_env.hpp"

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/child_tool.hpp"
#include "pipe_client/pipe_client.hpp"

namespace zorv::testing {

fs::path this_exe() { return win32::current_exe_path().value(); }
fs::path build_dir() { return this_exe().parent_path().parent_path(); }
fs::path helper_exe() { return build_dir() / "src" / "zorv-helper.exe"; }
fs::path ctl_exe() { return build_dir() / "tools" / "zorv.exe"; }
fs::path double_exe(const std::string& name) { return build_dir() / "tests" / ("double_" + name + ".exe"); }

namespace {
std::atomic<int> g_counter{0};

// Removes `path` and what is below it, one pass, with the system's calls:
// false when something stayed. The library's remove_all can go round for
// ever under Wine on a file another thread still holds open (deleted but
// still listed until its last handle closes).
bool remove_tree_once(const fs::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ::RemoveDirectoryW(path.c_str()) != 0
                                                            : ::DeleteFileW(path.c_str()) != 0;
    }
    std::vector<fs::path> children;
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((path / L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring_view name(found.cFileName);
            if (name != L"." && name != L"..") children.push_back(path / found.cFileName);
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    bool all = true;
    for (const fs::path& child : children) all = remove_tree_once(child) && all;
    return ::RemoveDirectoryW(path.c_str()) != 0 && all;
}
}  // namespace

TestDir::TestDir(const std::string& label) {
    const fs::path root = build_dir() / "test-work";
    path_ = root / (label + "-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(g_counter++));
    std::error_code ec;
    fs::remove_all(path_, ec);
    fs::create_directories(path_);
}

TestDir::~TestDir() {
    // Files of a process or thread that is still going away may stay locked briefly.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (remove_tree_once(path_)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string unique_pipe_name(const std::string& label) {
    return "zorv-test-" + label + "-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(g_counter++);
}

std::string read_file(const fs::path& path) {
    // Shared read: the helper keeps its log open for writing.
    win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) content.append(buffer, read);
    return content;
}

void write_file(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

namespace {
win32::UniqueHandle open_output(const fs::path& path) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return win32::UniqueHandle(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::wstring environment_block(const std::map<std::string, std::optional<std::string>>& overrides) {
    std::map<std::wstring, std::wstring> vars;  // case matters little here; keep the last writer
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
        std::wstring entry(p);
        const auto eq = entry.find(L'=', 1);
        if (eq == std::wstring::npos) continue;
        vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    ::FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : overrides) {
        const std::wstring wide_name = win32::to_wide(name);
        for (auto it = vars.begin(); it != vars.end();) {
            if (_wcsicmp(it->first.c_str(), wide_name.c_str()) == 0) it = vars.erase(it);
            else ++it;
        }
        if (value) vars[wide_name] = win32::to_wide(*value);
    }
    std::wstring out;
    for (const auto& [name, value] : vars) out += name + L"=" + value + L'\0';
    out += L'\0';
    return out;
}
}  // namespace

Process::Process(const fs::path& program, const ProcessOptions& options) {
    const std::string command = build_command_line(win32::path_text(program), options.args);
    std::wstring wide_command = win32::to_wide(command);

    win32::UniqueHandle out, err;
    win32::UniqueHandle null_in(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (options.stdout_file || options.stderr_file) {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        null_in.reset(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                                    nullptr));
        if (options.stdout_file) out = open_output(*options.stdout_file);
        if (options.stderr_file) err = open_output(*options.stderr_file);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = null_in.get();
        si.hStdOutput = out ? out.get() : ::GetStdHandle(STD_OUTPUT_HANDLE);
        si.hStdError = err ? err.get() : ::GetStdHandle(STD_ERROR_HANDLE);
    }
    std::wstring env = environment_block(options.env);
    std::wstring cwd = options.working_dir ? options.working_dir->native() : std::wstring();
    PROCESS_INFORMATION pi{};
    const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (options.new_console ? CREATE_NEW_CONSOLE : 0);
    // Under a loaded machine Wine now and then fails a creation with an
    // internal error (1359) that the next attempt does not meet; nothing was
    // started then, so the test harness tries twice more.
    for (int attempt = 1;; ++attempt) {
        if (::CreateProcessW(nullptr, wide_command.data(), nullptr, nullptr, si.dwFlags ? TRUE : FALSE, flags,
                             env.data(), cwd.empty() ? nullptr : cwd.c_str(), &si, &pi))
            break;
        const DWORD error = ::GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 3)
            throw std::runtime_error("CreateProcess failed for " + command + ": " + win32::error_text(error));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::CloseHandle(pi.hThread);
    process_.reset(pi.hProcess);
    pid_ = pi.dwProcessId;
}

Process::~Process() { kill(); }

std::optional<std::uint32_t> Process::wait(std::chrono::milliseconds timeout) {
    if (!process_) return std::nullopt;
    if (::WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    ::GetExitCodeProcess(process_.get(), &code);
    return code;
}

bool Process::running() const {
    return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

void Process::kill() {
    if (!process_) return;
    if (running()) {
        ::TerminateProcess(process_.get(), 1);
        ::WaitForSingleObject(process_.get(), 10000);
    }
    process_.reset();
}

RunResult run_program(const fs::path& program, ProcessOptions options, std::chrono::milliseconds timeout) {
    TestDir scratch("run");
    options.stdout_file = scratch / "stdout.txt";
    options.stderr_file = scratch / "stderr.txt";
    RunResult result;
    {
        Process process(program, options);
        result.exit_code = process.wait(timeout);
    }
    result.out = read_file(*options.stdout_file);
    result.err = read_file(*options.stderr_file);
    return result;
}

HelperUnderTest::HelperUnderTest(HelperOptions options)
    : dir_(options.label), pipe_name_(unique_pipe_name(options.label)) {
    fs::copy_file(helper_exe(), dir_ / "zorv-helper.exe", fs::copy_options::overwrite_existing);
    if (options.copy_core_double)
        fs::copy_file(double_exe("fake_core"), dir_ / "sing-box.exe", fs::copy_options::overwrite_existing);
    // The tool doubles live in the prefix's system32; this points their
    // records and exit-code files at the helper's folder.
    process_options_.env["ZORV_FAKE_TOOL_DIR"] =
        options.copy_tool_doubles ? std::optional<std::string>(win32::path_text(dir_.path())) : std::nullopt;
    process_options_.args = {"run"};
    process_options_.env["SINGBOX_WINDOWS_SERVICE_PIPE_NAME"] = pipe_name_;
    process_options_.env["SINGBOX_EXPECTED_CLIENT_PATH"] = win32::path_text(this_exe());
    process_options_.env["ZORV_TEST_BYPASS_CLIENT_CHECK"] = std::nullopt;
    for (const auto& [name, value] : options.env) process_options_.env[name] = value;
    process_options_.working_dir = dir_.path();
    process_options_.stdout_file = stdout_file();
    process_options_.stderr_file = stderr_file();
    launch();
}

HelperUnderTest::~HelperUnderTest() { stop(); }

namespace {
constexpr std::string_view kFirewallRecord = "] [firewall] ";

std::size_t firewall_records(const std::string& log) {
    std::size_t count = 0;
    for (auto at = log.find(kFirewallRecord); at != std::string::npos; at = log.find(kFirewallRecord, at + 1)) ++count;
    return count;
}
}  // namespace

void HelperUnderTest::launch() {
    const std::size_t earlier = firewall_records(log_text());
    process_.emplace(dir_ / "zorv-helper.exe", process_options_);
    wait_until_serving();
    wait_until_settled(earlier);
}

void HelperUnderTest::wait_until_settled(std::size_t earlier_records, std::chrono::milliseconds timeout) {
    // The start-up removal of a leftover firewall rule runs beside the
    // listener; its netsh.exe would blur a test that counts handles or calls.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (firewall_records(log_text()) <= earlier_records) {
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("no start-up firewall clean-up in the log: " + log_text());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void HelperUnderTest::stop() {
    if (process_) process_->kill();
}

void HelperUnderTest::restart() {
    stop();
    process_.reset();
    launch();
}

void HelperUnderTest::wait_until_serving(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // Each attempt's budget covers the reply too: long enough for a loaded
        // machine, short enough to notice soon a helper that died.
        auto reply = pipe_client::call(pipe_name_, "GET", "/healthz", std::nullopt, std::chrono::seconds(5));
        if (reply && reply->status == 200) return;
        if (!process_->running() || std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("helper did not start serving; stderr: " + read_file(stderr_file()) +
                                     " log: " + log_text());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

api::PipeResponse HelperUnderTest::call(const std::string& method, const std::string& path,
                                        const std::optional<nlohmann::json>& body) {
    auto reply = pipe_client::call(pipe_name_, method, path, body, std::chrono::seconds(30));
    if (!reply) throw std::runtime_error("pipe call failed: " + reply.error().one_line());
    return *reply;
}

}  // namespace zorv::testing
