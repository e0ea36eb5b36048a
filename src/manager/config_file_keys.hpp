#pragma once
// Configuration members that name files the core opens as SYSTEM.
//
// The core's configuration says where it writes its log (log.output), keeps
// its cache (experimental.cache_file.path), downloads and serves a web UI
// (experimental.clash_api.external_ui), downloads its geo databases
// (route.geoip.path, route.geosite.path), keeps state (data_directory), runs
// a helper program (executable_path), and reads certificates, keys and rule
// sets (path, *_path). A client that
// chose those paths would have the core write or read files of its choosing
// with the helper's rights. So before the core starts, every member named
// `path`, `output`, `external_ui`, `data_directory` or ending in `_path`, at
// any depth, is a file key; the ones the core writes, serves or runs must
// stay inside the service directory in every mode, and in strict mode all
// of them must.

#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zorv::manager {

// A member name as the core's JSON decoder matches it against its own
// names: without regard to case, under Unicode simple case folding (so
// "OUTPUT" and "claſh_api", with a long s, are the names they fold to).
std::string fold_member_name(std::string_view name);

// The folded name is `path`, `output`, `external_ui`, `data_directory` or
// ends in `_path`.
bool is_file_key(std::string_view folded_name);

// A value a file key may hold: empty (the core's default); a relative path
// with no drive, root or ".." component, which the core resolves inside its
// working directory, the service directory; or a plain local path inside the
// service directory. Either way it must name something below the directory,
// not the directory itself, and nothing on the way may end in ".exe" or
// ".dll": the helper and the core are started from there, and Windows loads
// a DLL of a listed name from beside the executable first.
bool file_value_allowed(std::string_view value, std::string_view service_dir);

// Fails with the refusal of the first file key (every pair of members,
// duplicates and case variants included) whose value is not allowed; passes
// when there is none, or when the text is not JSON the core could read, in
// which case the core refuses it itself. `strict` applies the rule to every
// file key, not only to those the core writes, serves or runs.
Status check_file_keys(std::string_view configuration, std::string_view service_dir, bool strict);

}  // namespace zorv::manager
