// Planted beside an executable under the name of a system DLL. Whenever a
// process loads it, it leaves "<its own path>.loaded" beside itself, so a test
// can tell which names the loader took from the executable's folder.

#include <windows.h>

#include <array>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID /*reserved*/) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    std::array<wchar_t, MAX_PATH + 16> marker{};
    const DWORD length = ::GetModuleFileNameW(self, marker.data(), MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    const wchar_t suffix[] = L".loaded";
    for (DWORD i = 0; i < sizeof suffix / sizeof suffix[0]; ++i) marker[length + i] = suffix[i];
    const HANDLE file = ::CreateFileW(marker.data(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    return TRUE;
}
