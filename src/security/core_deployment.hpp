#pragma once
// Deployment of the core a start names in `sourcePath`. The client's file is
// opened once, with the client's rights, and copied from that handle into a
// new file in the service directory before the manager's lock is taken; what
// decides (the executable's form, the publisher) is checked on that copy,
// which then replaces the installed core by one rename under the lock. On
// every failure the installed core is untouched and the copy removed.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/unique_resource.hpp"
#include "security/client_impersonation.hpp"
#include "security/content_digest.hpp"
#include "security/publisher_check.hpp"

namespace zorv::security {

// A larger source is refused before anything is copied.
inline constexpr std::uint64_t kMaxCoreBytes = 256ull * 1024 * 1024;

// A file the helper made, removed again unless released. It is held by its
// path: the copy is checked by path and renamed while no handle is open.
struct made_file_traits {
    using pointer = std::filesystem::path;
    static pointer empty() { return {}; }
    static bool is_valid(const pointer& path) { return !path.empty(); }
    static void close(const pointer& path);
};
using UniqueMadeFile = win32::unique_resource<made_file_traits>;

// A checked copy of a client's core, waiting in the service directory.
struct StagedCore {
    std::string source_path;  // as the client gave it
    UniqueMadeFile copy;
    std::uint64_t size = 0;
    Sha256Digest digest{};
};

// Runs without the manager's lock. Nothing when there is nothing to deploy
// (an empty path, or a file that does not exist); otherwise the checked copy,
// or the source path rules' message, a refusal or the failed copy's error.
Result<std::optional<StagedCore>> stage_core(std::string_view source_path, const std::filesystem::path& service_dir,
                                             ClientIdentity& client, const PublisherCheck& publisher);

// Under the lock: puts the copy in place of `target` by one rename, unless
// `target` already holds the same bytes, and logs the deployment.
Status install_core(StagedCore& staged, const std::filesystem::path& target);

}  // namespace zorv::security
