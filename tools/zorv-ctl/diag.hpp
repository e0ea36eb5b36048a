#pragma once
// `zorv diag`: the support report.

#include <string>

#include "commands.hpp"

namespace zorv::ctl {

Outcome run_diag(const Invocation& invocation, const std::string& pipe);

}  // namespace zorv::ctl
