// Loads each DLL named on its command line by bare name, with the loader's
// default search (the executable's folder first), and prints
//   <name> loaded | <name> error <code>
// The planted-DLL test's control: it shows a planted DLL is loaded when the
// search is not limited to System32.

#include <windows.h>

#include <cstdio>
#include <string>

#include "common/win32.hpp"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = zorv::win32::to_wide(argv[i]);
        if (::LoadLibraryW(name.c_str()) != nullptr)
            std::printf("%s loaded\n", argv[i]);
        else
            std::printf("%s error %lu\n", argv[i], ::GetLastError());
    }
    return 0;
}
