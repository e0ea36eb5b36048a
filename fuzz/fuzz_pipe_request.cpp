// Frame and request decoding: length prefix, PipeRequest, the typed bodies,
// duplicate-key detection, and the reply writer on whatever was decoded.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "api/framing.hpp"
#include "api/records.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zorv;
    std::string_view input(reinterpret_cast<const char*>(data), size);

    // The first four bytes as a length prefix: the limit check must agree with
    // the decoded value, and the prefix must round-trip.
    if (input.size() >= 4) {
        std::array<unsigned char, 4> prefix{data[0], data[1], data[2], data[3]};
        const std::uint32_t length = api::decode_length(prefix);
        require(api::encode_length(length) == prefix);
        require(api::check_request_length(length).has_value() == (length <= api::kMaxRequestSize));
        input.remove_prefix(4);
    }

    auto request = api::parse_pipe_request(input);
    if (!request) return 0;
    const std::string method = api::normalize_method(request->method);
    const std::string path = api::normalize_path(request->path);
    require(method.size() == request->method.size());
    require(!path.empty() && (path == "/" || path.back() != '/'));

    if (request->body && !request->body->is_null()) {
        auto start = api::decode_start_request(*request->body, request->body_duplicate_keys);
        auto stop = api::decode_stop_request(*request->body, request->body_duplicate_keys);
        (void)start;
        (void)stop;
        // Whatever was decoded can be echoed back in a reply.
        const std::string reply = api::serialize_response(api::PipeResponse{400, *request->body});
        require(reply.rfind(R"({"status":400,"body":)", 0) == 0);
    }
    return 0;
}
