#pragma once
// Counts the requests a Windows process makes to wineserver, read from the
// trace of `wineserver -f -d1`. Under Wine every kernel call that needs the
// server is one such request, so the count is a deterministic measure of a
// code path's cost where timings drift.
//
// A request line reads "TTTT: name( ...", where TTTT is the calling thread's
// id in hex; its reply reads "TTTT: name() = ...". Threads are tied to their
// process by, in turn:
// - the reply to init_first_thread, which names the new process's id;
// - a new_thread request on the current process (handle ffffffff), whose
//   reply names the new thread: it belongs to the creator's process;
// - the unix_tid of init_thread, found among the tasks of the process's
//   unix_pid (from init_first_thread) while the process still runs.
// Thread ids are reused, so every init starts a new thread record.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zorv::bench {

// A Linux thread id is one of the tasks of a Linux process (/proc/PID/task).
using IsTaskOf = std::function<bool(std::uint32_t unix_pid, std::uint32_t unix_tid)>;

class ServerTrace {
public:
    explicit ServerTrace(IsTaskOf is_task_of);

    // Feeds the trace line by line, in order. `window` numbers the span the
    // line falls in; requests are counted per window.
    void feed(std::string_view line, int window);

    // Requests made by the threads of Windows process `pid` within `window`.
    std::uint64_t requests(std::uint32_t pid, int window) const;
    // The same, by request name: where a code path's cost goes.
    std::map<std::string, std::uint64_t, std::less<>> requests_by_name(std::uint32_t pid, int window) const;

private:
    struct Thread {
        std::optional<std::uint32_t> pid;       // Windows process id, when known
        std::optional<std::uint32_t> unix_pid;  // from init_first_thread
        std::optional<std::uint32_t> unix_tid;  // from init_thread
        bool awaiting_init = false;              // announced by new_thread, not yet running
        std::unordered_map<int, std::map<std::string, std::uint64_t, std::less<>>> requests;  // per window, by name
    };

    Thread& current(std::uint32_t tid);
    Thread& start_thread(std::uint32_t tid);
    void read_request(std::uint32_t tid, std::string_view name, std::string_view arguments, int window);
    void read_reply(std::uint32_t tid, std::string_view name, std::string_view result);
    bool belongs_to(const Thread& thread, std::uint32_t pid) const;

    IsTaskOf is_task_of_;
    std::vector<Thread> threads_;
    std::unordered_map<std::uint32_t, std::size_t> thread_index_;  // tid -> newest record
    std::unordered_map<std::uint32_t, std::uint32_t> unix_pid_of_;  // Windows pid -> Linux pid
    std::unordered_map<std::uint32_t, bool> creating_local_thread_;  // tid -> pending new_thread on itself
};

}  // namespace zorv::bench
