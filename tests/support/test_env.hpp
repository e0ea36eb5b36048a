#pragma once
// What end-to-end tests share: where the built programs are, private working
// folders, child processes that are always stopped, and the helper under test.

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/records.hpp"
#include "common/win32.hpp"

namespace zorv::testing {

namespace fs = std::filesystem;

// The build tree (parent of the folder holding the running test).
fs::path build_dir();
fs::path helper_exe();           // src/zorv-helper.exe
fs::path ctl_exe();              // tools/zorv.exe, the operator CLI
fs::path double_exe(const std::string& name);  // tests/double_<name>.exe
fs::path this_exe();

// A fresh folder inside the build tree, removed again at the end. Never
// under a folder named tmp or temp (the client rules refuse those).
class TestDir {
public:
    explicit TestDir(const std::string& label);
    ~TestDir();
    TestDir(const TestDir&) = delete;
    TestDir& operator=(const TestDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const fs::path& child) const { return path_ / child; }

private:
    fs::path path_;
};

// A unique pipe name for one test.
std::string unique_pipe_name(const std::string& label);

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& content);

struct ProcessOptions {
    std::vector<std::string> args;                          // after the program
    std::map<std::string, std::optional<std::string>> env;  // nullopt removes
    std::optional<fs::path> working_dir;
    std::optional<fs::path> stdout_file;
    std::optional<fs::path> stderr_file;
    bool new_console = false;
};

// A started program, killed by its handle (and so by its pid) when dropped.
class Process {
public:
    Process(const fs::path& program, const ProcessOptions& options);
    ~Process();
    Process(Process&&) noexcept = default;
    Process& operator=(Process&&) noexcept = default;

    std::uint32_t pid() const { return pid_; }
    HANDLE handle() const { return process_.get(); }
    // Exit code, or nullopt when still running after `timeout`.
    std::optional<std::uint32_t> wait(std::chrono::milliseconds timeout);
    bool running() const;
    void kill();

private:
    win32::UniqueHandle process_;
    std::uint32_t pid_ = 0;
};

// Runs to completion and returns the exit code (nullopt on time-out: killed).
struct RunResult {
    std::optional<std::uint32_t> exit_code;
    std::string out;
    std::string err;
};
RunResult run_program(const fs::path& program, ProcessOptions options,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The real zorv-helper.exe, copied into its own service folder and running
// in standalone mode on a private pipe. Clients are verified by path: by
// default only this test executable is accepted.
struct HelperOptions {
    std::string label = "helper";
    std::map<std::string, std::optional<std::string>> env;
    bool copy_core_double = false;  // sing-box.exe beside the helper
    // The system tools are doubles in the Wine prefix's system32 (installed
    // by the wine_tool_doubles fixture); with this they record their calls
    // in tool-calls.log in the helper's folder and read "<tool>.exit-code" there.
    bool copy_tool_doubles = false;
};

class HelperUnderTest {
public:
    explicit HelperUnderTest(HelperOptions options = {});
    ~HelperUnderTest();

    const fs::path& service_dir() const { return dir_.path(); }
    const std::string& pipe_name() const { return pipe_name_; }
    fs::path log_file() const { return dir_.path() / "logs" / "service.log"; }
    fs::path core_log_file() const { return dir_.path() / "logs" / "sing-box.log"; }
    std::string log_text() const { return read_file(log_file()); }
    Process& process() { return *process_; }
    fs::path stdout_file() const { return dir_.path() / "helper.stdout"; }
    fs::path stderr_file() const { return dir_.path() / "helper.stderr"; }

    // Waits until the pipe answers /healthz.
    void wait_until_serving(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits until the start-up clean-up has run (its netsh.exe has ended):
    // a firewall record beyond the `earlier_records` of an earlier run.
    void wait_until_settled(std::size_t earlier_records,
                            std::chrono::milliseconds timeout = std::chrono::seconds(30));
    api::PipeResponse call(const std::string& method, const std::string& path,
                           const std::optional<nlohmann::json>& body = std::nullopt);
    void stop();
    // Kills the helper (no stop sequence runs) and starts it again in the
    // same folder on the same pipe, as a crash and a restart would.
    void restart();

private:
    void launch();

    TestDir dir_;
    std::string pipe_name_;
    ProcessOptions process_options_;
    std::optional<Process> process_;
};

}  // namespace zorv::testing
