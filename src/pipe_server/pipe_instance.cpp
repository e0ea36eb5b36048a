#include "pipe_server/pipe_instance.hpp"

#include <sddl.h>

#include "common/win32.hpp"

namespace zorv::pipe_server {

namespace {

// Read and write for authenticated users; everything for SYSTEM and Administrators.
constexpr wchar_t kPipeSecurityDescriptor[] = L"D:(A;;GRGW;;;AU)(A;;GA;;;SY)(A;;GA;;;BA)";

using SecurityDescriptor = win32::UniqueLocalMemory<void>;

SecurityDescriptor build_security_descriptor() {
    SecurityDescriptor descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurityDescriptor, SDDL_REVISION_1,
                                                                descriptor.put(), nullptr))
        return {};
    return descriptor;
}

// The descriptor is a constant, so it is converted once, on first use, and
// kept for the life of the process; null when the conversion failed.
void* pipe_security_descriptor() {
    static const SecurityDescriptor descriptor = build_security_descriptor();
    return descriptor.get();
}

HANDLE create_named_pipe(const std::wstring& path, bool first_instance, SECURITY_ATTRIBUTES* attributes) {
    const DWORD open_mode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first_instance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipe_mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    return ::CreateNamedPipeW(path.c_str(), open_mode, pipe_mode, PIPE_UNLIMITED_INSTANCES, kPipeBufferSize,
                              kPipeBufferSize, 0, attributes);
}

}  // namespace

Result<win32::UniqueHandle> create_pipe_handle(std::string_view path, bool first_instance) {
    const std::wstring wide_path = win32::to_wide(path);
    if (void* descriptor = pipe_security_descriptor()) {
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
        win32::UniqueHandle pipe(create_named_pipe(wide_path, first_instance, &attributes));
        if (!pipe) return fail(win32::last_os_error().context("Failed to create named pipe with security attributes"));
        return pipe;
    }
    win32::UniqueHandle pipe(create_named_pipe(wide_path, first_instance, nullptr));
    if (!pipe) return fail(win32::last_os_error().context("Failed to create named pipe server"));
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
