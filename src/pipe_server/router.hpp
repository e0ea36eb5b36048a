#pragma once
// Routes one normalised request to the runtime manager; never fails. `client`
// is the caller, whose rights a start uses to read a configuration file.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "manager/runtime_manager.hpp"
#include "pipe_server/api_records.hpp"
#include "security/client_impersonation.hpp"

namespace zorv::pipe_server {

api::PipeResponse dispatch_request(const std::string& method, const std::string& path,
                                   std::optional<nlohmann::json> body,
                                   const std::shared_ptr<manager::RuntimeManager>& manager,
                                   security::ClientIdentity& client, std::string_view pipe_name,
                                   const std::vector<std::string>& body_duplicate_keys = {});

}  // namespace zorv::pipe_server
