// Reads an executable's version resource and application manifest back the
// way Explorer's properties page and the loader would, and prints one
// "key=value" line each:
//   version_probe <executable>
//     file_version=<a.b.c.d>      product_version=<a.b.c.d>   (fixed part)
//     FileVersion=... ProductVersion=... ProductName=... FileDescription=...
//     OriginalFilename=... InternalName=... CompanyName=...  (US English, Unicode strings)
//     manifest=<the manifest text on one line>               (or manifest=none)
// Exits 0 when a version resource was found, 2 when there is none, 1 on
// other failures.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/win32.hpp"

namespace {

using zorv::win32::from_wide;

std::string dotted(DWORD high, DWORD low) {
    return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." + std::to_string(HIWORD(low)) +
           "." + std::to_string(LOWORD(low));
}

void print_fixed(const std::vector<unsigned char>& block) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &size) || size < sizeof *fixed) {
        std::printf("fixed=error\n");
        return;
    }
    std::printf("file_version=%s\n", dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str());
    std::printf("product_version=%s\n", dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());
}

void print_strings(const std::vector<unsigned char>& block) {
    for (const wchar_t* key : {L"FileVersion", L"ProductVersion", L"ProductName", L"FileDescription",
                               L"OriginalFilename", L"InternalName", L"CompanyName"}) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
        wchar_t* value = nullptr;
        UINT length = 0;
        const bool found =
            ::VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) && value;
        std::printf("%s=%s\n", from_wide(key).c_str(), found ? from_wide(value).c_str() : "<missing>");
    }
}

// The manifest the loader would apply (resource 1 of type RT_MANIFEST).
void print_manifest(const std::wstring& path) {
    HMODULE module =
        ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        std::printf("manifest=error %lu\n", ::GetLastError());
        return;
    }
    std::string text;
    if (HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST)) {
        const DWORD size = ::SizeofResource(module, found);
        HGLOBAL loaded = ::LoadResource(module, found);
        const char* bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
        if (bytes != nullptr) text.assign(bytes, size);
    }
    ::FreeLibrary(module);
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    std::printf("manifest=%s\n", text.empty() ? "none" : text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: version_probe <executable>\n", stderr);
        return 1;
    }
    const std::wstring path = zorv::win32::to_wide(argv[1]);
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        std::printf("version=error %lu\n", ::GetLastError());
        print_manifest(path);
        return 2;
    }
    std::vector<unsigned char> block(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        std::printf("version=error %lu\n", ::GetLastError());
        return 1;
    }
    print_fixed(block);
    print_strings(block);
    print_manifest(path);
    std::fflush(stdout);
    return 0;
}
