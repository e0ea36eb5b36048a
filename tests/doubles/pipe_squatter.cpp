// Holds a named pipe name the way a hostile process would: it creates the
// pipe first, with room for one instance only, so no other process can
// create an instance of that name while it runs.
//   pipe_squatter <bare pipe name> <seconds>
// Prints "holding" once the instance exists, then waits the given seconds (or
// until it is ended). Exits 0, or 1 when the pipe cannot be created.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/win32.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: pipe_squatter <bare pipe name> <seconds>\n", stderr);
        return 1;
    }
    const std::wstring path = L"\\\\.\\pipe\\" + zorv::win32::to_wide(argv[1]);
    const zorv::win32::UniqueHandle pipe(::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                                            PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
    if (!pipe) {
        std::printf("create=error %lu\n", ::GetLastError());
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10) * 1000));
    return 0;
}
