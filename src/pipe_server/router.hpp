#pragma once
// Routes one normalised request to the runtime manager; never fails. `client`
// is the caller, whose rights a start uses to read a configuration file.

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/records.hpp"
#include "manager/runtime_manager.hpp"
#include "security/client_impersonation.hpp"

namespace zorv::pipe_server {

// What a client can meet, each described in docs/api.md (a test holds the
// two together): the routes, by normalised method and path, and the names in
// the `error` member of a reply that is not 200.
struct RouteName {
    std::string_view method;
    std::string_view path;
};
std::vector<RouteName> route_names();

namespace error_name {
inline constexpr std::string_view kValidation = "validation_error";
inline constexpr std::string_view kStartFailed = "runtime_start_failed";
inline constexpr std::string_view kStopFailed = "runtime_stop_failed";
inline constexpr std::string_view kResetFailed = "runtime_reset_failed";
inline constexpr std::string_view kNotFound = "not_found";
inline constexpr std::string_view kBusy = "helper_busy";
inline constexpr std::array kAll = {kValidation, kStartFailed, kStopFailed, kResetFailed, kNotFound, kBusy};
}  // namespace error_name


// The manager operation a request asks for, run later and elsewhere: it may
// wait behind another operation for the manager's lock.
using ManagerCall = std::move_only_function<api::PipeResponse(manager::RuntimeManager&, security::ClientIdentity&)>;

// A request's answer when no manager operation is needed (health, client
// registration, an unknown route, a start body that does not decode), or the
// operation that gives it. `request` carries the normalised method and path.
std::variant<api::PipeResponse, ManagerCall> route_request(api::PipeRequest request, std::string_view pipe_name);

// The answer, with any manager operation run on the calling thread.
api::PipeResponse dispatch_request(api::PipeRequest request, const std::shared_ptr<manager::RuntimeManager>& manager,
                                   security::ClientIdentity& client, std::string_view pipe_name);

}  // namespace zorv::pipe_server
