#include "support/process_usage.hpp"

#include <psapi.h>
#include <winternl.h>

#include <vector>

#include "common/win32.hpp"

namespace zorv::testing {

namespace {

constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

// Wine keeps no handle count per process: GetProcessHandleCount reports 0,
// which no running process has. Its system handle table lists each handle
// with its owner, so the count is taken from there instead.
Result<std::uint32_t> handles_in_system_table(DWORD pid) {
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status = ::NtQuerySystemInformation(
            SystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0) return fail(win32::os_error(::RtlNtStatusToDosError(status)).context("System handle table"));
        break;
    }
    const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    std::uint32_t count = 0;
    for (ULONG i = 0; i < table->Count; ++i)
        if (table->Handle[i].OwnerPid == pid) ++count;
    return count;
}

}  // namespace

Result<ProcessUsage> process_usage(HANDLE process) {
    ProcessUsage usage;
    DWORD handles = 0;
    if (!::GetProcessHandleCount(process, &handles))
        return fail(win32::last_os_error().context("GetProcessHandleCount failed"));
    if (handles == 0) {
        auto counted = handles_in_system_table(::GetProcessId(process));
        if (!counted) return fail(counted.error());
        handles = *counted;
    }
    usage.handles = handles;

    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
        return fail(win32::last_os_error().context("GetProcessMemoryInfo failed"));
    // Wine leaves PrivateUsage at 0 for other processes; PagefileUsage is the
    // same figure (the commit charge) on Windows, and Wine fills it in.
    usage.private_bytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    return usage;
}

}  // namespace zorv::testing
