#include "pipe_server/pipe_instance.hpp"

#include <sddl.h>

#include <cstdint>
#include <vector>

#include "common/win32.hpp"

namespace zorv::pipe_server {

namespace {

// Authenticated users may read and write data on an instance, and read its
// attributes and security, but not create instances (FILE_CREATE_PIPE_INSTANCE,
// which GENERIC_WRITE on a pipe includes): an instance of their own could
// take the desktop client's requests, credentials included, and forge the
// replies. SYSTEM and Administrators keep full control, logons over the
// network are denied outright, and the DACL inherits nothing.
constexpr std::wstring_view kAuthenticatedUsersRights = L"0x12019b";  // FILE_GENERIC_READ | FILE_WRITE_DATA |
                                                                       // FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA

using SecurityDescriptor = win32::UniqueLocalMemory<void>;

// The account this process runs as, as SID text: "S-1-5-18" for the service.
Result<std::wstring> own_account_sid() {
    win32::UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return fail(win32::last_os_error().context("Failed to open the process token"));
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        return fail(win32::last_os_error().context("Failed to read the process token's user"));
    win32::UniqueLocalMemory<wchar_t> text;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, text.put()))
        return fail(win32::last_os_error().context("Failed to convert the process token's user"));
    return std::wstring(text.get());
}

Result<SecurityDescriptor> build_security_descriptor() {
    auto owner = own_account_sid();
    if (!owner) return fail(owner.error().context("Failed to build the pipe's security descriptor"));
    const std::wstring sddl = pipe_security_sddl(*owner);
    SecurityDescriptor descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.put(),
                                                                nullptr))
        return fail(win32::last_os_error().context("Failed to build the pipe's security descriptor"));
    return descriptor;
}

// The descriptor depends on nothing that changes while the process runs, so
// it is built once, on first use, and kept (or why it could not be built).
const Result<SecurityDescriptor>& pipe_security_descriptor() {
    static const Result<SecurityDescriptor> descriptor = build_security_descriptor();
    return descriptor;
}

HANDLE create_named_pipe(const std::wstring& path, bool first_instance, SECURITY_ATTRIBUTES* attributes) {
    const DWORD open_mode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first_instance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipe_mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    return ::CreateNamedPipeW(path.c_str(), open_mode, pipe_mode, PIPE_UNLIMITED_INSTANCES, kPipeBufferSize,
                              kPipeBufferSize, 0, attributes);
}

}  // namespace

std::wstring pipe_security_sddl(std::wstring_view owner_sid) {
    // The deny comes first: the access check reads the ACEs in order.
    return std::wstring(L"O:") + std::wstring(owner_sid) + L"D:P(D;;FA;;;NU)(A;;" +
           std::wstring(kAuthenticatedUsersRights) + L";;;AU)(A;;FA;;;SY)(A;;FA;;;BA)";
}

Result<win32::UniqueHandle> create_pipe_handle(std::string_view path, bool first_instance) {
    // Never the system's default descriptor: that would leave the instance
    // to whatever the account's default DACL grants.
    const Result<SecurityDescriptor>& descriptor = pipe_security_descriptor();
    if (!descriptor) return fail(descriptor.error());
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor->get(), FALSE};
    win32::UniqueHandle pipe(create_named_pipe(win32::to_wide(path), first_instance, &attributes));
    if (!pipe) return fail(win32::last_os_error().context("Failed to create named pipe with security attributes"));
    return pipe;
}

Result<asio::windows::stream_handle> bind_to_runtime(const asio::any_io_executor& executor,
                                                     win32::UniqueHandle pipe) {
    asio::windows::stream_handle instance(executor);
    std::error_code ec;
    instance.assign(pipe.get(), ec);
    if (ec) return fail(win32::os_error(static_cast<DWORD>(ec.value())).context("Failed to register named pipe"));
    (void)pipe.release();  // owned by the stream handle from here on
    // A call that finishes at once queues no packet and sets no event: its
    // result is taken inline (overlapped_call relies on this).
    if (!::SetFileCompletionNotificationModes(instance.native_handle(),
                                              FILE_SKIP_COMPLETION_PORT_ON_SUCCESS | FILE_SKIP_SET_EVENT_ON_HANDLE))
        return fail(win32::last_os_error().context("Failed to register named pipe"));
    return instance;
}

}  // namespace zorv::pipe_server
