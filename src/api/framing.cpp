#include "api/framing.hpp"

#include <string>

namespace zorv::api {

std::uint32_t decode_length(const std::array<unsigned char, 4>& prefix) {
    return static_cast<std::uint32_t>(prefix[0]) | (static_cast<std::uint32_t>(prefix[1]) << 8) |
           (static_cast<std::uint32_t>(prefix[2]) << 16) | (static_cast<std::uint32_t>(prefix[3]) << 24);
}

std::array<unsigned char, 4> encode_length(std::uint32_t length) {
    return {static_cast<unsigned char>(length & 0xFF), static_cast<unsigned char>((length >> 8) & 0xFF),
            static_cast<unsigned char>((length >> 16) & 0xFF), static_cast<unsigned char>((length >> 24) & 0xFF)};
}

Status check_request_length(std::uint32_t length) {
    if (length > kMaxRequestSize) return fail("Frame size too large: " + std::to_string(length) + " bytes");
    return {};
}

std::string encode_frame(std::string_view payload) {
    const auto prefix = encode_length(static_cast<std::uint32_t>(payload.size()));
    std::string frame;
    frame.reserve(4 + payload.size());
    frame.append(reinterpret_cast<const char*>(prefix.data()), prefix.size());
    frame.append(payload);
    return frame;
}

}  // namespace zorv::api
