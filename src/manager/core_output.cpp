#include "manager/core_output.hpp"

#include <windows.h>

#include <fmt/format.h>

#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "common/win32.hpp"
#include "logger/rotate_log.hpp"

namespace zorv::manager {

namespace {

// Deep enough to hold what a core writes while the drain pauses (below) or
// writes the file: 4 MiB in a pause stretched to a whole timer tick (15.6 ms
// by default on Windows) is over 250 MB/s, far more than a core logs.
constexpr DWORD kPipeBytes = 4 * 1024 * 1024;
constexpr std::size_t kReadBytes = 1024 * 1024;
// A read that found less than this waits a moment before the next, so that
// the core's writes gather in the pipe and are taken in one read rather than
// each waking the drain: a wake-up costs a core that shares the CPU a few
// context switches (under Wine, three or four server requests), while the
// pause costs it nothing as long as the pipe has room.
constexpr std::size_t kGatherBelow = kReadBytes / 2;
constexpr DWORD kGatherPauseMs = 1;
// A line longer than this is written in pieces rather than held.
constexpr std::size_t kLongestHeldLine = 1024 * 1024;

}  // namespace

// Runs on the drain's own thread; shared with the CoreOutput only for its
// end-of-drain event.
struct CoreOutput::Drain {
    win32::UniqueHandle pipe;
    win32::UniqueHandle file;
    std::filesystem::path path;
    CoreOutputLimits limits;
    win32::UniqueHandle drained = win32::UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::uint64_t size = 0;
    std::uint64_t dropped = 0;
    std::string pending;  // the start of a line whose end has not come yet

    void run() {
        std::string buffer(kReadBytes, '\0');
        for (;;) {
            DWORD read = 0;
            if (!::ReadFile(pipe.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) || read == 0)
                break;  // every copy of the write end has closed
            take(std::string_view(buffer.data(), read));
            if (read < kGatherBelow) ::Sleep(kGatherPauseMs);
        }
        write_lines(pending);
        pending.clear();
        file.reset();
        ::SetEvent(drained.get());
    }

    void take(std::string_view data) {
        const std::size_t last_break = data.rfind('\n');
        if (last_break == std::string_view::npos) {
            pending.append(data);
            if (pending.size() >= kLongestHeldLine) {
                write_lines(pending);
                pending.clear();
            }
            return;
        }
        if (pending.empty()) {
            write_lines(data.substr(0, last_break + 1));
        } else {
            pending.append(data.substr(0, last_break + 1));
            write_lines(pending);
            pending.clear();
        }
        pending.append(data.substr(last_break + 1));
    }

    // Writes whole lines, rotating between two lines whenever the next ones
    // would take the file past its limit.
    void write_lines(std::string_view lines) {
        while (!lines.empty()) {
            const std::uint64_t room = limits.rotate_bytes > size ? limits.rotate_bytes - size : 0;
            std::size_t fits = lines.size();
            if (fits > room) {
                const std::size_t last = lines.rfind('\n', static_cast<std::size_t>(room == 0 ? 0 : room - 1));
                fits = (room == 0 || last == std::string_view::npos) ? 0 : last + 1;
                if (fits == 0 && size == 0) fits = static_cast<std::size_t>(room);  // one line longer than a file
            }
            if (fits == 0) {
                if (rotate()) continue;
                dropped += lines.size();  // no file below its limit to write them to
                return;
            }
            write(lines.substr(0, fits));
            lines.remove_prefix(fits);
        }
    }

    void write(std::string_view bytes) {
        if (dropped > 0) {
            const std::string notice = fmt::format(
                "[zorv-helper] {} bytes of sing-box output were dropped: the log could not be written\n", dropped);
            if (!write_all(notice)) {
                dropped += bytes.size();
                return;
            }
            dropped = 0;
        }
        if (!write_all(bytes)) dropped += bytes.size();
    }

    bool write_all(std::string_view bytes) {
        if (!file) reopen();
        if (!file) return false;
        DWORD written = 0;
        const bool ok = ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                        written == bytes.size();
        size += written;
        return ok;
    }

    // True when the current file has room again: a file that could not be
    // moved aside is not written past its limit.
    bool rotate() {
        file.reset();
        (void)logger::rotate_log(path, 0, limits.generations);  // a failure shows in the size below
        reopen();
        if (!file) size = 0;
        return size < limits.rotate_bytes;
    }

    void reopen() {
        file.reset(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER end{};
        if (file && ::GetFileSizeEx(file.get(), &end)) size = static_cast<std::uint64_t>(end.QuadPart);
    }
};

CoreOutput::CoreOutput(win32::UniqueHandle core_end, std::shared_ptr<Drain> drain)
    : core_end_(std::move(core_end)), drain_(std::move(drain)) {}

CoreOutput::~CoreOutput() = default;

Result<CoreOutput> CoreOutput::start(win32::UniqueHandle log_file, std::filesystem::path path,
                                     CoreOutputLimits limits) {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, nullptr, kPipeBytes)) return fail(win32::last_os_error());
    win32::UniqueHandle core_end(write_end);
    auto drain = std::make_shared<Drain>();
    drain->pipe.reset(read_end);
    if (!drain->drained) return fail(win32::last_os_error());
    LARGE_INTEGER end{};
    if (::GetFileSizeEx(log_file.get(), &end)) drain->size = static_cast<std::uint64_t>(end.QuadPart);
    drain->file = std::move(log_file);
    drain->path = std::move(path);
    drain->limits = limits;
    try {
        // Detached: it ends by itself once the core and all it started are gone.
        std::thread([drain] { drain->run(); }).detach();
    } catch (const std::system_error& e) {
        return fail(Error(e.what()).context("Failed to start draining sing-box output"));
    }
    return CoreOutput(std::move(core_end), std::move(drain));
}

bool CoreOutput::wait_drained(std::chrono::milliseconds limit) const {
    return drain_ && ::WaitForSingleObject(drain_->drained.get(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}

}  // namespace zorv::manager
