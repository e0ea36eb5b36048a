// Load and fault suite for the real helper: a thousand broken frames, long
// and wide runs of requests, the helper's own sudden death while a core runs,
// a core that ignores the stop, and system tools that are not there.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <latch>
#include <map>
#include <random>
#include <thread>

#include "api/framing.hpp"
#include "pipe_client/pipe_client.hpp"
#include "support/process_usage.hpp"
#include "support/raw_pipe.hpp"
#include "support/test_env.hpp"

namespace zorv::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

long long elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

void report(const std::string& what, Clock::time_point since) {
    std::cout << "[ measure  ] " << what << ": " << elapsed_ms(since) << " ms\n";
}

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

// Waits until the helper's log holds `needle` at least `expected` times; the count then.
std::size_t wait_for_count(HelperUnderTest& helper, const std::string& needle, std::size_t expected,
                           Clock::duration limit = 10s) {
    const auto deadline = Clock::now() + limit;
    std::size_t count = count_of(helper.log_text(), needle);
    while (count < expected && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        count = count_of(helper.log_text(), needle);
    }
    return count;
}

Result<std::uint16_t> healthz_status(const std::string& pipe_name) {
    auto reply = pipe_client::call(pipe_name, "GET", "/healthz", std::nullopt, 10s);
    if (!reply) return fail(reply.error());
    return reply->status;
}

// A helper of its own for each test, without the tool doubles.
HelperOptions helper_options(const std::string& label, bool with_core = false) {
    return HelperOptions{.label = label, .env = {}, .copy_core_double = with_core, .copy_tool_doubles = false};
}

constexpr const char* kConnectionError = "] Pipe connection handling error: ";
constexpr const char* kVerified = "] Named pipe connection verified for client PID: ";

// ---------------------------------------------------------------------------
// Broken frames, made from a seeded generator so that a failure can be replayed.

// How a broken frame ends: the helper closes by itself, or the client stops
// halfway and closes (the helper would wait for the rest for ever).
enum class Ending { HelperCloses, ClientCloses };

struct BrokenFrame {
    std::string bytes;
    Ending ending = Ending::HelperCloses;
};

using Rng = std::mt19937;

std::size_t uniform(Rng& rng, std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(rng);
}

template <typename T>
const T& pick(Rng& rng, const std::vector<T>& choices) {
    return choices[uniform(rng, 0, choices.size() - 1)];
}

std::string random_bytes(Rng& rng, std::size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(uniform(rng, 0, 255));
    return bytes;
}

std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
}

BrokenFrame complete(const std::string& payload) { return {api::encode_frame(payload), Ending::HelperCloses}; }

const std::string kHealthz = R"({"method":"GET","path":"/healthz"})";

BrokenFrame zero_length(Rng&) { return {length_prefix(0), Ending::HelperCloses}; }

BrokenFrame truncated_length(Rng& rng) { return {random_bytes(rng, uniform(rng, 1, 3)), Ending::ClientCloses}; }

BrokenFrame truncated_payload(Rng& rng) {
    const std::vector<std::string> payloads = {
        kHealthz,
        json{{"method", "POST"}, {"path", "/v1/runtime/stop"}, {"body", {{"operationId", "op-cut"}}}}.dump(),
        json{{"method", "GET"}, {"path", "/healthz"}, {"body", std::string(70000, 'b')}}.dump(),
    };
    const std::string& payload = pick(rng, payloads);
    if (uniform(rng, 0, 1) == 0)  // the payload stops early
        return {length_prefix(static_cast<std::uint32_t>(payload.size())) +
                    payload.substr(0, uniform(rng, 0, payload.size() - 1)),
                Ending::ClientCloses};
    // the length promises more than ever comes
    return {length_prefix(static_cast<std::uint32_t>(payload.size() + uniform(rng, 1, 1 << 16))) + payload,
            Ending::ClientCloses};
}

BrokenFrame oversized_length(Rng& rng) {
    const std::uint32_t over = api::kMaxRequestSize + 1;
    const std::vector<std::uint32_t> lengths = {over, 0xFFFFFFFFu,
                                                static_cast<std::uint32_t>(uniform(rng, over, 0xFFFFFFFFu))};
    // Only the prefix goes out: a helper that waited for the payload would never close.
    return {length_prefix(pick(rng, lengths)), Ending::HelperCloses};
}

BrokenFrame invalid_utf8(Rng& rng) {
    const std::vector<std::string> sequences = {
        "\xff", "\xfe", "\x80", "\xbf",                 // bytes that never occur, lone continuations
        "\xc0\x80", "\xc1\xbf", "\xe0\x80\xaf", "\xf0\x80\x80\xaf",  // over-long forms
        "\xed\xa0\x80", "\xed\xbf\xbf",                 // encoded surrogates
        "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80",     // beyond U+10FFFF
        "\xc3", "\xe2\x82", "\xf0\x9f\x98",             // sequences cut short
        "\\ud800", "\\udfff", "\\ud83d\\u0041",         // escaped lone surrogates
    };
    const std::string& bad = pick(rng, sequences);
    switch (uniform(rng, 0, 4)) {
        case 0: return complete(R"({"method":"GE)" + bad + R"(T","path":"/healthz"})");
        case 1: return complete(R"({"method":"GET","path":"/healthz)" + bad + R"("})");
        case 2: return complete(R"({"method":"GET","path":"/healthz","note":")" + bad + R"("})");
        case 3: return complete(R"({"method":"GET","path":"/healthz","body":{"k)" + bad + R"(":1}})");
        default: return complete(R"({"method":"GET",)" + bad + R"("path":"/healthz"})");
    }
}

BrokenFrame deep_nesting(Rng& rng) {
    const std::vector<std::size_t> depths = {129, 1000, 100000, uniform(rng, 200, 100000)};
    const std::size_t depth = pick(rng, depths);
    const std::string request = R"({"method":"GET","path":"/healthz","body":)";
    switch (uniform(rng, 0, 3)) {
        case 0: return complete(std::string(depth, '['));
        case 1: return complete(std::string(depth, '[') + std::string(depth, ']'));
        // A request the helper would answer, but for the depth of its body.
        case 2: return complete(request + std::string(depth, '[') + std::string(depth, ']') + "}");
        default: return complete(request + repeat(R"({"a":)", depth) + "1" + std::string(depth, '}') + "}");
    }
}

BrokenFrame huge_string(Rng& rng) {
    // A few MB each; placed so that the error names something small.
    const std::string huge(uniform(rng, 1u << 20, 4u << 20), static_cast<char>('a' + uniform(rng, 0, 25)));
    switch (uniform(rng, 0, 3)) {
        case 0: return complete(R"({"method":5,"path":")" + huge + R"("})");
        case 1: return complete(R"({"note":")" + huge + R"(","path":"/healthz"})");
        case 2: return complete(R"({"method":")" + huge + R"(","path":"/healthz","method":"GET"})");
        default: return complete(R"(["GET",{"k":")" + huge + R"("},null])");
    }
}

BrokenFrame wrong_types(Rng& rng) {
    const std::vector<std::string> not_text = {"5", "-1", "1.5", "true", "false", "null",
                                               "[]", "{}", R"(["GET"])", R"({"x":1})"};
    const std::string& value = pick(rng, not_text);
    switch (uniform(rng, 0, 4)) {
        case 0: return complete(R"({"method":)" + value + R"(,"path":"/healthz"})");
        case 1: return complete(R"({"method":"GET","path":)" + value + "}");
        case 2: return complete(pick(rng, std::vector<std::string>{R"("GET /healthz")", "42", "true", "null", "-0",
                                                                  "1e3", R"("")"}));
        case 3:
            return complete(uniform(rng, 0, 1) == 0 ? "[" + value + R"(,"/healthz"])" : R"(["GET",)" + value + "]");
        default:
            return complete(pick(rng, std::vector<std::string>{"[]", R"(["GET"])", R"(["GET","/healthz",null,1])"}));
    }
}

BrokenFrame missing_fields(Rng& rng) {
    return complete(pick(rng, std::vector<std::string>{
                                  "{}",
                                  R"({"method":"GET"})",
                                  R"({"path":"/healthz"})",
                                  R"({"body":{"method":"GET","path":"/healthz"}})",
                                  R"({"Method":"GET","Path":"/healthz"})",  // keys match exactly
                                  R"({"method ":"GET","path":"/healthz"})",
                              }));
}

BrokenFrame duplicate_keys(Rng& rng) {
    // Unknown keys around the duplicates, so that they are not always neighbours.
    std::string filler;
    for (std::size_t i = uniform(rng, 0, 3); i > 0; --i) filler += R"("x)" + std::to_string(i) + R"(":0,)";
    const std::vector<std::string> payloads = {
        R"({"method":"GET",)" + filler + R"("method":"GET","path":"/healthz"})",
        R"({"method":"GET","path":"/healthz",)" + filler + R"("path":"/healthz"})",
        R"({"method":"GET","path":"/healthz","body":null,)" + filler + R"("body":null})",
        R"({"path":"/x","method":"POST",)" + filler + R"("path":"/healthz","method":"GET"})",
        R"({"method":"GET",)" + filler + R"("\u006dethod":"GET","path":"/healthz"})",  // the same key, escaped
    };
    return complete(pick(rng, payloads));
}

BrokenFrame syntax_errors(Rng& rng) {
    return complete(pick(rng, std::vector<std::string>{
                                  R"({"method":"GET","path":"/healthz",})",
                                  R"({"method":"GET","path":"/healthz"} x)",
                                  R"({"method":"GET","path":"/healthz"}{})",
                                  R"({'method':'GET','path':'/healthz'})",
                                  R"({method:"GET",path:"/healthz"})",
                                  R"({"method":"GET","path":"/healthz"/* note */})",
                                  "// note\n" + kHealthz,
                                  R"({"method":"GET","path":"/healthz","n":NaN})",
                                  R"({"method":"GET","path":"/healthz","n":Infinity})",
                                  R"({"method":"GET","path":"/healthz","n":1e99999})",
                                  R"({"method":"GET","path":"/healthz","n":01})",
                                  R"({"method":"GET","path":"/healthz","n":-})",
                                  R"({"method":"GET","path":"/healthz\u12"})",
                                  R"({"method":"GET","path":"/healthz\q"})",
                                  std::string(R"({"method":"GET","path":"/heal)") + '\x01' + R"(thz"})",
                                  std::string(R"({"method":"GET","path":"/heal)") + '\0' + R"(thz"})",
                                  R"({"method":"GET","path":"/healthz")",
                                  R"({"method":"GET" "path":"/healthz"})",
                                  R"({"method"="GET","path"="/healthz"})",
                                  " \r\n\t ",
                              }));
}

BrokenFrame garbage(Rng& rng) { return complete(random_bytes(rng, uniform(rng, 1, 4096))); }

// Each kind: how many of the thousand, the start of the connection error the
// helper logs for it, and how one is made.
struct BrokenKind {
    const char* name;
    std::size_t count;
    const char* error;
    BrokenFrame (*make)(Rng&);
};

const std::vector<BrokenKind> kBrokenKinds = {
    {"zero length", 40, "Invalid JSON request", zero_length},
    {"truncated length", 80, "Failed to read frame length", truncated_length},
    {"truncated payload", 100, "Failed to read payload", truncated_payload},
    {"oversized length", 80, "Frame size too large: ", oversized_length},
    {"invalid UTF-8", 150, "Invalid JSON request", invalid_utf8},
    {"deep nesting", 60, "Invalid JSON request", deep_nesting},
    {"huge string", 12, "Invalid JSON request", huge_string},
    {"wrong types", 150, "Invalid JSON request", wrong_types},
    {"missing fields", 60, "Invalid JSON request", missing_fields},
    {"duplicate keys", 90, "Invalid JSON request", duplicate_keys},
    {"syntax errors", 98, "Invalid JSON request", syntax_errors},
    {"garbage bytes", 80, "Invalid JSON request", garbage},
};

// The start of a frame, for failure messages.
std::string printable_start(const std::string& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes.substr(0, 80)) {
        if (c >= 0x20 && c < 0x7f) {
            out.push_back(static_cast<char>(c));
        } else {
            out += "\\x";
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
    return out + (bytes.size() > 80 ? "..." : "") + " (" + std::to_string(bytes.size()) + " bytes)";
}

TEST(LoadFault, AThousandBrokenFramesAreEachClosedWithoutAReplyAndTheHelperKeepsServing) {
    HelperUnderTest helper(helper_options("broken-frames"));
    constexpr std::uint32_t kSeed = 20240817;
    Rng rng(kSeed);

    // The kinds interleaved in a random order.
    std::vector<const BrokenKind*> order;
    for (const auto& kind : kBrokenKinds) order.insert(order.end(), kind.count, &kind);
    ASSERT_EQ(order.size(), 1000u);
    std::shuffle(order.begin(), order.end(), rng);

    // Connections the helper has taken so far. A client that closes before
    // the helper took its connection would only make the listener's connect
    // fail, so the truncated frames wait for their verification first.
    std::size_t accepted = count_of(helper.log_text(), kVerified);

    const auto begun = Clock::now();
    for (std::size_t i = 0; i < order.size(); ++i) {
        const BrokenKind& kind = *order[i];
        const BrokenFrame frame = kind.make(rng);
        const std::string label = "frame " + std::to_string(i) + " (" + kind.name + ", seed " +
                                  std::to_string(kSeed) + "): " + printable_start(frame.bytes);

        auto client = RawPipeClient::connect(helper.pipe_name(), 10s);
        ASSERT_TRUE(client) << label << ": " << client.error().one_line();
        ++accepted;
        auto sent = client->send(frame.bytes, 30s);
        ASSERT_TRUE(sent) << label << ": " << sent.error().one_line();
        if (frame.ending == Ending::HelperCloses) {
            const ReplyOutcome reply = client->read_until_closed(10s);
            ASSERT_TRUE(reply.closed) << label << ": the helper kept the connection open";
            ASSERT_EQ(reply.bytes.size(), 0u) << label << ": replied " << printable_start(reply.bytes);
        } else {
            ASSERT_EQ(wait_for_count(helper, kVerified, accepted), accepted) << label;
        }
        client->close();

        if ((i + 1) % 50 == 0) {
            auto status = healthz_status(helper.pipe_name());
            ASSERT_TRUE(status) << "after " << label << ": " << status.error().one_line();
            ASSERT_EQ(*status, 200) << "after " << label;
            ++accepted;
        }
    }
    report("1,000 broken frames with 20 health checks", begun);

    // Every connection ended in the error its kind calls for, none otherwise.
    EXPECT_EQ(wait_for_count(helper, kConnectionError, order.size()), order.size());
    const std::string log = helper.log_text();
    std::map<std::string, std::size_t> expected;
    for (const auto& kind : kBrokenKinds) expected[kind.error] += kind.count;
    for (const auto& [error, count] : expected)
        EXPECT_EQ(count_of(log, kConnectionError + error), count) << error;
    EXPECT_EQ(count_of(log, kConnectionError), order.size());
    EXPECT_EQ(count_of(log, "Rejected unauthorized named pipe client"), 0u);
    EXPECT_EQ(count_of(log, "Named pipe connect error"), 0u);

    auto status = healthz_status(helper.pipe_name());
    ASSERT_TRUE(status) << status.error().one_line();
    EXPECT_EQ(*status, 200);
    EXPECT_TRUE(helper.process().running());
}

// ---------------------------------------------------------------------------
// Handles and memory over a long run, and many clients at once.

// Polls until `ok` holds for the helper's usage, or the time runs out; the last sample.
ProcessUsage settled_usage(HelperUnderTest& helper, const std::function<bool(const ProcessUsage&)>& ok,
                           Clock::duration limit = 3s) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        auto usage = process_usage(helper.process().handle());
        if (!usage) {
            ADD_FAILURE() << usage.error().one_line();
            return {};
        }
        if (ok(*usage) || Clock::now() >= deadline) return *usage;
        std::this_thread::sleep_for(50ms);
    }
}

ProcessUsage current_usage(HelperUnderTest& helper) {
    return settled_usage(helper, [](const ProcessUsage&) { return true; });
}

// A run of requests may leave a few handles in caches and some heap in the
// allocator's free lists, but no more than this: growth per request would
// show as hundreds of handles and megabytes after 10,000.
constexpr std::uint32_t kHandleMargin = 16;
constexpr std::uint64_t kPrivateBytesMargin = 2u << 20;  // 2 MiB

TEST(LoadFault, TenThousandSequentialRequestsLeaveHandlesAndMemoryFlat) {
    HelperUnderTest helper(helper_options("sequential"));
    for (int i = 0; i < 500; ++i) {
        auto status = healthz_status(helper.pipe_name());
        ASSERT_TRUE(status && *status == 200) << "warm-up request " << i;
    }
    const ProcessUsage before = current_usage(helper);
    ASSERT_GT(before.handles, 0u) << "the handle count cannot be read";
    ASSERT_GT(before.private_bytes, 0u) << "private bytes cannot be read";

    const auto begun = Clock::now();
    for (int i = 0; i < 10000; ++i) {
        auto status = healthz_status(helper.pipe_name());
        ASSERT_TRUE(status) << "request " << i << ": " << status.error().one_line();
        ASSERT_EQ(*status, 200) << "request " << i;
    }
    report("10,000 sequential GET /healthz", begun);

    // The last connection's task closes its instance just after the reply.
    const ProcessUsage after = settled_usage(helper, [&](const ProcessUsage& usage) {
        return usage.handles <= before.handles + kHandleMargin &&
               usage.private_bytes <= before.private_bytes + kPrivateBytesMargin;
    });
    std::cout << "[ measure  ] handles " << before.handles << " -> " << after.handles << ", private bytes "
              << before.private_bytes << " -> " << after.private_bytes << "\n";
    EXPECT_LE(after.handles, before.handles + kHandleMargin);
    EXPECT_LE(after.private_bytes, before.private_bytes + kPrivateBytesMargin);
}

TEST(LoadFault, SilentClientsDoNotKeepConcurrentClientsFromBeingServed) {
    constexpr std::size_t kSilent = 16;
    constexpr std::size_t kServed = 48;
    HelperUnderTest helper(helper_options("concurrent"));
    const ProcessUsage before = current_usage(helper);
    const std::size_t verified_before = count_of(helper.log_text(), kVerified);

    std::vector<RawPipeClient> silent;
    for (std::size_t i = 0; i < kSilent; ++i) {
        auto client = RawPipeClient::connect(helper.pipe_name(), 10s);
        ASSERT_TRUE(client) << "silent client " << i << ": " << client.error().one_line();
        silent.push_back(std::move(*client));
    }
    // Each has a connection task of its own, waiting for a length, and holds
    // its instance: the count sees them (and so would see a leaked one).
    ASSERT_EQ(wait_for_count(helper, kVerified, verified_before + kSilent), verified_before + kSilent);
    const ProcessUsage during = current_usage(helper);
    EXPECT_GE(during.handles, before.handles + kSilent);

    const auto begun = Clock::now();
    std::vector<std::string> outcomes(kServed);
    std::latch go(kServed);
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < kServed; ++i) {
        clients.emplace_back([&, i] {
            go.arrive_and_wait();
            auto reply = pipe_client::call(helper.pipe_name(), "GET", "/healthz", std::nullopt, 30s);
            if (!reply) outcomes[i] = reply.error().one_line();
            else outcomes[i] = std::to_string(reply->status) + " " + reply->body.dump();
        });
    }
    for (auto& client : clients) client.join();
    report("48 concurrent GET /healthz beside 16 silent clients", begun);
    for (std::size_t i = 0; i < kServed; ++i)
        EXPECT_THAT(outcomes[i], ::testing::StartsWith("200 ")) << "client " << i;

    // Closing the silent ones ends their tasks and frees their instances.
    silent.clear();
    const std::string ended = std::string(kConnectionError) + "Failed to read frame length";
    EXPECT_EQ(wait_for_count(helper, ended, kSilent), kSilent);
    EXPECT_EQ(count_of(helper.log_text(), kConnectionError), kSilent);
    const ProcessUsage after = settled_usage(
        helper, [&](const ProcessUsage& usage) { return usage.handles <= before.handles + kHandleMargin; });
    std::cout << "[ measure  ] handles " << before.handles << " -> " << during.handles << " with the silent ones -> "
              << after.handles << "\n";
    EXPECT_LE(after.handles, before.handles + kHandleMargin);
    auto status = healthz_status(helper.pipe_name());
    ASSERT_TRUE(status) << status.error().one_line();
    EXPECT_EQ(*status, 200);
}

// A frame's buffer grows only as its bytes arrive, and a frame has a deadline:
// connections that announce the largest request and then say nothing cost
// next to no memory, and each is closed once the deadline has passed.
TEST(LoadFault, SilentClientsAnnouncingTenMiBCostNoMemoryAndAreClosedAtTheDeadline) {
    constexpr std::size_t kSilent = 150;
    constexpr std::uint64_t kMemoryMargin = 8u << 20;  // one announced frame would be 10 MiB
    HelperUnderTest helper(helper_options("announcers"));
    const ProcessUsage idle = current_usage(helper);
    const std::size_t verified_before = count_of(helper.log_text(), kVerified);

    const auto begun = Clock::now();
    std::vector<RawPipeClient> silent;
    for (std::size_t i = 0; i < kSilent; ++i) {
        auto client = RawPipeClient::connect(helper.pipe_name(), 10s);
        ASSERT_TRUE(client) << "client " << i << ": " << client.error().one_line();
        ASSERT_TRUE(client->send(length_prefix(api::kMaxRequestSize), 5s)) << "client " << i;
        silent.push_back(std::move(*client));
    }
    ASSERT_EQ(wait_for_count(helper, kVerified, verified_before + kSilent, 30s), verified_before + kSilent);
    const ProcessUsage during = current_usage(helper);
    report("150 connections announcing 10 MiB each", begun);
    std::cout << "[ measure  ] private bytes idle " << idle.private_bytes << ", with the announcers "
              << during.private_bytes << "; handles " << idle.handles << " -> " << during.handles << "\n";
    EXPECT_LE(during.private_bytes, idle.private_bytes + kMemoryMargin);

    // The helper closes each one, without a reply.
    for (std::size_t i = 0; i < kSilent; ++i) {
        const ReplyOutcome outcome = silent[i].read_until_closed(40s);
        EXPECT_TRUE(outcome.closed) << "client " << i;
        EXPECT_TRUE(outcome.bytes.empty()) << "client " << i;
    }
    report("until the last was closed", begun);
    const std::string expired =
        std::string(kConnectionError) + "Request frame not received within 10 s; closing the connection";
    EXPECT_EQ(wait_for_count(helper, expired, kSilent), kSilent);
    EXPECT_EQ(count_of(helper.log_text(), "[WARN ] [zorv_helper::pipe_server] Pipe connection handling error: Request "
                                          "frame not received within 10 s"),
              kSilent);
    silent.clear();

    const ProcessUsage after = settled_usage(
        helper, [&](const ProcessUsage& usage) { return usage.handles <= idle.handles + kHandleMargin; });
    EXPECT_LE(after.handles, idle.handles + kHandleMargin);
    auto status = healthz_status(helper.pipe_name());
    ASSERT_TRUE(status) << status.error().one_line();
    EXPECT_EQ(*status, 200);
}

// ---------------------------------------------------------------------------
// The core when the helper dies.

std::string fake_config(const json& fake) { return json{{"fake", fake}}.dump(); }

// The core, opened from its pid while it is still known to run, so that the
// pid cannot be reused meanwhile. Terminated at the end if it is still there.
class CoreWatch {
public:
    explicit CoreWatch(std::uint32_t pid)
        : process_(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid)) {}
    ~CoreWatch() {
        if (process_ && !gone_within(0ms)) ::TerminateProcess(process_.get(), 1);
    }
    bool opened() const { return static_cast<bool>(process_); }
    bool gone_within(std::chrono::milliseconds limit) const {
        return ::WaitForSingleObject(process_.get(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
    }

private:
    win32::UniqueHandle process_;
};

TEST(LoadFault, KillingTheHelperTakesTheCoreWithIt) {
    HelperUnderTest helper(helper_options("killed", true));
    // A core that would not even heed a break: only the job can end it.
    const api::PipeResponse started = helper.call(
        "POST", "/v1/runtime/start", json{{"configContent", fake_config({{"ignore_break", true}})}});
    ASSERT_EQ(started.status, 200) << started.body.dump();
    const CoreWatch core(started.body["pid"].get<std::uint32_t>());
    ASSERT_TRUE(core.opened()) << ::GetLastError();
    ASSERT_FALSE(core.gone_within(0ms));

    const auto begun = Clock::now();
    ASSERT_TRUE(::TerminateProcess(helper.process().handle(), 1));
    ASSERT_TRUE(helper.process().wait(10s));
    EXPECT_TRUE(core.gone_within(10s)) << "the core outlived the helper";
    report("core gone after the helper was killed", begun);
}

// ---------------------------------------------------------------------------
// The stop of a core that ignores the break.

TEST(LoadFault, ACoreThatIgnoresTheStopIsForceKilled) {
    HelperUnderTest helper(helper_options("ignores-stop", true));
    const api::PipeResponse started = helper.call(
        "POST", "/v1/runtime/start", json{{"configContent", fake_config({{"ignore_break", true}})}});
    ASSERT_EQ(started.status, 200) << started.body.dump();
    const std::string pid = std::to_string(started.body["pid"].get<std::uint32_t>());
    const CoreWatch core(started.body["pid"].get<std::uint32_t>());
    ASSERT_TRUE(core.opened()) << ::GetLastError();

    const auto begun = Clock::now();
    const api::PipeResponse stopped = helper.call("POST", "/v1/runtime/stop", json::object());
    const auto took = Clock::now() - begun;
    report("stop of a core that ignores the break", begun);
    ASSERT_EQ(stopped.status, 200) << stopped.body.dump();
    EXPECT_EQ(stopped.body["running"], false);
    // The helper waited for the kill to finish before it replied.
    EXPECT_TRUE(core.gone_within(0ms));

    const std::string log = helper.log_text();
    constexpr auto npos = std::string::npos;
    EXPECT_THAT(log, HasSubstr("sing-box pid=" + pid + " did not exit gracefully, force killing"));
    EXPECT_THAT(log, ::testing::Not(HasSubstr("exited gracefully in")));
    if (log.find("Sent CTRL_BREAK_EVENT to sing-box process pid=" + pid) != npos) {
        // The break went out and was ignored for the whole 2 s window.
        EXPECT_GE(took, 1900ms);
        EXPECT_LT(took, 10s);
    } else {
        // Wine's console server raises CTRL_C_EVENT only, and depending on
        // the console the tests run under the attach may fail first: the
        // break is never raised, so there is no window to wait out and the
        // kill follows at once. The window itself is covered by the stop
        // unit tests.
        const bool not_sent = log.find("Failed to generate CTRL_BREAK_EVENT for sing-box pid=" + pid) != npos;
        const bool not_attached = log.find("Failed to attach console to sing-box process pid=" + pid) != npos;
        EXPECT_TRUE(not_sent || not_attached) << log;
        EXPECT_LT(took, 1900ms);
    }
    EXPECT_EQ(helper.call("GET", "/v1/runtime/status").body["running"], false);
}

// ---------------------------------------------------------------------------
// System tools that are not there. pnputil.exe only runs at service install
// and removal, which the service tests cover; here the firewall's netsh.exe is
// exercised through start, status and stop of a core with a LAN listener.

const json kLanConfig = {
    {"inbounds", json::array({{{"type", "mixed"}, {"listen", "0.0.0.0"}, {"listen_port", 7890}}})}};

// Start, status and stop behave as if the firewall step had succeeded.
void start_status_stop_with_lan_port(HelperUnderTest& helper) {
    const api::PipeResponse started =
        helper.call("POST", "/v1/runtime/start", json{{"configContent", kLanConfig.dump()}});
    ASSERT_EQ(started.status, 200) << started.body.dump() << "\n" << helper.log_text();
    EXPECT_EQ(started.body["running"], true);
    const CoreWatch core(started.body["pid"].get<std::uint32_t>());

    const json status = helper.call("GET", "/v1/runtime/status").body;
    EXPECT_EQ(status["running"], true);
    EXPECT_EQ(status["pid"], started.body["pid"]);

    const api::PipeResponse stopped = helper.call("POST", "/v1/runtime/stop", json::object());
    ASSERT_EQ(stopped.status, 200) << stopped.body.dump();
    EXPECT_EQ(stopped.body["running"], false);
    EXPECT_TRUE(core.gone_within(5s));
    EXPECT_EQ(helper.call("GET", "/v1/runtime/status").body["running"], false);
}

bool system_has(const std::string& program) {
    wchar_t system_dir[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(system_dir, MAX_PATH);
    return length > 0 && fs::exists(fs::path(std::wstring(system_dir, length)) / win32::to_wide(program));
}

TEST(LoadFault, WithoutToolDoublesTheSystemNetshAnswersAndTheRuntimeBehaves) {
    HelperUnderTest helper(helper_options("no-tool-doubles", true));
    ASSERT_FALSE(fs::exists(helper.service_dir() / "netsh.exe"));
    ASSERT_FALSE(fs::exists(helper.service_dir() / "pnputil.exe"));
    const auto begun = Clock::now();
    start_status_stop_with_lan_port(helper);
    report("start, status and stop with the system's netsh.exe", begun);

    // Deleted at start-up, before the spawn, inside the add, and after the
    // stop; added once.
    const std::string log = helper.log_text();
    if (system_has("netsh.exe")) {
        // Wine's own netsh.exe is a stub: it runs, and its exit code is logged.
        EXPECT_EQ(count_of(log, "[firewall] Removed firewall rule: status=Some("), 4u) << log;
        EXPECT_EQ(count_of(log, "[firewall] Added firewall rule for port 7890: status=Some("), 1u) << log;
        EXPECT_EQ(count_of(log, "[firewall] Failed to"), 0u) << log;
    } else {
        EXPECT_EQ(count_of(log, "[firewall] Failed to remove firewall rule: "), 4u) << log;
        EXPECT_EQ(count_of(log, "[firewall] Failed to add firewall rule: "), 1u) << log;
    }
}

TEST(LoadFault, ANetshPlantedBesideTheHelperIsNeverStarted) {
    HelperUnderTest helper(helper_options("netsh-planted", true));
    // A search by bare name would find this folder first and fail to start
    // it; the helper starts the system directory's netsh.exe instead.
    fs::create_directories(helper.service_dir() / "netsh.exe");
    const auto begun = Clock::now();
    start_status_stop_with_lan_port(helper);
    report("start, status and stop with a folder named netsh.exe beside the helper", begun);

    const std::string log = helper.log_text();
    // At start-up, before the spawn, inside the add, after the stop.
    EXPECT_EQ(count_of(log, "[firewall] Removed firewall rule: status=Some("), 4u) << log;
    EXPECT_EQ(count_of(log, "[firewall] Added firewall rule for port 7890: status=Some("), 1u) << log;
    EXPECT_EQ(count_of(log, "[firewall] Failed to"), 0u) << log;
}

}  // namespace
}  // namespace zorv::testing
