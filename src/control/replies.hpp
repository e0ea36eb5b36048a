#pragma once
// Every reply of the control pipe is encoded here: the status record, the
// error replies and their names, and the reply frame itself.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "api/records.hpp"
#include "common/error.hpp"
#include "manager/runtime_status.hpp"

namespace zorv::control {

// The names in the `error` member of a reply that is not 200, each described
// in docs/api.md (a test holds the two together).
namespace error_name {
inline constexpr std::string_view kValidation = "validation_error";
inline constexpr std::string_view kStartFailed = "runtime_start_failed";
inline constexpr std::string_view kStopFailed = "runtime_stop_failed";
inline constexpr std::string_view kResetFailed = "runtime_reset_failed";
inline constexpr std::string_view kNotFound = "not_found";
inline constexpr std::string_view kBusy = "helper_busy";
inline constexpr std::string_view kInternal = "internal_error";
inline constexpr std::array kAll = {kValidation, kStartFailed, kStopFailed, kResetFailed, kNotFound, kBusy, kInternal};
}  // namespace error_name

// The status record: keys in ascending byte order, absent members omitted.
nlohmann::json status_json(const manager::RuntimeStatus& status);

api::PipeResponse reply(std::uint16_t status, nlohmann::json body);
// 200 with the status record; its body is null should the encoding ever throw.
api::PipeResponse status_reply(const manager::RuntimeStatus& status);
api::PipeResponse error_reply(std::uint16_t status, std::string_view code, std::string message);
// A manager operation that failed: logged at ERROR as "`what`: error" and
// answered with 500.
api::PipeResponse failed_reply(std::string_view code, std::string_view what, const Error& error);

// The reply's frame, prefix and payload in one buffer: a second write could
// be lost when the connection closes.
Result<std::string> reply_frame(const api::PipeResponse& response);

}  // namespace zorv::control
