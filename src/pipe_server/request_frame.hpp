#pragma once
// A request frame as its bytes arrive: a 4-byte little-endian length, then
// that many bytes of payload. Reads are asked for part by part, never past
// the frame, so bytes a client sends after it are never taken.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/error.hpp"

namespace zorv::pipe_server {

class RequestFrame {
public:
    // Where the next read goes: what is still missing of the length, or of
    // the payload about as much as has arrived so far (between 4 KiB and
    // 1 MiB). The payload's buffer grows as bytes arrive, so an announced
    // size costs nothing until the client actually sends it.
    std::span<char> next_read();
    // Takes `count` bytes read into the last span. None means the client
    // ended its side early; a length over the limit is refused as it arrives.
    Status received(std::size_t count);
    // A failed read at this point, in the words of the part being read.
    Error read_failed(Error cause) const;

    bool complete() const { return length_ && have_ == *length_; }
    std::vector<char> take_payload() { return std::move(payload_); }

private:
    const char* part() const;

    std::array<unsigned char, 4> prefix_{};
    std::size_t prefix_have_ = 0;
    std::optional<std::uint32_t> length_;
    std::vector<char> payload_;
    std::size_t have_ = 0;  // payload bytes received
};

}  // namespace zorv::pipe_server
