#include "service/event_source.hpp"

#include <windows.h>

#include "common/product.hpp"
#include "common/unique_resource.hpp"
#include "common/win32.hpp"

namespace zorv::service {

namespace {

Status registry_status(LSTATUS status, std::string_view what) {
    if (status == ERROR_SUCCESS) return {};
    return fail(win32::os_error(static_cast<DWORD>(status)).context(std::string(what)));
}

}  // namespace

std::wstring event_source_key_path() {
    return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + std::wstring(product::kServiceNameW);
}

Status register_event_source(const std::filesystem::path& image) {
    win32::UniqueRegistryKey key;
    if (auto created = registry_status(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, event_source_key_path().c_str(), 0,
                                                         nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                                                         key.put(), nullptr),
                                       "Failed to create the event source key");
        !created)
        return created;
    const std::wstring file = image.wstring();
    if (auto set = registry_status(
            ::RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                             static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t))),
            "Failed to set EventMessageFile");
        !set)
        return set;
    const DWORD types = kEventTypesSupported;
    return registry_status(::RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&types), sizeof(types)),
                           "Failed to set TypesSupported");
}

Status remove_event_source() {
    const LSTATUS status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, event_source_key_path().c_str());
    if (status == ERROR_FILE_NOT_FOUND) return {};
    return registry_status(status, "Failed to delete the event source key");
}

}  // namespace zorv::service
