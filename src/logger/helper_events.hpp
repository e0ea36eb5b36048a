#pragma once
// The helper's Event Log records, one function each, so that the places that
// report them stay one line long. Caller text is escaped here; records a
// caller can provoke at will are held to one per path per minute.

#include <cstdint>
#include <string_view>

namespace zorv::events {

// Service control: started (version, hardened mode or not), stopped cleanly,
// stopped on an error (with the exit code the SCM is told).
void service_started(std::string_view version, bool hardened);
void service_stopped(std::uint32_t exit_code);
void service_failed(std::string_view error, std::uint32_t exit_code);
// The listener could not serve `pipe`.
void listener_failed(std::string_view pipe, std::string_view error);
// The service folder's lock-down did not pass its read-back check.
void lockdown_failed(std::string_view directory, std::string_view finding);
// The core: a start that failed, or an exit while it should run.
void core_start_failed(std::string_view reason);
void core_exited(std::uint32_t pid, std::string_view exit_status);
// Hardened mode refused `subject`; `finding` says which path is writable by whom.
void strict_mode_refusal(std::string_view path, std::string_view subject, std::string_view finding);
// A pipe client that was not served, by its image path (empty when unknown).
void client_rejected(std::string_view image_path, std::string_view reason);
// From the crash hook: waits a bounded time for the record to be written.
void crash(std::uint32_t exception_code, std::string_view dump_file);

}  // namespace zorv::events
