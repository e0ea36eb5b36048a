#include "service/registered_image.hpp"

#include <vector>

#include "common/product.hpp"
#include "common/win32.hpp"

namespace zorv::service {

namespace {

constexpr std::wstring_view kBlank = L" \t";

bool ends_word(std::wstring_view line, std::size_t at) { return at == line.size() || kBlank.find(line[at]) != kBlank.npos; }

// The bare image: up to the first ".exe" that ends a word, else the first word.
std::wstring bare_image(std::wstring_view line) {
    std::wstring lowered(line);
    for (wchar_t& c : lowered)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    for (std::size_t at = lowered.find(L".exe"); at != std::wstring::npos; at = lowered.find(L".exe", at + 1))
        if (ends_word(line, at + 4)) return std::wstring(line.substr(0, at + 4));
    return std::wstring(line.substr(0, line.find_first_of(kBlank)));
}

}  // namespace

Result<std::wstring> registered_command_line(SC_HANDLE service) {
    DWORD needed = 0;
    ::QueryServiceConfigW(service, nullptr, 0, &needed);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
        return fail(win32::last_os_error().context("Failed to read the service's configuration"));
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service, config, needed, &needed))
        return fail(win32::last_os_error().context("Failed to read the service's configuration"));
    return std::wstring(config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"");
}

Result<std::optional<std::wstring>> query_registered_command_line() {
    win32::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return fail(win32::last_os_error().context("Failed to reach the Service Control Manager"));
    const std::wstring name(product::kServiceNameW);
    win32::UniqueServiceHandle handle(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    if (!handle) {
        if (::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return std::optional<std::wstring>();
        return fail(win32::last_os_error().context("Failed to open the service " + std::string(product::kServiceName)));
    }
    auto line = registered_command_line(handle.get());
    if (!line) return fail(line.error());
    return std::optional<std::wstring>(std::move(*line));
}

Result<std::filesystem::path> image_path_of_command_line(std::wstring_view command_line) {
    const std::size_t start = command_line.find_first_not_of(kBlank);
    if (start == std::wstring_view::npos) return fail("The service has no registered image path");
    const std::wstring_view line = command_line.substr(start);
    std::wstring image;
    if (line.front() == L'"') {
        const std::size_t close = line.find(L'"', 1);
        if (close == std::wstring_view::npos) return fail("The service's registered image path has no closing quote");
        image = line.substr(1, close - 1);
    } else {
        image = bare_image(line);
    }
    const std::filesystem::path path(image);
    if (path.empty() || !path.is_absolute() || !path.has_parent_path())
        return fail("The service's registered image path is not a full path: " +
                    win32::from_wide(std::wstring(command_line)));
    return path;
}

}  // namespace zorv::service
