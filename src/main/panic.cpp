#include "main/panic.hpp"

#include <windows.h>
#include <dbghelp.h>

#include <sddl.h>

#include <array>
#include <atomic>
#include <exception>

#include <fmt/format.h>

#include "common/win32.hpp"
#include "logger/helper_events.hpp"
#include "logger/log.hpp"

namespace zorv::panic {

namespace {

// "module+0xOFFSET" for an address inside a loaded module, else empty. A
// shipped build has no symbols in the file (and Windows' dbghelp reads no
// DWARF), so this is what addr2line resolves against the module's .debug file.
std::string module_offset(DWORD64 address) {
    HMODULE module = nullptr;
    if (address == 0) return {};  // a null address would name the executable
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(address), &module))
        return {};
    std::array<wchar_t, MAX_PATH> path{};
    const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    std::wstring_view name(path.data(), length);
    name.remove_prefix(name.find_last_of(L"\\/") + 1);  // npos + 1 keeps it whole
    return fmt::format("{}+0x{:x}", win32::from_wide(name), address - reinterpret_cast<DWORD64>(module));
}

// Everything a crash needs, prepared at start-up: the filter only reads it.
struct CrashPreparation {
    bool symbols = false;
    std::array<wchar_t, 1024> dump_path{};  // empty: no dump
    win32::UniqueLocalMemory<void> dump_descriptor;
};
CrashPreparation g_prepared;
// One thread reports; dbghelp is not safe to call from two at once.
std::atomic<bool> g_reporting{false};

// Symbols of the executable's own module only, loaded when first needed.
void prepare_symbols() {
    HANDLE process = ::GetCurrentProcess();
    ::SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS);
    if (!::SymInitializeW(process, nullptr, FALSE)) return;
    std::array<wchar_t, MAX_PATH> image{};
    const DWORD length = ::GetModuleFileNameW(nullptr, image.data(), static_cast<DWORD>(image.size()));
    const auto base = reinterpret_cast<DWORD64>(::GetModuleHandleW(nullptr));
    g_prepared.symbols = length != 0 && length < image.size() &&
                         ::SymLoadModuleExW(process, nullptr, image.data(), nullptr, base, 0, nullptr, 0) != 0;
}

// "<folder>\crash-<pid>.dmp", readable by SYSTEM and Administrators only: the
// logs folder is open to users, a dump of this process's memory must not be.
void prepare_dump(const std::filesystem::path& folder) {
    if (folder.empty()) return;
    const std::wstring path = (folder / (L"crash-" + std::to_wstring(::GetCurrentProcessId()) + L".dmp")).native();
    if (path.size() >= g_prepared.dump_path.size()) return;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                                               g_prepared.dump_descriptor.put(), nullptr))
        return;
    std::copy(path.begin(), path.end(), g_prepared.dump_path.begin());
}

bool write_minidump(EXCEPTION_POINTERS* info) {
    if (g_prepared.dump_path[0] == L'\0') return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, g_prepared.dump_descriptor.get(), FALSE};
    win32::UniqueHandle file(::CreateFileW(g_prepared.dump_path.data(), GENERIC_WRITE, 0, &attributes, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    MINIDUMP_EXCEPTION_INFORMATION exception{::GetCurrentThreadId(), info, FALSE};
    // Threads and stacks only: no heap, which holds configurations.
    return ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(), MiniDumpNormal, &exception,
                             nullptr, nullptr) != FALSE;
}

[[gnu::noinline]] std::string capture_backtrace(unsigned skip) {
    std::array<void*, 62> frames{};
    const USHORT count = ::CaptureStackBackTrace(skip + 1, static_cast<DWORD>(frames.size()), frames.data(), nullptr);
    HANDLE process = ::GetCurrentProcess();
    std::string text;
    alignas(SYMBOL_INFO) std::array<char, sizeof(SYMBOL_INFO) + 256> storage{};
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(storage.data());
    for (USHORT i = 0; i < count; ++i) {
        const auto address = reinterpret_cast<DWORD64>(frames[i]);
        symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
        symbol->MaxNameLen = 255;
        DWORD64 displacement = 0;
        if (g_prepared.symbols && ::SymFromAddr(process, address, &displacement, symbol)) {
            text += fmt::format("  {:>2}: {}+0x{:x} [0x{:016x}]\n", i, symbol->Name, displacement, address);
        } else if (const std::string place = module_offset(address); !place.empty()) {
            text += fmt::format("  {:>2}: {} [0x{:016x}]\n", i, place, address);
        } else {
            text += fmt::format("  {:>2}: 0x{:016x}\n", i, address);
        }
    }
    return text;
}

// The failing thread may hold the logger's lock (a failure inside a write), so
// the record goes out past it, and nothing here waits for that lock: the
// process always ends with the panic status.
[[gnu::noinline]] void write_record(std::string_view location, std::string_view message) {
    if (log::enabled(log::Level::Error))
        log::write_unlocked(log::Level::Error, log::target::main, panic_record(location, message, capture_backtrace(3)));
}

[[noreturn, gnu::noinline]] void die(std::string_view location, std::string_view message) {
    if (!g_reporting.exchange(true)) write_record(location, message);
    ::TerminateProcess(::GetCurrentProcess(), kPanicExitStatus);
    std::_Exit(kPanicExitStatus);
}

void on_terminate() { die("<uncaught exception>", current_exception_message()); }

// Bounded work, then on to Windows Error Reporting: the process ends as a
// crash, which the SCM's failure actions answer.
LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    // This filter stands in for the runtime's own, which lets an uncaught C++
    // exception go on to std::terminate; without this it would end as a crash.
    if (is_cxx_exception_in_flight(record->ExceptionCode, record->ExceptionFlags)) return EXCEPTION_CONTINUE_EXECUTION;
    if (g_reporting.exchange(true)) return EXCEPTION_CONTINUE_SEARCH;
    const std::string location = fmt::format("0x{:016x}", reinterpret_cast<std::uintptr_t>(record->ExceptionAddress));
    write_record(location, fmt::format("Unhandled structured exception 0x{:08X}", record->ExceptionCode));
    const bool dumped = write_minidump(info);
    // The source was registered at start-up: this queues and waits a bounded time.
    events::crash(record->ExceptionCode,
                  dumped ? win32::from_wide(std::wstring_view(g_prepared.dump_path.data())) : std::string());
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool is_cxx_exception_in_flight(std::uint32_t code, std::uint32_t flags) {
    constexpr std::uint32_t kGccCode = 0x20474343;  // 'GCC' and bit 29: throw, unwind and forced unwind
    return (code & 0x20FFFFFF) == kGccCode && (flags & EXCEPTION_NONCONTINUABLE) == 0;
}

std::string panic_record(std::string_view location, std::string_view message, std::string_view backtrace) {
    return fmt::format("FATAL PANIC in zorv-helper at {}: {}\nBacktrace:\n{}", location, message, backtrace);
}

std::string current_exception_message() {
    const std::exception_ptr current = std::current_exception();
    if (!current) return "Unknown panic payload";
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown panic payload";
    }
}

void install_hook(const std::filesystem::path& dump_folder) {
    prepare_symbols();
    prepare_dump(dump_folder);
    std::set_terminate(on_terminate);
    ::SetUnhandledExceptionFilter(on_unhandled_exception);
}

}  // namespace zorv::panic
