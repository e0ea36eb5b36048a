#include "server_identity.hpp"

#include <array>

#include <fmt/format.h>

#include "api/pipe_path.hpp"
#include "common/product.hpp"
#include "common/text.hpp"
#include "common/win32.hpp"
#include "service_query.hpp"

namespace zorv::ctl {

namespace {

constexpr std::string_view kHelperFileName = "zorv-helper.exe";
constexpr std::size_t kImageNameUnits = 32768;

Result<std::string> query_image(std::uint32_t pid) {
    win32::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return fail(win32::last_os_error().context("Failed to open it"));
    std::wstring buffer(kImageNameUnits, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!::QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &length) || length == 0)
        return fail(win32::last_os_error().context("Failed to read its image path"));
    return win32::from_wide(std::wstring_view(buffer.data(), length));
}

// Volume serial number and file index: what makes a file itself.
Result<std::array<DWORD, 3>> file_identity(const std::filesystem::path& path) {
    win32::UniqueHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !::GetFileInformationByHandle(file.get(), &info))
        return fail(win32::last_os_error().context("Failed to examine " + win32::path_text(path)));
    return std::array<DWORD, 3>{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// Whether both files can be examined and are one file: one that cannot be
// examined is never taken for the trusted helper.
bool provably_same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
    const auto first = file_identity(a);
    const auto second = file_identity(b);
    return first && second && *first == *second;
}

}  // namespace

Status judge_service_pipe_server(std::string_view pipe, std::uint32_t server_pid, const ServiceProcess& service) {
    const std::string refusing = fmt::format("Refusing to send to {}: it is served by process {}", pipe, server_pid);
    if (!service)
        return fail(fmt::format("{}, but the service {} is not installed", refusing, product::kServiceName));
    if (*service == 0)
        return fail(fmt::format("{}, but the service {} is not running (the Service Control Manager reports no "
                                "process for it)",
                                refusing, product::kServiceName));
    if (*service != server_pid)
        return fail(fmt::format("{}, but the Service Control Manager reports process {} for the service {}",
                                refusing, *service, product::kServiceName));
    return {};
}

Status judge_console_helper(std::string_view pipe, std::uint32_t server_pid, const Result<std::string>& image,
                            std::string_view expected, bool same_file) {
    if (!image)
        return fail(fmt::format("Refusing to send to {}: its server, process {}, cannot be examined: {}", pipe,
                                server_pid, image.error().one_line()));
    if (!same_file)
        return fail(fmt::format("Refusing to send to {}: its server, process {}, runs {}, not {} (--server-path "
                                "names the helper to trust)",
                                pipe, server_pid, text::quoted(*image), text::quoted(expected)));
    return {};
}

Result<std::filesystem::path> expected_helper_image(const std::optional<std::filesystem::path>& server_path) {
    if (server_path) return *server_path;
    auto own = win32::current_exe_path();
    if (!own) return fail(own.error().context("Cannot tell which helper to trust: this program's path is unknown"));
    return own->parent_path() / std::wstring(kHelperFileName.begin(), kHelperFileName.end());
}

bool is_service_pipe(std::string_view pipe_name) {
    const std::wstring given = win32::to_wide(pipe_name);
    const std::wstring service = win32::to_wide(product::default_pipe_name());
    return ::CompareStringOrdinal(given.data(), static_cast<int>(given.size()), service.data(),
                                  static_cast<int>(service.size()), TRUE) == CSTR_EQUAL;
}

Result<ServerIdentity> verify_pipe_server(HANDLE pipe, std::string_view pipe_name,
                                          const std::optional<std::filesystem::path>& server_path) {
    const std::string path = api::pipe_path(pipe_name);
    ULONG server_pid = 0;
    if (!::GetNamedPipeServerProcessId(pipe, &server_pid) || server_pid == 0)
        return fail(win32::last_os_error().context("Refusing to send to " + path +
                                                   ": cannot tell which process serves it"));
    const Result<std::string> image = query_image(server_pid);
    if (is_service_pipe(pipe_name)) {
        auto service = query_service();
        if (!service)
            return fail(service.error().context("Refusing to send to " + path +
                                                ": cannot ask the Service Control Manager who should serve it"));
        const ServiceProcess process =
            *service ? ServiceProcess((*service)->pid) : ServiceProcess(std::nullopt);
        if (auto judged = judge_service_pipe_server(path, server_pid, process); !judged) return fail(judged.error());
    } else {
        auto expected = expected_helper_image(server_path);
        if (!expected) return fail(expected.error());
        const bool same = image && provably_same_file(std::filesystem::path(win32::to_wide(*image)), *expected);
        if (auto judged = judge_console_helper(path, server_pid, image, win32::path_text(*expected), same); !judged)
            return fail(judged.error());
    }
    return ServerIdentity{server_pid, image ? *image : std::string()};
}

}  // namespace zorv::ctl
