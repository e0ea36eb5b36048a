#pragma once
// Wall-clock readings in the forms the helper records and reports.

#include <chrono>
#include <cstdint>
#include <string>

namespace zorv::clock {

// Monotonic time and pauses, for every wait the helper polls or paces: the
// one seam through which tests run those waits on a virtual clock.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::steady_clock::time_point now() = 0;
    virtual void sleep(std::chrono::milliseconds duration) = 0;
};

// The system's steady clock and real sleeps.
Clock& system_clock();

// Local time as "YYYY-MM-DD HH:MM:SS.mmm".
std::string local_timestamp();
// Milliseconds since the Unix epoch (UTC).
std::int64_t now_millis();
// Nanoseconds since the Unix epoch in decimal; "0" before the epoch.
std::string new_operation_id();

}  // namespace zorv::clock
