#pragma once
// JSON records of the control API. Portable: no Win32 here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/error.hpp"

namespace zorv::api {

struct PipeRequest {
    std::string method;
    std::string path;
    std::optional<nlohmann::json> body;  // absent and null both mean "no body"
    // Keys that the body's own top-level object carried more than once; the
    // typed decoders below refuse a duplicate of a key they know.
    std::vector<std::string> body_duplicate_keys;
};

struct PipeResponse {
    std::uint16_t status = 200;
    nlohmann::json body;
};

struct StartRuntimeRequest {
    std::optional<std::string> profile_id;
    std::optional<std::string> binary_path;
    std::optional<std::string> config_path;
    std::optional<std::string> config_content;
    std::optional<std::string> source_path;
    std::uint32_t client_pid = 0;
    std::optional<std::string> client_runtime_id;
    std::optional<std::string> operation_id;
};

struct StopRuntimeRequest {
    std::optional<std::string> client_runtime_id;
    std::optional<std::string> operation_id;
    std::optional<std::string> trigger;
};

// Parses a request frame's payload.
Result<PipeRequest> parse_pipe_request(std::string_view payload);

// Typed decoding of a body value; errors carry the decoder's description
// ("missing field `x`", "duplicate field `x`", type mismatches).
Result<StartRuntimeRequest> decode_start_request(const nlohmann::json& body,
                                                 const std::vector<std::string>& duplicate_keys = {});
Result<StopRuntimeRequest> decode_stop_request(const nlohmann::json& body,
                                               const std::vector<std::string>& duplicate_keys = {});

// Compact JSON, "status" then "body"; keys inside the body in byte order.
std::string serialize_response(const PipeResponse& response);

// Request normalisation: ASCII upper-case method; trailing '/' trimmed, "" -> "/".
std::string normalize_method(std::string_view method);
std::string normalize_path(std::string_view path);

}  // namespace zorv::api
