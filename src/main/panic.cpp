#include "main/panic.hpp"

#include <windows.h>
#include <dbghelp.h>

#include <array>
#include <exception>
#include <mutex>

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

std::string capture_backtrace(unsigned skip) {
    std::array<void*, 62> frames{};
    const USHORT count = ::CaptureStackBackTrace(skip + 1, static_cast<DWORD>(frames.size()), frames.data(), nullptr);
    HANDLE process = ::GetCurrentProcess();
    static std::once_flag symbols_ready;
    std::call_once(symbols_ready, [process] {
        ::SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS);
        ::SymInitialize(process, nullptr, TRUE);
    });
    std::string text;
    alignas(SYMBOL_INFO) std::array<char, sizeof(SYMBOL_INFO) + 256> storage{};
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(storage.data());
    for (USHORT i = 0; i < count; ++i) {
        const auto address = reinterpret_cast<DWORD64>(frames[i]);
        symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
        symbol->MaxNameLen = 255;
        DWORD64 displacement = 0;
        if (::SymFromAddr(process, address, &displacement, symbol)) {
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
[[noreturn]] void die(std::string_view location, std::string_view message) {
    if (log::enabled(log::Level::Error)) {
        log::write_unlocked(log::Level::Error, log::target::main,
                            panic_record(location, message, capture_backtrace(2)));
    }
    ::TerminateProcess(::GetCurrentProcess(), kPanicExitStatus);
    std::_Exit(kPanicExitStatus);
}

void on_terminate() { die("<uncaught exception>", current_exception_message()); }

LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    const std::string location = fmt::format("0x{:016x}", reinterpret_cast<std::uintptr_t>(record->ExceptionAddress));
    // The source was registered at start-up: this queues and waits a bounded time.
    events::crash(record->ExceptionCode, {});
    die(location, fmt::format("Unhandled structured exception 0x{:08X}", record->ExceptionCode));
}

}  // namespace

std::string panic_record(std::string_view location, std::string_view message, std::string_view backtrace) {
    return fmt::format("FATAL PANIC in zorv-helper at {}: {}\nBacktrace:\n{}", location, message, backtrace);
}

std::string format_location(const std::source_location& where) {
    return fmt::format("{}:{}:{}", where.file_name(), where.line(), where.column());
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

void install_hook() {
    std::set_terminate(on_terminate);
    ::SetUnhandledExceptionFilter(on_unhandled_exception);
}

void invariant_failure(std::string_view message, std::source_location where) { die(format_location(where), message); }

}  // namespace zorv::panic
