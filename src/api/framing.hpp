#pragma once
// Length-prefixed frames: 4-byte little-endian length, then the payload. Portable.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/product.hpp"

namespace zorv::api {

inline constexpr std::uint32_t kMaxRequestSize = product::kMaxRequestSize;  // inclusive

std::uint32_t decode_length(const std::array<unsigned char, 4>& prefix);
std::array<unsigned char, 4> encode_length(std::uint32_t length);

// Fails with "Frame size too large: {} bytes" above the request limit.
Status check_request_length(std::uint32_t length);

// Prefix and payload in one contiguous buffer, ready for a single write.
std::string encode_frame(std::string_view payload);

}  // namespace zorv::api
