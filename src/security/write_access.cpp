#include "security/write_access.hpp"

#include <aclapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <system_error>

#include <fmt/format.h>

#include "common/win32.hpp"

namespace zorv::security {

namespace {

constexpr std::size_t kSidHeaderBytes = 8;  // revision, count, 6-byte authority
constexpr std::uint8_t kNtAuthority = 5;

// One ACE that applies to the object itself, generic rights mapped.
struct AppliedAce {
    bool allow = false;
    ACCESS_MASK mask = 0;
    Sid sid;
};

// The SID inside an allow/deny ACE (both share that layout), when it fits the ACE.
std::optional<Sid> sid_of_ace(const ACE_HEADER* header) {
    constexpr std::size_t kSidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
    if (header->AceSize < kSidOffset + kSidHeaderBytes) return std::nullopt;
    auto* sid = reinterpret_cast<const std::uint8_t*>(header) + kSidOffset;
    const std::size_t length = kSidHeaderBytes + 4 * static_cast<std::size_t>(sid[1]);
    if (header->AceSize < kSidOffset + length || !::IsValidSid(const_cast<std::uint8_t*>(sid))) return std::nullopt;
    return Sid::copy_of(const_cast<std::uint8_t*>(sid));
}

// The ACEs the access check consults for the object itself, in order. Only
// the plain and callback allow and deny kinds occur in file-system DACLs;
// callback denies may not apply, so they are left out (the safer reading).
// An allow ACE that cannot be read counts as a grant to everyone.
std::vector<AppliedAce> applied_aces(PACL dacl) {
    std::vector<AppliedAce> aces;
    ACL_SIZE_INFORMATION size{};
    if (!::GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) {
        aces.push_back({true, GENERIC_ALL, sids::everyone()});
        return aces;
    }
    for (DWORD index = 0; index < size.AceCount; ++index) {
        void* raw = nullptr;
        if (!::GetAce(dacl, index, &raw)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        const bool allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
                           header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        if (!allow && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        const ACCESS_MASK mask = map_generic_file_rights(static_cast<const ACCESS_ALLOWED_ACE*>(raw)->Mask);
        auto sid = sid_of_ace(header);
        if (!sid) {
            if (allow) aces.push_back({true, GENERIC_ALL, sids::everyone()});
            continue;
        }
        aces.push_back({allow, mask, std::move(*sid)});
    }
    return aces;
}

// The rights an account ends up with: each bit goes to whichever of allow and
// deny names it first, as in the access check.
template <typename AppliesTo>
ACCESS_MASK granted_rights(const std::vector<AppliedAce>& aces, AppliesTo applies_to) {
    ACCESS_MASK granted = 0;
    ACCESS_MASK denied = 0;
    for (const AppliedAce& ace : aces) {
        if (!applies_to(ace.sid)) continue;
        if (ace.allow)
            granted |= ace.mask & ~denied;
        else
            denied |= ace.mask & ~granted;
    }
    return granted;
}

bool speaks_for_owner(const Sid& sid) { return sid == sids::creator_owner() || sid == sids::owner_rights(); }

std::optional<Sid> owner_of(PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr || !::IsValidSid(owner))
        return std::nullopt;
    return Sid::copy_of(owner);
}

}  // namespace

// ---- Sid ----

Sid Sid::copy_of(PSID sid) {
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    Sid copy;
    copy.bytes_.assign(bytes, bytes + kSidHeaderBytes + 4 * static_cast<std::size_t>(bytes[1]));
    return copy;
}

Sid Sid::make(std::uint8_t authority, std::initializer_list<std::uint32_t> sub_authorities) {
    Sid sid;
    sid.bytes_ = {1, static_cast<std::uint8_t>(sub_authorities.size()), 0, 0, 0, 0, 0, authority};
    for (std::uint32_t sub : sub_authorities)
        for (int shift = 0; shift < 32; shift += 8) sid.bytes_.push_back(static_cast<std::uint8_t>(sub >> shift));
    return sid;
}

std::string Sid::text() const {
    std::uint64_t authority = 0;
    for (std::size_t i = 2; i < kSidHeaderBytes; ++i) authority = (authority << 8) | bytes_[i];
    std::string out = authority >> 32 ? fmt::format("S-{}-0x{:012X}", bytes_[0], authority)
                                      : fmt::format("S-{}-{}", bytes_[0], authority);
    for (std::size_t at = kSidHeaderBytes; at + 4 <= bytes_.size(); at += 4) {
        std::uint32_t sub = 0;
        std::memcpy(&sub, &bytes_[at], sizeof sub);  // little-endian, as Windows stores it
        out += fmt::format("-{}", sub);
    }
    return out;
}

namespace sids {
Sid everyone() { return Sid::make(1, {0}); }
Sid creator_owner() { return Sid::make(3, {0}); }
Sid owner_rights() { return Sid::make(3, {4}); }
Sid local_system() { return Sid::make(kNtAuthority, {18}); }
Sid administrators() { return Sid::make(kNtAuthority, {32, 544}); }
Sid trusted_installer() {
    return Sid::make(kNtAuthority, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464});
}
}  // namespace sids

bool is_trusted_administration(const Sid& sid) {
    return sid == sids::local_system() || sid == sids::administrators() || sid == sids::trusted_installer();
}

// ---- the decision ----

ACCESS_MASK modifying_rights(ObjectKind kind) {
    constexpr ACCESS_MASK kOwnership = DELETE | WRITE_DAC | WRITE_OWNER;
    if (kind == ObjectKind::File) return FILE_WRITE_DATA | FILE_APPEND_DATA | kOwnership;
    return FILE_ADD_FILE | FILE_DELETE_CHILD | kOwnership;
}

ACCESS_MASK map_generic_file_rights(ACCESS_MASK mask) {
    ACCESS_MASK mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (mask & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (mask & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
    if (mask & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

std::optional<Sid> find_untrusted_writer(PSECURITY_DESCRIPTOR descriptor, ObjectKind kind) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return sids::everyone();

    const ACCESS_MASK modifying = modifying_rights(kind);
    const std::optional<Sid> owner = owner_of(descriptor);
    const std::vector<AppliedAce> aces = applied_aces(dacl);

    for (const AppliedAce& ace : aces) {
        if (!ace.allow || (ace.mask & modifying) == 0) continue;
        const Sid& account = speaks_for_owner(ace.sid) && owner ? *owner : ace.sid;
        if (is_trusted_administration(account)) continue;
        const bool is_owner = owner && account == *owner;
        const ACCESS_MASK rights = granted_rights(aces, [&](const Sid& sid) {
            return sid == account || sid == sids::everyone() || (is_owner && speaks_for_owner(sid));
        });
        if (rights & modifying) return account;
    }

    // An owner may always rewrite the DACL, unless OWNER RIGHTS ACEs say what it may do.
    const bool owner_rights_listed =
        std::ranges::any_of(aces, [](const AppliedAce& ace) { return ace.sid == sids::owner_rights(); });
    if (owner && !is_trusted_administration(*owner) && !owner_rights_listed) return owner;
    return std::nullopt;
}

// ---- the system side ----

std::string account_name(const Sid& sid) {
    DWORD name_length = 0;
    DWORD domain_length = 0;
    SID_NAME_USE use{};
    ::LookupAccountSidW(nullptr, sid.get(), nullptr, &name_length, nullptr, &domain_length, &use);
    if (name_length == 0) return sid.text();
    std::wstring name(name_length, L'\0');
    std::wstring domain(domain_length, L'\0');
    if (!::LookupAccountSidW(nullptr, sid.get(), name.data(), &name_length, domain.data(), &domain_length, &use))
        return sid.text();
    name.resize(name_length);
    domain.resize(domain_length);
    const std::string account = win32::from_wide(name);
    return domain.empty() ? account : win32::from_wide(domain) + "\\" + account;
}

namespace {

Result<std::optional<Sid>> untrusted_writer_of(HANDLE object, ObjectKind kind) {
    win32::UniqueLocalMemory<void> descriptor;
    const DWORD status = ::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, nullptr, nullptr, descriptor.put());
    if (status != ERROR_SUCCESS) return fail(win32::os_error(status));
    return find_untrusted_writer(descriptor.get(), kind);
}

Result<std::wstring> final_path_of(HANDLE object) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(object, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return fail(win32::last_os_error());
        if (length < buffer.size()) return buffer.substr(0, length);
        buffer.resize(length + 1);
    }
}

// "\\?\D:\x" as "D:\x", "\\?\UNC\server\share" as "\\server\share".
std::string shown_path(std::wstring_view final_path) {
    constexpr std::wstring_view kVerbatim = L"\\\\?\\";
    constexpr std::wstring_view kVerbatimUnc = L"\\\\?\\UNC\\";
    if (final_path.starts_with(kVerbatimUnc)) return "\\\\" + win32::from_wide(final_path.substr(kVerbatimUnc.size()));
    if (final_path.starts_with(kVerbatim)) final_path.remove_prefix(kVerbatim.size());
    return win32::from_wide(final_path);
}

// Where the root ends in a final path ("\\?\D:\", "\\?\UNC\server\share\"), so
// that the walk up stops there.
std::size_t root_length(std::wstring_view final_path) {
    constexpr std::wstring_view kVerbatimUnc = L"\\\\?\\UNC\\";
    if (!final_path.starts_with(kVerbatimUnc)) return std::min<std::size_t>(final_path.find(L'\\', 4) + 1, final_path.size());
    const std::size_t server_end = final_path.find(L'\\', kVerbatimUnc.size());
    if (server_end == std::wstring_view::npos) return final_path.size();
    const std::size_t share_end = final_path.find(L'\\', server_end + 1);
    return share_end == std::wstring_view::npos ? final_path.size() : share_end + 1;
}

// Opened to read its security and held without delete sharing, so that it
// can be neither renamed nor deleted while the check goes on; a link is
// opened as itself.
win32::UniqueHandle open_folder(const std::wstring& folder) {
    return win32::UniqueHandle(::CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

Status judge_object(HANDLE object, ObjectKind kind, const std::string& shown) {
    auto writer = untrusted_writer_of(object, kind);
    if (!writer) return fail(writer.error().context(fmt::format("the security of '{}' cannot be read", shown)));
    if (*writer) return fail(fmt::format("'{}' is writable by {}", shown, account_name(**writer)));
    return {};
}

// The account outside the trusted three that can change `object`, or why
// its descriptor could not be read.
Result<std::optional<Sid>> untrusted_writer_of(const std::filesystem::path& object, ObjectKind kind) {
    win32::UniqueLocalMemory<void> descriptor;
    const DWORD status = ::GetNamedSecurityInfoW(object.c_str(), SE_FILE_OBJECT,
                                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                                 nullptr, nullptr, nullptr, descriptor.put());
    if (status != ERROR_SUCCESS) return fail(win32::os_error(status));
    return find_untrusted_writer(descriptor.get(), kind);
}

}  // namespace

Status check_admin_only_path(const std::filesystem::path& path, ObjectKind kind) {
    std::error_code error;
    std::filesystem::path current = std::filesystem::absolute(path, error);
    if (error) return fail(fmt::format("'{}' cannot be resolved to a full path", win32::path_text(path)));

    for (;;) {
        const std::string shown = win32::path_text(current);
        auto writer = untrusted_writer_of(current, kind);
        if (!writer) return fail(writer.error().context(fmt::format("the security of '{}' cannot be read", shown)));
        if (*writer) return fail(fmt::format("'{}' is writable by {}", shown, account_name(**writer)));

        std::filesystem::path parent = current.parent_path();
        if (parent.empty() || parent == current) return {};
        current = std::move(parent);
        kind = ObjectKind::Folder;
    }
}

Status check_admin_only_file(HANDLE file) {
    auto final_path = final_path_of(file);
    if (!final_path) return fail(final_path.error().context("the opened file's path cannot be read"));
    if (auto judged = judge_object(file, ObjectKind::File, shown_path(*final_path)); !judged) return judged;

    const std::size_t root = root_length(*final_path);
    std::vector<win32::UniqueHandle> held;
    std::wstring folder = *final_path;
    while (folder.size() > root) {
        // Up one level; the root keeps its separator ("\\?\D:\").
        folder.resize(std::max(folder.rfind(L'\\'), root));
        const std::string shown = shown_path(folder);
        win32::UniqueHandle handle = open_folder(folder);
        if (!handle)
            return fail(win32::last_os_error().context(fmt::format("the security of '{}' cannot be read", shown)));
        if (auto judged = judge_object(handle.get(), ObjectKind::Folder, shown); !judged) return judged;
        held.push_back(std::move(handle));
    }
    // With every folder held, the file must still be where they are.
    auto again = final_path_of(file);
    if (!again || *again != *final_path)
        return fail(fmt::format("'{}' was moved while its security was checked", shown_path(*final_path)));
    return {};
}

}  // namespace zorv::security
