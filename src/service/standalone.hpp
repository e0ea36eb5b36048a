#pragma once
// The whole server in the foreground of a console, until Ctrl+C.

#include "common/error.hpp"

namespace zorv::service {

Status run_standalone();

}  // namespace zorv::service
