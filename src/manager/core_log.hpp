#pragma once
// The core's log quoted when it fails, and the plaintext configuration an
// earlier core may have left beside it: zeroed in place, then deleted.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "logger/log.hpp"

namespace zorv::manager {

// Last `max_lines` non-blank lines of the final 32 KiB of a log, joined by
// '\n', taken only from what lies at or after `session_start` (the failed
// session's own output); empty when that is unknown and on any failure.
std::string read_core_log_tail(const std::filesystem::path& path, std::size_t max_lines,
                               std::optional<std::uint64_t> session_start);

// What a shredding did: bytes zeroed in place of `size`, and the errors.
struct ShredOutcome {
    std::uint64_t size = 0;
    std::uint64_t zeroed = 0;
    std::optional<Error> overwrite_error;
    std::optional<Error> delete_error;
};

struct ShredReport {
    log::Level level;
    std::string message;
};
// The log record that says exactly what a shredding did.
ShredReport shred_report(const ShredOutcome& outcome, std::string_view path);

// Shreds `sing-box.json` in `directory` when it exists and logs the outcome;
// never fails.
void shred_stale_configuration(const std::filesystem::path& directory);

}  // namespace zorv::manager
