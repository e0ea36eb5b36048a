#pragma once
// The core's standard output and error: a pipe that a thread of the helper
// drains into the core log, so that the log is rotated while the core runs
// and a chatty core cannot fill the disk. Whole lines go to the file; the
// file is rotated before a line that would take it past its limit. When the
// file cannot be written (a full disk) the output is dropped, never held, and
// the next line that can be written is preceded by one saying how much was
// lost. The core never waits on the file, only on the pipe's buffer.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "common/error.hpp"
#include "common/unique_resource.hpp"

namespace zorv::manager {

struct CoreOutputLimits {
    std::uint64_t rotate_bytes;  // no file grows past this
    std::uint64_t generations;   // rotated files kept beside the current one
};

class CoreOutput {
public:
    // Starts draining into `log_file` (open for appending, at `path`, whose
    // rotated generations sit beside it).
    static Result<CoreOutput> start(win32::UniqueHandle log_file, std::filesystem::path path, CoreOutputLimits limits);

    CoreOutput(CoreOutput&&) noexcept = default;
    CoreOutput& operator=(CoreOutput&&) noexcept = default;
    ~CoreOutput();

    // The pipe's write end, for the core's standard output and error.
    HANDLE core_end() const { return core_end_.get(); }
    // Closes the helper's copy of the write end once the core holds its own,
    // so that the drain ends when the core's last copy closes.
    void release_core_end() { core_end_.reset(); }
    // Waits up to `limit` for everything the core wrote to be in the file;
    // true once the drain has ended.
    bool wait_drained(std::chrono::milliseconds limit) const;

    struct Drain;

private:
    CoreOutput(win32::UniqueHandle core_end, std::shared_ptr<Drain> drain);

    win32::UniqueHandle core_end_;
    std::shared_ptr<Drain> drain_;
};

}  // namespace zorv::manager
