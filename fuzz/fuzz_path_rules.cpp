// The text rules for client-supplied paths, on hostile path text. The input is
// split at the first 0xFF byte (never part of UTF-8 text) into a path and a
// service directory, so that paths may hold NULs and other control characters.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/name_comparison.hpp"
#include "security/path_text_rules.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zorv::security;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\xFF');
    const std::string_view path = input.substr(0, split);
    const std::string_view service_dir = split == std::string_view::npos ? std::string_view("D:\\svc")
                                                                          : input.substr(split + 1);

    const bool plain = is_plain_local_path(path);
    (void)last_component(path);
    (void)names_core_executable(path);
    const NormalizedPath normalized = normalize_path(path);
    (void)normalized.text();

    // Plain means a drive root and nothing Windows would read differently.
    if (plain) {
        require(!has_control_character(path));
        require(path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/'));
    }

    // A path accepted by the binary text rules is a plain local path naming
    // the core, and its normalised form (the one containment is decided on)
    // names the same file inside the service directory.
    if (check_binary_path_text(path, service_dir)) {
        require(plain);
        require(names_core_executable(path));
        require(!normalized.components.empty() && zorv::text::equal_ignoring_case(normalized.components.back(), "sing-box.exe"));
        require(is_within_directory(normalized.text(), service_dir));
    }
    if (check_source_path_text(path)) require(plain && names_core_executable(path));

    AuthorizedFolders folders;
    folders.user_profile = std::string(service_dir);
    (void)check_source_directory(path, path, service_dir, folders);
    (void)is_within_directory(path, service_dir);
    return 0;
}
