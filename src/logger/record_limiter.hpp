#pragma once
// At most one record per key in a window: what keeps a caller who connects
// in a loop from filling the Event Log. A pure decision over the times it is
// given; the keys it remembers are bounded, so a flood of distinct keys
// costs fixed memory and is itself held back.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zorv::events {

class RecordLimiter {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    RecordLimiter(std::chrono::milliseconds window, std::size_t max_keys) : window_(window), max_keys_(max_keys) {}

    // True when a record for `key` may go out at `now`, and then counts it.
    // False while the key's last record is younger than the window, or when
    // every remembered key is that young and no room is left for another.
    bool admit(std::string_view key, TimePoint now);

private:
    void forget_expired(TimePoint now);

    std::chrono::milliseconds window_;
    std::size_t max_keys_;
    std::unordered_map<std::string, TimePoint> last_admitted_;
};

}  // namespace zorv::events
