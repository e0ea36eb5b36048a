#pragma once
// What the core wrote in its log, quoted when it fails.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace zorv::manager {

// Last `max_lines` non-blank lines of the final 32 KiB of a log, joined by
// '\n', taken only from what lies at or after `session_start` (the failed
// session's own output); empty when that is unknown and on any failure.
std::string read_core_log_tail(const std::filesystem::path& path, std::size_t max_lines,
                               std::optional<std::uint64_t> session_start);

}  // namespace zorv::manager
