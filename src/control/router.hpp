#pragma once
// Routes one normalised request: its body decoded once, at routing, into the
// manager's own command; never fails.

#include <functional>
#include <string_view>
#include <variant>
#include <vector>

#include "api/records.hpp"
#include "manager/runtime_manager.hpp"
#include "security/client_impersonation.hpp"

namespace zorv::control {

// The routes a client can meet, by normalised method and path, each
// described in docs/api.md (a test holds the two together).
struct RouteName {
    std::string_view method;
    std::string_view path;
};
std::vector<RouteName> route_names();

// The manager operation a request asks for, its command decoded already. It
// runs later and elsewhere, as `client`, whose rights a start uses to read a
// configuration file: it may wait behind another operation for the manager.
using ManagerCall = std::move_only_function<api::PipeResponse(manager::RuntimeManager&, security::ClientIdentity&)>;

// A request's answer when no manager operation is needed (health, client
// registration, an unknown route, a start body that does not decode), or the
// operation that gives it. `request` carries the normalised method and path.
std::variant<api::PipeResponse, ManagerCall> route_request(api::PipeRequest request, std::string_view pipe_name);

}  // namespace zorv::control
