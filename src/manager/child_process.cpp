#include "manager/child_process.hpp"

#include <fmt/format.h>

namespace zorv::manager {

Result<std::optional<std::uint32_t>> ChildProcess::try_wait() const {
    const DWORD waited = ::WaitForSingleObject(process.get(), 0);
    if (waited == WAIT_TIMEOUT) return std::optional<std::uint32_t>{};
    if (waited != WAIT_OBJECT_0) return fail(win32::last_os_error());
    DWORD code = 0;
    if (!::GetExitCodeProcess(process.get(), &code)) return fail(win32::last_os_error());
    return std::optional<std::uint32_t>{code};
}

Status ChildProcess::kill(std::uint32_t exit_code) const {
    if (!::TerminateProcess(process.get(), exit_code)) return fail(win32::last_os_error());
    return {};
}

Status ChildProcess::wait() const {
    if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) return fail(win32::last_os_error());
    return {};
}

std::string exit_status_text(std::uint32_t code) {
    if (code & 0x80000000u) return fmt::format("exit code: {:#x}", code);
    return fmt::format("exit code: {}", code);
}

}  // namespace zorv::manager
