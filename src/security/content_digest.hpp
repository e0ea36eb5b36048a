#pragma once
// SHA-256 through CNG, fed piece by piece: how a deployment tells whether
// the installed core already holds the bytes it was asked to put there.

#include <windows.h>

#include <array>
#include <cstdint>
#include <span>

#include "common/error.hpp"
#include "common/unique_resource.hpp"

namespace zorv::security {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    static Result<Sha256> begin();
    Status add(std::span<const char> bytes);
    // Ends the hash; nothing may be added afterwards.
    Result<Sha256Digest> finish();

private:
    Sha256() = default;
    // Declared first so that it outlives the hash made from it.
    win32::UniqueAlgorithmProvider provider_;
    win32::UniqueHash hash_;
};

// The digest of what is left to read of an open file.
Result<Sha256Digest> sha256_of_file(HANDLE file);

}  // namespace zorv::security
