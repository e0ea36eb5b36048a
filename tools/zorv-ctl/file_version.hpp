#pragma once
// The product version recorded in an executable's version resource.

#include <optional>
#include <string>

namespace zorv::ctl {

// "major.minor.patch", with ".build" when the build number is not 0; nullopt
// when the file has no version resource or cannot be read.
std::optional<std::string> file_product_version(const std::string& image);

}  // namespace zorv::ctl
