#pragma once
// Wall-clock readings in the forms the helper records and reports.

#include <cstdint>
#include <string>

namespace zorv::clock {

// Local time as "YYYY-MM-DD HH:MM:SS.mmm".
std::string local_timestamp();
// Milliseconds since the Unix epoch (UTC).
std::int64_t now_millis();
// Nanoseconds since the Unix epoch in decimal; "0" before the epoch.
std::string new_operation_id();

}  // namespace zorv::clock
