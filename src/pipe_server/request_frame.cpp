#include "pipe_server/request_frame.hpp"

#include <algorithm>

#include "api/framing.hpp"

namespace zorv::pipe_server {

namespace {

constexpr std::size_t kFirstPayloadRead = 4 * 1024;
constexpr std::size_t kLargestPayloadRead = 1024 * 1024;

}  // namespace

std::span<char> RequestFrame::next_read() {
    if (!length_) return {reinterpret_cast<char*>(prefix_.data()) + prefix_have_, prefix_.size() - prefix_have_};
    const std::size_t chunk =
        std::min<std::size_t>(*length_ - have_, std::clamp(have_, kFirstPayloadRead, kLargestPayloadRead));
    if (payload_.capacity() < have_ + chunk)
        payload_.reserve(std::min<std::size_t>(*length_, std::max(payload_.capacity() * 2, have_ + chunk)));
    payload_.resize(have_ + chunk);
    return {payload_.data() + have_, chunk};
}

Status RequestFrame::received(std::size_t count) {
    if (count == 0) return fail(read_failed(Error("early end of stream")));
    if (!length_) {
        prefix_have_ += count;
        if (prefix_have_ < prefix_.size()) return {};
        const std::uint32_t length = api::decode_length(prefix_);
        if (auto allowed = api::check_request_length(length); !allowed) return fail(allowed.error());
        length_ = length;
        return {};
    }
    have_ += count;
    payload_.resize(have_);
    return {};
}

Error RequestFrame::read_failed(Error cause) const { return std::move(cause).context(part()); }

const char* RequestFrame::part() const { return length_ ? "Failed to read payload" : "Failed to read frame length"; }

}  // namespace zorv::pipe_server
