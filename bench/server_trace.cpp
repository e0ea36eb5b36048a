#include "server_trace.hpp"

#include <charconv>

namespace zorv::bench {

namespace {

constexpr std::string_view kCurrentProcess = "ffffffff";

std::optional<std::uint32_t> parse_number(std::string_view text, int base) {
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    return value;
}

// The text after "key=" up to the next separator.
std::optional<std::string_view> field(std::string_view fields, std::string_view key) {
    for (std::size_t at = fields.find(key); at != std::string_view::npos; at = fields.find(key, at + 1)) {
        const bool starts_field = at == 0 || fields[at - 1] == ' ' || fields[at - 1] == '{';
        if (!starts_field || fields.substr(at + key.size(), 1) != "=") continue;
        std::string_view value = fields.substr(at + key.size() + 1);
        return value.substr(0, value.find_first_of(", })"));
    }
    return std::nullopt;
}

std::optional<std::uint32_t> number_field(std::string_view fields, std::string_view key, int base) {
    const auto value = field(fields, key);
    if (!value) return std::nullopt;
    return parse_number(*value, base);
}

}  // namespace

ServerTrace::ServerTrace(IsTaskOf is_task_of) : is_task_of_(std::move(is_task_of)) {}

ServerTrace::Thread& ServerTrace::start_thread(std::uint32_t tid) {
    thread_index_[tid] = threads_.size();
    return threads_.emplace_back();
}

ServerTrace::Thread& ServerTrace::current(std::uint32_t tid) {
    const auto found = thread_index_.find(tid);
    if (found == thread_index_.end()) return start_thread(tid);
    return threads_[found->second];
}

void ServerTrace::feed(std::string_view line, int window) {
    // "TTTT: name( arguments )" or "TTTT: name() = result"; anything else
    // ("TTTT: *fd* ...", "TTTT: *wakeup* ...", server notices) is no request.
    const auto colon = line.find(": ");
    if (colon == 0 || colon == std::string_view::npos) return;
    const auto tid = parse_number(line.substr(0, colon), 16);
    if (!tid) return;
    const std::string_view call = line.substr(colon + 2);
    const auto open = call.find('(');
    if (open == 0 || open == std::string_view::npos) return;
    const std::string_view name = call.substr(0, open);
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string_view::npos) return;
    const std::string_view rest = call.substr(open + 1);
    if (rest.starts_with(") = ")) {
        read_reply(*tid, name, rest.substr(4));
    } else if (rest.starts_with(" ")) {
        read_request(*tid, name, rest, window);
    }
}

void ServerTrace::read_request(std::uint32_t tid, std::string_view name, std::string_view arguments, int window) {
    if (name == "init_first_thread") {
        Thread& thread = start_thread(tid);
        thread.unix_pid = number_field(arguments, "unix_pid", 10);
    } else if (name == "init_thread") {
        // A thread announced by its creator's new_thread keeps what is known of it.
        Thread& announced = current(tid);
        Thread& thread = announced.awaiting_init ? announced : start_thread(tid);
        thread.awaiting_init = false;
        thread.unix_tid = number_field(arguments, "unix_tid", 10);
    } else if (name == "new_thread") {
        creating_local_thread_[tid] = field(arguments, "process") == kCurrentProcess;
    }
    auto& by_name = current(tid).requests[window];
    const auto counted = by_name.find(name);
    if (counted == by_name.end()) by_name.emplace(std::string(name), 1);
    else ++counted->second;
}

void ServerTrace::read_reply(std::uint32_t tid, std::string_view name, std::string_view result) {
    if (name == "init_first_thread") {
        Thread& thread = current(tid);
        thread.pid = number_field(result, "pid", 16);
        if (thread.pid && thread.unix_pid) unix_pid_of_[*thread.pid] = *thread.unix_pid;
    } else if (name == "new_thread") {
        const bool local = creating_local_thread_[tid];
        creating_local_thread_.erase(tid);
        const auto created = number_field(result, "tid", 16);
        if (!local || !created || !result.starts_with("0 ")) return;
        const auto creator_pid = current(tid).pid;
        Thread& thread = start_thread(*created);
        thread.pid = creator_pid;
        thread.awaiting_init = true;
    }
}

bool ServerTrace::belongs_to(const Thread& thread, std::uint32_t pid) const {
    if (thread.pid) return *thread.pid == pid;
    const auto unix_pid = unix_pid_of_.find(pid);
    return thread.unix_tid && unix_pid != unix_pid_of_.end() && is_task_of_(unix_pid->second, *thread.unix_tid);
}

std::map<std::string, std::uint64_t, std::less<>> ServerTrace::requests_by_name(std::uint32_t pid, int window) const {
    std::map<std::string, std::uint64_t, std::less<>> total;
    for (const Thread& thread : threads_) {
        const auto counted = thread.requests.find(window);
        if (counted == thread.requests.end() || !belongs_to(thread, pid)) continue;
        for (const auto& [name, count] : counted->second) total[name] += count;
    }
    return total;
}

std::uint64_t ServerTrace::requests(std::uint32_t pid, int window) const {
    std::uint64_t total = 0;
    for (const auto& [name, count] : requests_by_name(pid, window)) total += count;
    return total;
}

}  // namespace zorv::bench
