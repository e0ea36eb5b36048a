#include "support/pipe_access.hpp"

#include <algorithm>
#include <cstddef>

namespace zorv::testing {

using security::map_generic_file_rights;
using security::Sid;
namespace sids = security::sids;

namespace {

struct PipeAce {
    bool allow = false;
    ACCESS_MASK mask = 0;
    Sid sid;
};

// The plain allow and deny ACEs that apply to the pipe itself. An ACE whose
// SID cannot be read is taken, if it allows, as a grant to Everyone.
std::vector<PipeAce> pipe_aces(PACL dacl) {
    std::vector<PipeAce> aces;
    ACL_SIZE_INFORMATION size{};
    if (!::GetAclInformation(dacl, &size, sizeof size, AclSizeInformation))
        return {{true, GENERIC_ALL, sids::everyone()}};
    for (DWORD index = 0; index < size.AceCount; ++index) {
        void* raw = nullptr;
        if (!::GetAce(dacl, index, &raw)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        const bool allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
        if (!allow && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        PSID sid = const_cast<DWORD*>(&ace->SidStart);
        const bool readable = header->AceSize >= sizeof(ACCESS_ALLOWED_ACE) && ::IsValidSid(sid) &&
                              offsetof(ACCESS_ALLOWED_ACE, SidStart) + ::GetLengthSid(sid) <= header->AceSize;
        if (!readable) {
            if (allow) aces.push_back({true, GENERIC_ALL, sids::everyone()});
            continue;
        }
        aces.push_back({allow, map_generic_file_rights(ace->Mask), Sid::copy_of(sid)});
    }
    return aces;
}

bool denied_before(const std::vector<PipeAce>& aces, std::size_t index, const Sid& account) {
    return std::any_of(aces.begin(), aces.begin() + static_cast<std::ptrdiff_t>(index), [&](const PipeAce& ace) {
        return !ace.allow && (ace.mask & FILE_CREATE_PIPE_INSTANCE) != 0 &&
               (ace.sid == account || ace.sid == sids::everyone());
    });
}

}  // namespace

std::vector<Sid> pipe_instance_creators(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return {sids::everyone()};

    const std::vector<PipeAce> aces = pipe_aces(dacl);
    std::vector<Sid> creators;
    for (std::size_t index = 0; index < aces.size(); ++index) {
        const PipeAce& ace = aces[index];
        if (!ace.allow || (ace.mask & FILE_CREATE_PIPE_INSTANCE) == 0) continue;
        if (ace.sid == sids::local_system() || ace.sid == sids::administrators()) continue;
        if (denied_before(aces, index, ace.sid)) continue;
        if (std::find(creators.begin(), creators.end(), ace.sid) == creators.end()) creators.push_back(ace.sid);
    }
    return creators;
}

}  // namespace zorv::testing
