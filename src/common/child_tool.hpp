#pragma once
// Runs a system tool (netsh.exe, pnputil.exe, icacls) without a console window.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/argument_quoting.hpp"
#include "common/error.hpp"

namespace zorv {

// How long a system tool may run. The callers hold the runtime manager's lock,
// so a tool that hangs must not hold it for good.
inline constexpr std::chrono::milliseconds kChildToolDeadline{15'000};

// Starts `program` from the system directory (never through the search path,
// which would look in the helper's own folder and the working directory
// first), standard input empty, standard output and error captured and
// discarded while the tool runs, and waits for it up to `deadline`. The exit
// code, or the error that kept it from starting or finishing; a tool still
// running at the deadline is terminated and fails with a deadline error.
Result<std::int32_t> run_child_tool(std::string_view program, const std::vector<std::string>& arguments,
                                    std::chrono::milliseconds deadline = kChildToolDeadline);

// As run_child_tool, keeping the first `keep_limit` bytes of what the tool
// wrote to its standard output and error (the rest is read and discarded).
struct ChildToolOutput {
    std::int32_t exit_code = 0;
    std::string output;
};
Result<ChildToolOutput> run_child_tool_for_output(std::string_view program, const std::vector<std::string>& arguments,
                                                  std::chrono::milliseconds deadline, std::size_t keep_limit);

// The seam over run_child_tool, for steps whose outcome depends on a tool.
class ChildToolRunner {
public:
    virtual ~ChildToolRunner() = default;
    virtual Result<std::int32_t> run(std::string_view program, const std::vector<std::string>& arguments) = 0;
};

// run_child_tool with the default deadline.
ChildToolRunner& system_child_tools();

}  // namespace zorv
