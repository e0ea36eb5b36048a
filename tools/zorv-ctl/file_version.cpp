#include "file_version.hpp"

#include <windows.h>

#include <vector>

#include <fmt/format.h>

#include "common/win32.hpp"

namespace zorv::ctl {

Result<std::string> file_product_version(const std::string& image) {
    if (image.empty()) return fail("No image to read a version from");
    const std::wstring path = win32::to_wide(image);
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return fail(win32::last_os_error().context("No version resource in " + image));
    std::vector<unsigned char> data(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data()))
        return fail(win32::last_os_error().context("Failed to read the version resource of " + image));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != VS_FFI_SIGNATURE)
        return fail("No fixed version information in " + image);
    std::string version = fmt::format("{}.{}.{}", HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                                      HIWORD(fixed->dwProductVersionLS));
    if (LOWORD(fixed->dwProductVersionLS) != 0) version += fmt::format(".{}", LOWORD(fixed->dwProductVersionLS));
    return version;
}

}  // namespace zorv::ctl
