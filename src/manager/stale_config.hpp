#pragma once
// The plaintext configuration a core of an earlier helper may have left in
// the service directory: zeroed in place, then deleted.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "logger/log.hpp"

namespace zorv::manager {

// What a shredding did: bytes zeroed in place of `size`, and the errors.
struct ShredOutcome {
    std::uint64_t size = 0;
    std::uint64_t zeroed = 0;
    std::optional<Error> overwrite_error;
    std::optional<Error> delete_error;
};
// Overwrites the file in place with zeros for its whole length, flushes it
// and deletes it.
ShredOutcome overwrite_and_delete(const std::filesystem::path& path);

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
