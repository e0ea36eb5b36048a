#pragma once
// The service's registration beyond its status, for the support report: how
// it starts and what the SCM does when it fails.

#include <string>
#include <vector>

#include "common/error.hpp"

namespace zorv::ctl {

struct ServiceConfigFacts {
    std::string start_type;                   // "auto", "demand", ...
    std::vector<std::string> failure_actions;  // one line each, with the reset period first
};

// Nullopt-free: an error when the service is absent or cannot be read.
Result<ServiceConfigFacts> query_service_config_facts();

}  // namespace zorv::ctl
