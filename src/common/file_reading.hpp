#pragma once
// The one loop that reads a file the helper or its tools have opened.

#include <windows.h>

#include <cstddef>
#include <string>

#include "common/error.hpp"

namespace zorv::win32 {

// Reads from the file's current position until its end, or until `limit`
// bytes have been read, whichever comes first: a file that grows meanwhile
// never makes the read unbounded. A caller that must refuse a file larger
// than N asks for N + 1 bytes.
Result<std::string> read_at_most(HANDLE file, std::size_t limit);

}  // namespace zorv::win32
