#include "security/client_impersonation.hpp"

#include <cstdlib>

#include "common/win32.hpp"
#include "logger/log.hpp"

namespace zorv::security {

Status NamedPipeClientIdentity::impersonate() {
    if (!::ImpersonateNamedPipeClient(pipe_)) return fail(win32::last_os_error());
    return {};
}

Status NamedPipeClientIdentity::revert() {
    if (!::RevertToSelf()) return fail(win32::last_os_error());
    return {};
}

Status run_as_client(ClientIdentity& client, const std::function<void()>& action) {
    if (auto taken = client.impersonate(); !taken)
        return fail(taken.error().context("Failed to impersonate the pipe client"));
    struct Revert {
        ClientIdentity& client;
        ~Revert() {
            if (auto reverted = client.revert(); !reverted) {
                log::error(log::target::security, "Failed to revert from the pipe client's identity: {}",
                           reverted.error().one_line());
                log::flush();
                std::abort();
            }
        }
    } revert{client};
    action();
    return {};
}

}  // namespace zorv::security
