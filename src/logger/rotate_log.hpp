#pragma once
// Size-triggered rotation into numbered generations: name.1.ext is the newest.

#include <cstdint>
#include <filesystem>

#include "common/error.hpp"

namespace zorv::logger {

// Path of generation `number` of `current`: "{stem}.{number}.{extension}".
std::filesystem::path rotated_path(const std::filesystem::path& current, std::uint64_t number);

// Rotates `current` when it exists and is at least `threshold` bytes; keeps
// `max_files` generations. Only a failed size lookup is reported.
Status rotate_log(const std::filesystem::path& current, std::uint64_t threshold, std::uint64_t max_files);

}  // namespace zorv::logger
