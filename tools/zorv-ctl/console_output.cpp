#include "console_output.hpp"

#include <windows.h>

#include "common/win32.hpp"

namespace zorv::ctl {

namespace {

bool g_printed = false;  // the CLI prints from its one thread

void write_to(DWORD which, std::string_view text) {
    HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (::GetConsoleMode(handle, &mode)) {
        const std::wstring wide = win32::to_wide(text);
        ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    while (!text.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
        if (!::WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) return;
        text.remove_prefix(written);
    }
}

}  // namespace

void print(std::string_view text) {
    g_printed = true;
    write_to(STD_OUTPUT_HANDLE, text);
}
void print_error(std::string_view text) { write_to(STD_ERROR_HANDLE, text); }
bool printed_anything() { return g_printed; }

}  // namespace zorv::ctl
