#include "logger/record_limiter.hpp"

#include <iterator>

namespace zorv::events {

bool RecordLimiter::admit(std::string_view key, TimePoint now) {
    const std::string owned(key);
    if (const auto found = last_admitted_.find(owned); found != last_admitted_.end()) {
        if (now - found->second < window_) return false;
        found->second = now;
        return true;
    }
    if (last_admitted_.size() >= max_keys_) forget_expired(now);
    if (last_admitted_.size() >= max_keys_) return false;
    last_admitted_.emplace(owned, now);
    return true;
}

void RecordLimiter::forget_expired(TimePoint now) {
    for (auto entry = last_admitted_.begin(); entry != last_admitted_.end();)
        entry = now - entry->second >= window_ ? last_admitted_.erase(entry) : std::next(entry);
}

}  // namespace zorv::events
