#pragma once
// The loops that read a file the helper or its tools have opened.

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/error.hpp"

namespace zorv::win32 {

// Reads from the file's current position until its end, or until `limit`
// bytes have been read, whichever comes first: a file that grows meanwhile
// never makes the read unbounded. A caller that must refuse a file larger
// than N asks for N + 1 bytes.
Result<std::string> read_at_most(HANDLE file, std::size_t limit);

// What an opened file is, as the checks before reading a caller's file need
// it: the handle is judged, never the path it was opened by.
struct HandleFacts {
    bool reparse_point = false;
    bool directory = false;
    std::uint64_t size = 0;
};
Result<HandleFacts> handle_facts(HANDLE file);

using ReadDeadline = std::chrono::steady_clock::time_point;

// How long a start waits for the reads of one file a caller chose.
inline constexpr std::chrono::seconds kCallerFileReadTime{10};

// One read of up to `buffer.size()` bytes at `offset` of a file opened for
// overlapped I/O (FILE_FLAG_OVERLAPPED), for a file whose owner can stall a
// read (an opportunistic lock, a slow redirector): a read still pending at
// `deadline` is cancelled and waited for, and fails with ERROR_TIMEOUT. The
// bytes read; 0 at the end of the file. A handle opened for synchronous I/O
// would block in the call itself, out of the deadline's reach.
Result<std::size_t> read_chunk_by(HANDLE file, std::uint64_t offset, std::span<char> buffer, ReadDeadline deadline);

// read_at_most from `offset` with chunks read by read_chunk_by, under one
// deadline for them all.
Result<std::string> read_at_most_by(HANDLE file, std::uint64_t offset, std::size_t limit, ReadDeadline deadline);

}  // namespace zorv::win32
