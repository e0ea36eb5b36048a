#pragma once
// What another process holds, read from outside through its handle: for
// tests that look for handle and memory leaks in the helper.

#include <windows.h>

#include <cstdint>

#include "common/error.hpp"

namespace zorv::testing {

struct ProcessUsage {
    std::uint32_t handles = 0;
    std::uint64_t private_bytes = 0;
};

// The process needs PROCESS_QUERY_INFORMATION and PROCESS_VM_READ access.
Result<ProcessUsage> process_usage(HANDLE process);

}  // namespace zorv::testing
