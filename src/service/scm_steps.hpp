#pragma once
// The steps of installation and removal that talk to the SCM: stopping and
// deleting a registration, waiting for it to be gone, starting the new one and
// waiting for it to run. Each poll waits 100 ms and gives up at the first
// check at which 10 s or more have passed.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "common/clock.hpp"
#include "common/error.hpp"
#include "service/scm_port.hpp"

namespace zorv::service {

inline constexpr std::chrono::seconds kServiceWaitTimeout{10};
inline constexpr std::chrono::milliseconds kServicePollInterval{100};

// "Stopped", "StartPending", ... for the states 1 to 7 of SERVICE_STATUS.
std::string service_state_name(std::uint32_t state);

// Stops product::kServiceName when it runs, deletes it and waits until the SCM has
// forgotten it. Succeeds at once when nothing is registered.
Status remove_existing_service(ScmConnection& scm, clock::Clock& clock);

// Polls until opening product::kServiceName fails with ERROR_SERVICE_DOES_NOT_EXIST.
Status wait_for_service_deletion(ScmConnection& scm, clock::Clock& clock);

// Starts the service (already running counts as started) and polls until it
// reports running.
Status start_and_wait_until_running(ScmService& service, clock::Clock& clock);

// The image path registered for `executable`: in double quotes, with the usual
// escaping, when it is empty or holds a space, tab, line feed, vertical tab or
// double quote; otherwise unchanged.
std::wstring service_image_path(std::wstring_view executable);

// Restart after 5 s, three times; the failure count resets after a day.
CrashRecoveryPolicy crash_recovery_policy();

// Writes the recovery the service relies on: the failure actions above, the
// flag that applies them to a stop with a non-zero exit code too (a start
// that cannot own its pipe, for one), and an unrestricted service SID. Every
// setting is tried; the first refusal is returned.
Status configure_recovery(ScmService& service);
// The same, on the registration of product::kServiceName: what the running
// service does at each start, so that a registration made by a package gets
// it as well.
Status configure_own_recovery(ScmConnection& scm);

// The registration of `executable` as product::kServiceName.
ServiceRegistration service_registration(const std::filesystem::path& executable);

}  // namespace zorv::service
