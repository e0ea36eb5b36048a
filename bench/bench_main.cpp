// Measures the helper against baselines of the same shape and prints a table.
// Run through scripts/bench.sh, pinned to one CPU:
//   bench_zorv.exe server-requests TRACE   under a `wineserver -f -d1` whose
//       standard error is TRACE: prints the server requests per GET /healthz
//       of the helper and of the bare server, then those per MiB of core
//       output of the core and of the helper, "HELPER BARE CORE DRAIN";
//   bench_zorv.exe [--server-requests HELPER BARE [CORE DRAIN]]   the
//       timings, as a table that carries the counts when given;
//   bench_zorv.exe start | core-output   one group of rows alone.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <numeric>
#include <optional>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "common/argument_quoting.hpp"
#include "common/clock.hpp"
#include "common/text.hpp"
#include "logger/rolling_file_logger.hpp"
#include "pipe_client/pipe_client.hpp"
#include "server_trace.hpp"
#include "support/test_env.hpp"

namespace {

using namespace zorv;
using namespace zorv::testing;
using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 2000;
constexpr int kLatencyBlocks = 20;  // helper and baseline alternate, so drift hits both alike
constexpr int kConcurrentClients = 16;
constexpr int kRequestsPerClient = 150;
constexpr int kThroughputRounds = 3;
constexpr int kCountedRequests = 200;
constexpr auto kSettle = std::chrono::milliseconds(300);
constexpr int kStartStopRounds = 15;
constexpr int kLogRecords = 20000;

double micros_since(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}

const std::string kHealthRequest = R"({"method":"GET","path":"/healthz"})";

bool round_trip(const std::string& pipe) {
    auto reply = pipe_client::exchange(pipe, kHealthRequest, std::chrono::seconds(10));
    return reply.has_value() && !reply->empty();
}

std::vector<double> latencies(const std::string& pipe, int count) {
    std::vector<double> samples;
    samples.reserve(count);
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (!round_trip(pipe)) {
            std::fprintf(stderr, "request %d to %s failed\n", i, pipe.c_str());
            continue;
        }
        samples.push_back(micros_since(start));
    }
    return samples;
}

double throughput(const std::string& pipe) {
    std::atomic<int> served{0};
    const auto start = Clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < kConcurrentClients; ++c) {
        clients.emplace_back([&] {
            for (int i = 0; i < kRequestsPerClient; ++i)
                if (round_trip(pipe)) ++served;
        });
    }
    for (auto& client : clients) client.join();
    return served.load() / (micros_since(start) / 1e6);
}

struct Row {
    std::string name;
    std::string helper;
    std::string baseline;
    std::string ratio;
    std::string goal;
};

void print_table(const std::vector<Row>& rows) {
    std::printf("| measure | zorv-helper | baseline | ratio | goal |\n|---|---|---|---|---|\n");
    for (const auto& r : rows)
        std::printf("| %s | %s | %s | %s | %s |\n", r.name.c_str(), r.helper.c_str(), r.baseline.c_str(),
                    r.ratio.c_str(), r.goal.c_str());
}

std::string mark(bool met) { return met ? "met" : "NOT met"; }

std::string ratio_row_goal(const char* goal, bool met) { return std::string(goal) + ": " + mark(met); }

// The helper and the bare server, both listening.
struct Servers {
    std::string echo_pipe = unique_pipe_name("bench-echo");
    Process echo;
    HelperUnderTest helper;

    Servers() : echo(start_echo(echo_pipe)), helper(health_options()) {
        // Waits until it listens; the connection itself is not used.
        (void)pipe_client::connect(echo_pipe, std::chrono::seconds(10));
        latencies(helper.pipe_name(), 50);
        latencies(echo_pipe, 50);
    }
    ~Servers() {
        echo.kill();
        helper.stop();
    }

    static Process start_echo(const std::string& pipe) {
        ProcessOptions options;
        options.args = {pipe};
        return Process(build_dir() / "bench" / "bench_echo_server.exe", options);
    }
    static HelperOptions health_options() {
        HelperOptions options;
        options.label = "bench-health";
        return options;
    }
};

// ---- Server requests ----

// Where the trace ends now: the server writes a request's line before it
// answers, so every request made so far lies before this offset.
std::uintmax_t trace_mark(const fs::path& trace) {
    std::this_thread::sleep_for(kSettle);  // the last connection's close included
    return fs::file_size(trace);
}

// Wine shows the Linux file system on drive Z:.
bool is_linux_task_of(std::uint32_t unix_pid, std::uint32_t unix_tid) {
    std::error_code ec;
    return fs::exists(fs::path(fmt::format("Z:\\proc\\{}\\task\\{}", unix_pid, unix_tid)), ec);
}

std::string flood_config(std::uint64_t bytes, std::optional<unsigned> after_ms = std::nullopt);
bool wait_for_text(const fs::path& path, const std::string& text, std::chrono::seconds limit);
constexpr std::uint64_t kCountedFloodBytes = 83'886 * 100;  // 8 MiB of whole 100-byte lines, one log file
constexpr double kMiB = 1024.0 * 1024.0;

// Requests per GET /healthz, one client at a time: the helper's over
// [marks[0], marks[1]), the bare server's over [marks[1], marks[2]). The same
// with 16 concurrent clients follows, with the clients' own requests, on
// standard error: where concurrency costs more.
int count_server_requests(const fs::path& trace_path) {
    Servers servers;
    std::array<std::uintmax_t, 7> marks{};
    marks[0] = trace_mark(trace_path);
    for (int i = 0; i < kCountedRequests; ++i) round_trip(servers.helper.pipe_name());
    marks[1] = trace_mark(trace_path);
    for (int i = 0; i < kCountedRequests; ++i) round_trip(servers.echo_pipe);
    marks[2] = trace_mark(trace_path);
    const double helper_served = throughput(servers.helper.pipe_name()) > 0 ? kConcurrentClients * kRequestsPerClient : 0;
    marks[3] = trace_mark(trace_path);
    const double echo_served = throughput(servers.echo_pipe) > 0 ? kConcurrentClients * kRequestsPerClient : 0;
    marks[4] = trace_mark(trace_path);
    // The core's output through the helper, from the moment the core has
    // started (its flood waits for the mark) to its last line.
    HelperOptions flood_options;
    flood_options.label = "bench-core-requests";
    flood_options.copy_core_double = true;
    HelperUnderTest flooding(flood_options);
    const auto flood_start = flooding.call("POST", "/v1/runtime/start",
                                           nlohmann::json{{"configContent", flood_config(kCountedFloodBytes, 5000)}});
    if (flood_start.status != 200)
        std::fprintf(stderr, "the flooding core did not start: %s\n", flood_start.body.dump().c_str());
    (void)wait_for_text(flooding.core_log_file(), "fake-core: started", std::chrono::seconds(60));
    unsigned core_pid = 0;
    const std::string core_log = read_file(flooding.core_log_file());
    if (const auto at = core_log.find("fake-core: started pid="); at != std::string::npos)
        (void)std::sscanf(core_log.c_str() + at, "fake-core: started pid=%u", &core_pid);
    marks[5] = trace_mark(trace_path);
    const bool began_early = read_file(flooding.core_log_file()).find("fake-core: flooding") != std::string::npos;
    const bool flood_counted =
        !began_early && wait_for_text(flooding.core_log_file(), "fake-core: flooded ", std::chrono::seconds(180));
    marks[6] = trace_mark(trace_path);

    std::ifstream file(trace_path, std::ios::binary);
    bench::ServerTrace trace(is_linux_task_of);
    std::string line;
    std::uintmax_t offset = 0;
    while (offset < marks.back() && std::getline(file, line)) {
        const auto window = std::ranges::upper_bound(marks, offset) - marks.begin() - 1;
        trace.feed(line, static_cast<int>(window));
        offset += line.size() + 1;
    }
    const auto per_request = [&](std::uint32_t pid, int window, double served) {
        return served > 0 ? static_cast<double>(trace.requests(pid, window)) / served : 0.0;
    };
    const double helper = per_request(servers.helper.process().pid(), 0, kCountedRequests);
    const double bare = per_request(servers.echo.pid(), 1, kCountedRequests);
    if (helper == 0 || bare == 0) {
        std::fprintf(stderr, "no server requests found for the servers in %s\n", win32::path_text(trace_path).c_str());
        return 1;
    }
    for (const auto& [label, pid, window] : {std::tuple{"helper", servers.helper.process().pid(), 0},
                                             std::tuple{"bare", servers.echo.pid(), 1}}) {
        std::string parts;
        for (const auto& [name, count] : trace.requests_by_name(pid, window))
            parts += fmt::format(" {} {:.2f}", name, static_cast<double>(count) / kCountedRequests);
        std::fprintf(stderr, "%s per GET /healthz by request:%s\n", label, parts.c_str());
    }
    const std::uint32_t clients = ::GetCurrentProcessId();
    std::fprintf(stderr,
                 "server requests per GET /healthz with %d clients: helper %.1f (its clients %.1f), "
                 "bare %.1f (its clients %.1f)\n",
                 kConcurrentClients, per_request(servers.helper.process().pid(), 2, helper_served),
                 per_request(clients, 2, helper_served), per_request(servers.echo.pid(), 3, echo_served),
                 per_request(clients, 3, echo_served));
    if (!flood_counted || core_pid == 0) {
        std::fprintf(stderr, "the core's flood was not counted: it began before the mark or did not end\n");
        std::printf("%.1f %.1f\n", helper, bare);
        return 0;
    }
    const double mib = static_cast<double>(kCountedFloodBytes) / kMiB;
    for (const auto& [label, pid] : {std::pair{"core", core_pid}, std::pair{"helper", flooding.process().pid()}}) {
        std::string parts;
        for (const auto& [name, count] : trace.requests_by_name(pid, 5))
            parts += fmt::format(" {} {:.1f}", name, static_cast<double>(count) / mib);
        std::fprintf(stderr, "%s per MiB of core output by request:%s\n", label, parts.c_str());
    }
    std::printf("%.1f %.1f %.1f %.1f\n", helper, bare, static_cast<double>(trace.requests(core_pid, 5)) / mib,
                static_cast<double>(trace.requests(flooding.process().pid(), 5)) / mib);
    return 0;
}

// Milliseconds since midnight of a log line "[YYYY-MM-DD HH:MM:SS.mmm] ...".
std::optional<double> line_time_ms(std::string_view line) {
    int hours = 0, minutes = 0, seconds = 0, millis = 0;
    if (line.size() < 25 || std::sscanf(std::string(line.substr(12, 12)).c_str(), "%d:%d:%d.%d", &hours, &minutes,
                                        &seconds, &millis) != 4)
        return std::nullopt;
    return ((hours * 60.0 + minutes) * 60.0 + seconds) * 1000.0 + millis;
}

// Where a start's time goes, from the helper's own log: for each line of a
// start, the median time since the line before it.
void print_start_phases(const std::string& log) {
    std::map<std::string, std::vector<double>> gaps;  // by the line's first words, digits blanked
    std::optional<double> previous;
    for (std::string_view line : text::split_lines(log)) {
        const auto at = line_time_ms(line);
        if (!at) continue;
        const auto message_at = line.find("] ", line.find("] [", line.find("] [") + 1) + 1);
        const std::string_view message = message_at == std::string_view::npos ? line : line.substr(message_at + 2);
        if (message.starts_with("Processing /v1/runtime/start")) previous = at;
        if (!previous) continue;
        std::string key(message.substr(0, 36));
        std::ranges::replace_if(key, [](char c) { return c >= '0' && c <= '9'; }, '#');
        gaps[key].push_back(*at - *previous);
        previous = message.starts_with("Runtime successfully started") ? std::nullopt : at;
    }
    for (const auto& [message, samples] : gaps)
        if (samples.size() >= 3)
            std::fprintf(stderr, "start phase, median ms before \"%s...\": %.1f\n", message.c_str(),
                         percentile(samples, 0.5));
}

// Start with inline configuration, then stop a core that has already exited.
std::pair<std::vector<double>, std::vector<double>> start_and_stop_times() {
    HelperOptions options;
    options.label = "bench-start";
    options.copy_core_double = true;
    HelperUnderTest helper(options);
    std::vector<double> starts, stops;
    for (int i = 0; i < kStartStopRounds; ++i) {
        const nlohmann::json body = {{"configContent", R"({"fake":{"exit_after_ms":150,"exit_code":0}})"}};
        auto start = Clock::now();
        auto started = helper.call("POST", "/v1/runtime/start", body);
        const double start_us = micros_since(start);
        if (started.status != 200) {
            std::fprintf(stderr, "start failed: %s\n", started.body.dump().c_str());
            continue;
        }
        starts.push_back(start_us);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        start = Clock::now();
        helper.call("POST", "/v1/runtime/stop", nlohmann::json::object());
        stops.push_back(micros_since(start));
    }
    print_start_phases(helper.log_text());
    return {starts, stops};
}

void add_start_rows(std::vector<Row>& rows) {
    const auto [starts, stops] = start_and_stop_times();
    const double start_ms = percentile(starts, 0.5) / 1000, stop_ms = percentile(stops, 0.5) / 1000;
    rows.push_back({"start inline config p50 (ms)", fmt::format("{:.1f}", start_ms), "80 ms floor",
                    fmt::format("+{:.1f} ms", start_ms - 80), "<= 105 ms: " + mark(start_ms <= 105)});
    rows.push_back({"stop of exited core p50 (ms)", fmt::format("{:.1f}", stop_ms), "-", "-",
                    "<= 60 ms: " + mark(stop_ms <= 60)});
}

// /healthz while four starts wait for the manager, each replacing a core that
// ignores the graceful stop (so each holds the manager for the stop's whole
// graceful window): the p99 of the health checks made meanwhile, in ms.
double health_p99_behind_slow_starts() {
    HelperOptions options;
    options.label = "bench-slow-starts";
    options.copy_core_double = true;
    HelperUnderTest helper(options);
    const nlohmann::json stubborn = {{"configContent", R"({"fake":{"ignore_break":true}})"}};
    if (helper.call("POST", "/v1/runtime/start", stubborn).status != 200) return -1;
    std::atomic<int> in_flight{4};
    std::vector<std::thread> starts;
    for (int i = 0; i < 4; ++i)
        starts.emplace_back([&] {
            (void)pipe_client::call(helper.pipe_name(), "POST", "/v1/runtime/start", stubborn,
                                    std::chrono::seconds(120));
            --in_flight;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the starts are queued by now
    std::vector<double> samples;
    while (in_flight.load() > 0) {
        std::ranges::copy(latencies(helper.pipe_name(), 10), std::back_inserter(samples));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (auto& start : starts) start.join();
    helper.call("POST", "/v1/runtime/stop", nlohmann::json::object());
    std::fprintf(stderr, "healthz behind four slow starts: %zu samples\n", samples.size());
    return percentile(samples, 0.99) / 1000;
}

// Bytes per second the core double reports for its own writes of 64 MiB of
// lines: through the helper's drain into sing-box.log, straight into a file
// of its own, and into a pipe of its own that nobody reads while it writes.
constexpr std::uint64_t kFloodBytes = 671'088 * 100;  // 64 MiB of whole 100-byte lines
constexpr int kCoreOutputRounds = 3;

std::optional<double> reported_rate(const std::string& text) {
    const auto at = text.find("fake-core: flooded ");
    if (at == std::string::npos) return std::nullopt;
    unsigned long long bytes = 0, micros = 0;
    if (std::sscanf(text.c_str() + at, "fake-core: flooded %llu bytes in %llu us", &bytes, &micros) != 2 || micros == 0)
        return std::nullopt;
    return static_cast<double>(bytes) / (static_cast<double>(micros) / 1e6);
}

std::string flood_config(std::uint64_t bytes, std::optional<unsigned> after_ms) {
    nlohmann::json fake = {{"flood_bytes", bytes}, {"exit_after_ms", 0}};
    if (after_ms) fake["flood_after_ms"] = *after_ms;
    return nlohmann::json{{"fake", fake}}.dump();
}

// Waits up to `limit` for `text` in the file at `path`.
bool wait_for_text(const fs::path& path, const std::string& text, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (read_file(path).find(text) == std::string::npos) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

double rate_through_helper(const std::string& config) {
    HelperOptions options;
    options.label = "bench-core-output";
    options.copy_core_double = true;
    HelperUnderTest helper(options);
    (void)helper.call("POST", "/v1/runtime/start", nlohmann::json{{"configContent", config}});
    (void)wait_for_text(helper.core_log_file(), "fake-core: flooded ", std::chrono::seconds(120));
    return reported_rate(read_file(helper.core_log_file())).value_or(0);
}

double rate_into_file(const std::string& config) {
    TestDir dir("bench-core-direct");
    write_file(dir / "config.json", config);
    ProcessOptions direct;
    direct.args = {"run", "-c", win32::path_text(dir / "config.json")};
    // Its standard output and error are files of their own.
    const RunResult ran = run_program(double_exe("fake_core"), direct, std::chrono::seconds(120));
    return reported_rate(ran.err).value_or(0);
}

// A pipe deep enough for the whole flood, read by no one until the core has
// exited: what writing into a pipe costs the core when no reader ever wakes,
// which no drain can undercut. Under Wine every pipe write is a request to
// wineserver, where a file write is not.
double rate_into_undrained_pipe(const std::string& config) {
    TestDir dir("bench-core-pipe");
    write_file(dir / "config.json", config);
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &inherited, static_cast<DWORD>(kFloodBytes + (1u << 20)))) return 0;
    win32::UniqueHandle reader(read_end), writer(write_end);
    ::SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    const fs::path err_path = dir / "core.stderr";
    win32::UniqueHandle err(::CreateFileW(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!err) return 0;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.get();
    startup.hStdError = err.get();
    std::wstring command = win32::to_wide(build_command_line(win32::path_text(double_exe("fake_core")),
                                                             {"run", "-c", win32::path_text(dir / "config.json")}));
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &info))
        return 0;
    win32::UniqueHandle process(info.hProcess), thread(info.hThread);
    writer.reset();
    err.reset();
    if (::WaitForSingleObject(process.get(), 120'000) != WAIT_OBJECT_0) ::TerminateProcess(process.get(), 1);
    return reported_rate(read_file(err_path)).value_or(0);
}

struct CoreOutputRates {
    double through_helper;
    double into_file;
    double into_pipe;
};

// The three in turn, the median of each over the rounds.
CoreOutputRates core_output_rates() {
    const std::string config = flood_config(kFloodBytes);
    std::vector<double> helper, file, pipe;
    for (int round = 0; round < kCoreOutputRounds; ++round) {
        helper.push_back(rate_through_helper(config));
        file.push_back(rate_into_file(config));
        pipe.push_back(rate_into_undrained_pipe(config));
        std::fprintf(stderr,
                     "core output round %d (MB/s): through the helper %.0f, into a file %.0f, "
                     "into an undrained pipe %.0f\n",
                     round + 1, helper.back() / 1e6, file.back() / 1e6, pipe.back() / 1e6);
    }
    return {percentile(helper, 0.5), percentile(file, 0.5), percentile(pipe, 0.5)};
}

void add_core_output_rows(std::vector<Row>& rows) {
    const auto [drained, direct, undrained] = core_output_rates();
    rows.push_back({"core output through the helper (MB/s)", fmt::format("{:.1f}", drained / 1e6),
                    fmt::format("{:.1f} (into a file)", direct / 1e6), fmt::format("{:.2f}", drained / direct),
                    ratio_row_goal("ratio >= 0.8", direct > 0 && drained / direct >= 0.8)});
    rows.push_back({"core output through the helper against an undrained pipe (MB/s)",
                    fmt::format("{:.1f}", drained / 1e6), fmt::format("{:.1f} (into a pipe)", undrained / 1e6),
                    undrained > 0 ? fmt::format("{:.2f}", drained / undrained) : "-", "-"});
}

std::pair<double, double> logger_rates() {
    TestDir dir("bench-logger");
    std::vector<std::string> messages;
    for (int i = 0; i < kLogRecords; ++i)
        messages.push_back(fmt::format("Processing /v1/runtime/stop (trigger='api-stop', op_id=Some(\"{}\"), "
                                       "client_runtime_id=None)",
                                       1765000000000000000LL + i));

    logger::RollingFileLogger rolling(logger::LoggerSettings{dir / "rolling", "service", 1ull << 40, 5, false});
    auto start = Clock::now();
    for (const auto& m : messages) rolling.log(log::Level::Info, log::target::pipe_server, m);
    const double rolling_rate = kLogRecords / (micros_since(start) / 1e6);

    std::filesystem::create_directories(dir / "raw");
    win32::UniqueHandle raw(::CreateFileW((dir / "raw" / "service.log").c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    start = Clock::now();
    for (const auto& m : messages) {
        const std::string line =
            logger::format_line(clock::local_timestamp(), log::Level::Info, log::target::pipe_server, m);
        DWORD written = 0;
        ::WriteFile(raw.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    const double raw_rate = kLogRecords / (micros_since(start) / 1e6);
    return {rolling_rate, raw_rate};
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "server-requests") return count_server_requests(fs::path(win32::to_wide(args[1])));
    if (args.size() == 2 && args[0] == "load") {
        std::printf("%.0f\n", throughput(args[1]));
        return 0;
    }
    // One group of rows alone, for profiling it.
    if (args.size() == 1 && (args[0] == "start" || args[0] == "core-output")) {
        std::vector<Row> rows;
        if (args[0] == "start") add_start_rows(rows);
        else add_core_output_rows(rows);
        print_table(rows);
        return 0;
    }
    std::optional<std::pair<double, double>> server_requests;
    std::optional<std::pair<double, double>> output_requests;  // per MiB: the core's, the helper's
    if ((args.size() == 3 || args.size() == 5) && args[0] == "--server-requests") {
        server_requests.emplace(std::stod(args[1]), std::stod(args[2]));
        if (args.size() == 5) output_requests.emplace(std::stod(args[3]), std::stod(args[4]));
    } else if (!args.empty()) {
        std::fprintf(stderr, "usage: bench_zorv.exe [server-requests TRACE | --server-requests HELPER BARE [CORE "
                             "DRAIN] | start | core-output | load PIPE]\n");
        return 2;
    }

    std::vector<Row> rows;
    if (server_requests) {
        const auto [helper, bare] = *server_requests;
        rows.push_back({"server requests per GET /healthz", fmt::format("{:.1f}", helper), fmt::format("{:.1f}", bare),
                        fmt::format("{:.2f}", helper / bare), ratio_row_goal("ratio <= 1.5", helper / bare <= 1.5)});
    }
    {
        Servers servers;
        // Blocks of each in turn, so that load on the machine falls on both alike.
        std::vector<double> helper_lat, echo_lat;
        for (int block = 0; block < kLatencyBlocks; ++block) {
            std::ranges::copy(latencies(servers.helper.pipe_name(), kRoundTrips / kLatencyBlocks),
                              std::back_inserter(helper_lat));
            std::ranges::copy(latencies(servers.echo_pipe, kRoundTrips / kLatencyBlocks), std::back_inserter(echo_lat));
        }
        const double h50 = percentile(helper_lat, 0.50), e50 = percentile(echo_lat, 0.50);
        const double h99 = percentile(helper_lat, 0.99), e99 = percentile(echo_lat, 0.99);
        rows.push_back({"GET /healthz p50 (us)", fmt::format("{:.0f}", h50), fmt::format("{:.0f}", e50),
                        fmt::format("{:.2f}", h50 / e50), ratio_row_goal("ratio <= 1.5", h50 / e50 <= 1.5)});
        rows.push_back({"GET /healthz p99 (us)", fmt::format("{:.0f}", h99), fmt::format("{:.0f}", e99),
                        fmt::format("{:.2f}", h99 / e99), "-"});

        std::vector<double> helper_runs, echo_runs;
        for (int round = 0; round < kThroughputRounds; ++round) {
            helper_runs.push_back(throughput(servers.helper.pipe_name()));
            echo_runs.push_back(throughput(servers.echo_pipe));
        }
        const double helper_rps = percentile(helper_runs, 0.5), echo_rps = percentile(echo_runs, 0.5);
        rows.push_back({"16 clients (req/s)", fmt::format("{:.0f}", helper_rps), fmt::format("{:.0f}", echo_rps),
                        fmt::format("{:.2f}", helper_rps / echo_rps),
                        ratio_row_goal("ratio >= 0.8", helper_rps / echo_rps >= 0.8)});
    }

    add_start_rows(rows);

    const double slow_p99 = health_p99_behind_slow_starts();
    rows.push_back({"GET /healthz p99 with four slow starts in flight (ms)", fmt::format("{:.1f}", slow_p99), "-", "-",
                    "<= 50 ms: " + mark(slow_p99 >= 0 && slow_p99 <= 50)});

    add_core_output_rows(rows);
    if (output_requests)
        rows.push_back({"server requests per MiB of core output: the core's (the helper's)",
                        fmt::format("{:.1f} ({:.1f})", output_requests->first, output_requests->second),
                        "32 floor (16 writes of 64 KiB and their waits)", "-", "-"});

    const auto [rolling_rate, raw_rate] = logger_rates();
    rows.push_back({"logger (records/s)", fmt::format("{:.0f}", rolling_rate), fmt::format("{:.0f}", raw_rate),
                    fmt::format("{:.2f}", rolling_rate / raw_rate),
                    ratio_row_goal("ratio >= 0.8", rolling_rate / raw_rate >= 0.8)});

    print_table(rows);
    return 0;
}
