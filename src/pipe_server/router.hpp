#pragma once
// Routes one normalised request to the runtime manager; never fails. `client`
// is the caller, whose rights a start uses to read a configuration file.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/records.hpp"
#include "manager/runtime_manager.hpp"
#include "security/client_impersonation.hpp"

namespace zorv::pipe_server {

// `request` carries the normalised method and path.
api::PipeResponse dispatch_request(api::PipeRequest request, const std::shared_ptr<manager::RuntimeManager>& manager,
                                   security::ClientIdentity& client, std::string_view pipe_name);

}  // namespace zorv::pipe_server
