#pragma once
// Who, besides the machine's own administration, can change a file or folder.
//
// Strict mode trusts a file only when it and every folder above it can be
// changed by SYSTEM, Administrators and TrustedInstaller alone. The decision
// over one security descriptor is find_untrusted_writer(), which reads memory
// only; check_admin_only_path() fetches the real descriptors along a path.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"

namespace zorv::security {

// A security identifier held by value.
class Sid {
public:
    // A copy of a valid SID in memory.
    static Sid copy_of(PSID sid);
    // S-1-<authority>-<sub>-<sub>...
    static Sid make(std::uint8_t authority, std::initializer_list<std::uint32_t> sub_authorities);

    PSID get() const { return const_cast<std::uint8_t*>(bytes_.data()); }
    // "S-1-5-32-544".
    std::string text() const;

    friend bool operator==(const Sid&, const Sid&) = default;

private:
    std::vector<std::uint8_t> bytes_;
};

namespace sids {
Sid everyone();          // S-1-1-0
Sid creator_owner();     // S-1-3-0
Sid owner_rights();      // S-1-3-4
Sid local_system();      // S-1-5-18
Sid administrators();    // S-1-5-32-544
Sid trusted_installer(); // S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464
}  // namespace sids

// SYSTEM, Administrators or TrustedInstaller.
bool is_trusted_administration(const Sid& sid);

enum class ObjectKind { File, Folder };

// The rights that let an account change what the object is or holds: write,
// append, delete, write-DAC and take-ownership on a file; add-file,
// delete-child, delete, write-DAC and take-ownership on a folder. Creating a
// subfolder changes nothing that exists below (and the root of every system
// drive grants it to all authenticated users), so it does not count.
ACCESS_MASK modifying_rights(ObjectKind kind);

// GENERIC_* bits replaced by the file-specific rights they stand for.
ACCESS_MASK map_generic_file_rights(ACCESS_MASK mask);

// The first account outside the trusted three that holds a modifying right
// over the object the descriptor protects; nullopt when there is none.
//
// - A missing (null) DACL lets everyone do everything: Everyone.
// - ACEs apply in their order, deny before allow as the access check does;
//   inherit-only ACEs do not apply to the object itself. An account's deny
//   ACEs, and those for Everyone, are honoured; a deny for some other group
//   is not, since membership cannot be known here.
// - CREATOR OWNER and OWNER RIGHTS ACEs speak for the owner; an owner outside
//   the trusted three can always rewrite the DACL unless an OWNER RIGHTS ACE
//   replaces that implicit right.
std::optional<Sid> find_untrusted_writer(PSECURITY_DESCRIPTOR descriptor, ObjectKind kind);

// "DOMAIN\name" as the system names the account, or the SID text.
std::string account_name(const Sid& sid);

// Success when the file (or folder, by `kind`) and every folder above it, up
// to the root, can be changed by the trusted three alone. Otherwise an error
// naming the first path that fails and who can change it ("'D:\x' is
// writable by BUILTIN\Users"), or whose descriptor could not be read.
Status check_admin_only_path(const std::filesystem::path& path, ObjectKind kind = ObjectKind::File);

// The same for a file the helper has opened: the descriptor of that handle,
// then each folder above its final path (GetFinalPathNameByHandleW), each
// opened without following a link and held, so that it cannot be renamed or
// replaced, until the file's final path has been read again unchanged. What
// is judged is what was opened, never what the path's text leads to for
// another account (a drive letter of the client's logon session, a link
// swapped in meanwhile).
Status check_admin_only_file(HANDLE file);

}  // namespace zorv::security
