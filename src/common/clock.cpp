#include "common/clock.hpp"

#include <windows.h>

#include <thread>

#include <fmt/format.h>

namespace zorv::clock {

namespace {
class SystemClock final : public Clock {
public:
    std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
    void sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

constexpr std::int64_t kEpochAsFileTime = 116444736000000000LL;  // 1970-01-01 in 100 ns ticks

std::int64_t filetime_ticks_now() {
    FILETIME ft;
    ::GetSystemTimePreciseAsFileTime(&ft);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}
}  // namespace

std::string local_timestamp() {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                       t.wSecond, t.wMilliseconds);
}

std::int64_t now_millis() {
    const std::int64_t ticks = filetime_ticks_now() - kEpochAsFileTime;
    return ticks >= 0 ? ticks / 10'000 : -((-ticks + 9'999) / 10'000);
}

std::string new_operation_id() {
    const std::int64_t ticks = filetime_ticks_now() - kEpochAsFileTime;
    if (ticks <= 0) return "0";
    return std::to_string(static_cast<std::uint64_t>(ticks) * 100u);
}

Clock& system_clock() {
    static SystemClock clock;
    return clock;
}

}  // namespace zorv::clock
