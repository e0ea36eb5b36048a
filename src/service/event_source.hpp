#pragma once
// The helper's Event Log source: VEXL2VpnService in the Application log, its
// messages read from the helper's own image.

#include <filesystem>
#include <string>

#include "common/error.hpp"

namespace zorv::service {

// Error, warning and information records.
inline constexpr unsigned long kEventTypesSupported = 7;

// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<service>
std::wstring event_source_key_path();

// Creates or rewrites the source's key: EventMessageFile = `image`,
// TypesSupported = 7.
Status register_event_source(const std::filesystem::path& image);
// Deletes the source's key; succeeds when there is none.
Status remove_event_source();

}  // namespace zorv::service
