#pragma once
// The product version recorded in an executable's version resource.

#include <string>

#include "common/error.hpp"

namespace zorv::ctl {

// "major.minor.patch", with ".build" when the build number is not 0; fails
// when the file has no version resource or cannot be read.
Result<std::string> file_product_version(const std::string& image);

}  // namespace zorv::ctl
