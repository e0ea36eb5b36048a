#include <gtest/gtest.h>

#include "manager/wintun.hpp"

namespace zorv::manager {
namespace {

Md5Digest digest_from_hex(std::string_view hex) {
    Md5Digest digest{};
    for (std::size_t i = 0; i < digest.size(); ++i)
        digest[i] = static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i * 2, 2)), nullptr, 16));
    return digest;
}

// Digests and ids computed independently (Python's hashlib and uuid.UUID(bytes_le=...)).
struct Vector {
    std::string key;
    std::string md5_hex;
    std::string device_id;
};
const std::vector<Vector> kVectors = {
    {"wintunsingbox_tun", "21a038b742984c4410b0a4e3f65ab5b6", "SWD\\Wintun\\{B738A021-9842-444C-10B0-A4E3F65AB5B6}"},
    {"wintun", "b2a7129183eb326f806d847640580ef2", "SWD\\Wintun\\{9112A7B2-EB83-6F32-806D-847640580EF2}"},
    {"wintun\xd0\xb4\xd0\xb0 tun", "795371fb1726991092f746a24575d0c8",
     "SWD\\Wintun\\{FB715379-2617-1099-92F7-46A24575D0C8}"},
};

TEST(Wintun, DeviceIdReadsTheDigestAsAGuidInMemoryOrder) {
    for (const auto& v : kVectors) {
        SCOPED_TRACE(v.key);
        EXPECT_EQ(wintun_device_instance_id(digest_from_hex(v.md5_hex)), v.device_id);
    }
    // Zero padding of every group.
    Md5Digest small{};
    small[0] = 0x01;
    small[4] = 0x02;
    small[6] = 0x03;
    small[8] = 0x0a;
    small[15] = 0x0b;
    EXPECT_EQ(wintun_device_instance_id(small), "SWD\\Wintun\\{00000001-0002-0003-0A00-00000000000B}");
}

TEST(Wintun, Md5ComesFromTheSystemProvider) {
    for (const auto& v : kVectors) {
        SCOPED_TRACE(v.key);
        const auto digest = md5_digest(v.key);
        ASSERT_TRUE(digest.has_value()) << digest.error().one_line();
        EXPECT_EQ(*digest, digest_from_hex(v.md5_hex));
    }
    // RFC 1321 test suite, empty input.
    EXPECT_EQ(md5_digest(""), digest_from_hex("d41d8cd98f00b204e9800998ecf8427e"));
}

}  // namespace
}  // namespace zorv::manager
