#pragma once
// Acting on a file with the rights of the pipe client instead of the
// helper's own, so that a client can make the helper read only what it could
// read itself.

#include <windows.h>

#include <functional>

#include "common/error.hpp"

namespace zorv::security {

// Whose rights the current thread uses; replaceable in tests.
class ClientIdentity {
public:
    virtual ~ClientIdentity() = default;
    // Takes on the client's identity on the calling thread.
    virtual Status impersonate() = 0;
    // Returns the calling thread to the helper's own identity.
    virtual Status revert() = 0;
};

// The client on the other end of a connected named pipe
// (ImpersonateNamedPipeClient / RevertToSelf).
class NamedPipeClientIdentity final : public ClientIdentity {
public:
    explicit NamedPipeClientIdentity(HANDLE pipe) : pipe_(pipe) {}
    Status impersonate() override;
    Status revert() override;

private:
    HANDLE pipe_;
};

// The helper itself, for callers with no pipe client behind them.
class OwnIdentity final : public ClientIdentity {
public:
    Status impersonate() override { return {}; }
    Status revert() override { return {}; }
};

// Runs `action` as the client and reverts at once, also when the action
// fails. Nothing runs when impersonation fails. A thread that cannot revert
// must not go on serving anyone, so that ends the process.
Status run_as_client(ClientIdentity& client, const std::function<void()>& action);

}  // namespace zorv::security
