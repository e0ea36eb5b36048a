// Measures the helper against baselines of the same shape and prints a table.
// Run through scripts/bench.sh, pinned to one CPU:
//   bench_zorv.exe server-requests TRACE   under a `wineserver -f -d1` whose
//       standard error is TRACE: prints the server requests per GET /healthz
//       of the helper and of the bare server, "HELPER BARE";
//   bench_zorv.exe [--server-requests HELPER BARE]   the timings, as a table
//       that carries the counts when given.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <optional>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "common/clock.hpp"
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

// Requests per GET /healthz, one client at a time: the helper's over
// [marks[0], marks[1]), the bare server's over [marks[1], marks[2]). The same
// with 16 concurrent clients follows, with the clients' own requests, on
// standard error: where concurrency costs more.
int count_server_requests(const fs::path& trace_path) {
    Servers servers;
    std::array<std::uintmax_t, 5> marks{};
    marks[0] = trace_mark(trace_path);
    for (int i = 0; i < kCountedRequests; ++i) round_trip(servers.helper.pipe_name());
    marks[1] = trace_mark(trace_path);
    for (int i = 0; i < kCountedRequests; ++i) round_trip(servers.echo_pipe);
    marks[2] = trace_mark(trace_path);
    const double helper_served = throughput(servers.helper.pipe_name()) > 0 ? kConcurrentClients * kRequestsPerClient : 0;
    marks[3] = trace_mark(trace_path);
    const double echo_served = throughput(servers.echo_pipe) > 0 ? kConcurrentClients * kRequestsPerClient : 0;
    marks[4] = trace_mark(trace_path);

    std::ifstream file(trace_path, std::ios::binary);
    bench::ServerTrace trace(is_linux_task_of);
    std::string line;
    std::uintmax_t offset = 0;
    while (offset < marks[4] && std::getline(file, line)) {
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
    std::printf("%.1f %.1f\n", helper, bare);
    return 0;
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
    return {starts, stops};
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
// lines: through the helper's drain into sing-box.log, and straight into a
// file of its own.
constexpr std::uint64_t kFloodBytes = 671'088 * 100;  // 64 MiB of whole 100-byte lines

std::optional<double> reported_rate(const std::string& text) {
    const auto at = text.find("fake-core: flooded ");
    if (at == std::string::npos) return std::nullopt;
    unsigned long long bytes = 0, micros = 0;
    if (std::sscanf(text.c_str() + at, "fake-core: flooded %llu bytes in %llu us", &bytes, &micros) != 2 || micros == 0)
        return std::nullopt;
    return static_cast<double>(bytes) / (static_cast<double>(micros) / 1e6);
}

std::pair<double, double> core_output_rates() {
    const std::string config = fmt::format(R"({{"fake":{{"flood_bytes":{},"exit_after_ms":0}}}})", kFloodBytes);
    HelperOptions options;
    options.label = "bench-core-output";
    options.copy_core_double = true;
    double through_helper = 0;
    {
        HelperUnderTest helper(options);
        (void)helper.call("POST", "/v1/runtime/start", nlohmann::json{{"configContent", config}});
        const auto deadline = Clock::now() + std::chrono::seconds(120);
        std::optional<double> rate;
        while (!(rate = reported_rate(read_file(helper.core_log_file()))) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        through_helper = rate.value_or(0);
    }
    TestDir dir("bench-core-direct");
    write_file(dir / "config.json", config);
    ProcessOptions direct;
    direct.args = {"run", "-c", win32::path_text(dir / "config.json")};
    // Its standard output and error are files of their own.
    const RunResult ran = run_program(double_exe("fake_core"), direct, std::chrono::seconds(120));
    return {through_helper, reported_rate(ran.err).value_or(0)};
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
    std::optional<std::pair<double, double>> server_requests;
    if (args.size() == 3 && args[0] == "--server-requests") {
        server_requests.emplace(std::stod(args[1]), std::stod(args[2]));
    } else if (!args.empty()) {
        std::fprintf(stderr, "usage: bench_zorv.exe [server-requests TRACE | --server-requests HELPER BARE]\n");
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

    const auto [starts, stops] = start_and_stop_times();
    const double start_ms = percentile(starts, 0.5) / 1000, stop_ms = percentile(stops, 0.5) / 1000;
    rows.push_back({"start inline config p50 (ms)", fmt::format("{:.1f}", start_ms), "80 ms floor",
                    fmt::format("+{:.1f} ms", start_ms - 80), "<= 105 ms: " + mark(start_ms <= 105)});
    rows.push_back({"stop of exited core p50 (ms)", fmt::format("{:.1f}", stop_ms), "-", "-",
                    "<= 60 ms: " + mark(stop_ms <= 60)});

    const double slow_p99 = health_p99_behind_slow_starts();
    rows.push_back({"GET /healthz p99 with four slow starts in flight (ms)", fmt::format("{:.1f}", slow_p99), "-", "-",
                    "<= 50 ms: " + mark(slow_p99 >= 0 && slow_p99 <= 50)});

    const auto [drained_rate, direct_rate] = core_output_rates();
    rows.push_back({"core output through the helper (MB/s)", fmt::format("{:.1f}", drained_rate / 1e6),
                    fmt::format("{:.1f}", direct_rate / 1e6), fmt::format("{:.2f}", drained_rate / direct_rate),
                    ratio_row_goal("ratio >= 0.8", direct_rate > 0 && drained_rate / direct_rate >= 0.8)});

    const auto [rolling_rate, raw_rate] = logger_rates();
    rows.push_back({"logger (records/s)", fmt::format("{:.0f}", rolling_rate), fmt::format("{:.0f}", raw_rate),
                    fmt::format("{:.2f}", rolling_rate / raw_rate),
                    ratio_row_goal("ratio >= 0.8", rolling_rate / raw_rate >= 0.8)});

    print_table(rows);
    return 0;
}
