// zorv-ctl: an operator's client for the helper's control pipe.

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "command_line.hpp"
#include "common/error.hpp"
#include "common/text.hpp"
#include "common/win32.hpp"
#include "pipe_server/framing.hpp"
#include "pipe_server/pipe_client.hpp"

namespace zorv::ctl {
namespace {

using nlohmann::json;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// A pipe that does not exist yet is retried this long before the tool says
// nobody listens; a busy one is waited for up to the request's timeout.
constexpr std::chrono::seconds kAbsentPipeGrace{1};

std::vector<std::string> arguments() {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return args;
    for (int i = 1; i < count; ++i) args.push_back(win32::from_wide(wide[i]));
    ::LocalFree(wide);
    return args;
}

// Text to a console as UTF-16, to a file or pipe as the UTF-8 bytes.
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
        if (!::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written == 0)
            return;
        text.remove_prefix(written);
    }
}
void print(std::string_view text) { write_to(STD_OUTPUT_HANDLE, text); }
void print_error(std::string_view text) { write_to(STD_ERROR_HANDLE, text); }

Result<std::string> read_config_file(const std::filesystem::path& path) {
    const std::string shown = win32::path_text(path);
    win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail(win32::last_os_error().context("Failed to open config file " + shown));
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size)) return fail(win32::last_os_error().context("Failed to read " + shown));
    if (size.QuadPart > framing::kMaxRequestSize)
        return fail(fmt::format("Config file {} is larger than a request may be ({} bytes)", shown,
                                framing::kMaxRequestSize));
    std::string content(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t filled = 0;
    while (filled < content.size()) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), content.data() + filled, static_cast<DWORD>(content.size() - filled), &read,
                        nullptr))
            return fail(win32::last_os_error().context("Failed to read " + shown));
        if (read == 0) break;
        filled += read;
    }
    content.resize(filled);
    if (!text::is_valid_utf8(content)) return fail("Config file " + shown + " is not valid UTF-8 text");
    return content;
}

Result<std::string> request_payload(const Request& request) {
    json payload = {{"method", request.method}, {"path", request.path}};
    if (request.body) payload["body"] = *request.body;
    if (request.config_file) {
        auto content = read_config_file(*request.config_file);
        if (!content) return fail(content.error());
        payload["body"]["configContent"] = std::move(*content);
    }
    std::string text = payload.dump();
    if (text.size() > framing::kMaxRequestSize)
        return fail(fmt::format("The request has {} bytes; the helper accepts at most {}", text.size(),
                                framing::kMaxRequestSize));
    return text;
}

// Opens the pipe: a missing pipe is reported quickly, a busy one waited for.
Result<win32::UniqueHandle> open_pipe(const Request& request) {
    const auto grace = std::min<std::chrono::milliseconds>(kAbsentPipeGrace, request.timeout);
    auto pipe = pipe_client::connect(request.pipe, grace);
    if (!pipe && pipe.error().os_code() == ERROR_PIPE_BUSY) pipe = pipe_client::connect(request.pipe, request.timeout);
    return pipe;
}

int run(const Request& request) {
    auto payload = request_payload(request);
    if (!payload) {
        print_error("Error: " + payload.error().one_line() + "\n");
        return kExitFailed;
    }
    auto pipe = open_pipe(request);
    if (!pipe) {
        // Reads "No helper is listening on \\.\pipe\..." when nothing serves the pipe.
        print_error("Error: " + pipe.error().one_line() + "\n");
        return kExitFailed;
    }
    if (auto sent = pipe_client::write_all(pipe->get(), framing::encode_frame(*payload)); !sent) {
        print_error("Error: " + sent.error().context("Failed to send the request").one_line() + "\n");
        return kExitFailed;
    }
    auto reply = pipe_client::read_frame(pipe->get());
    if (!reply) {
        print_error("Error: The helper closed the connection without a reply: " + reply.error().one_line() +
                    "\nIt does this for callers it does not accept; see the helper's log.\n");
        return kExitFailed;
    }

    const json parsed = json::parse(*reply, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains("status") ||
        !parsed["status"].is_number_unsigned() || !parsed.contains("body")) {
        print_error("Error: Malformed reply: " + text::sanitize_utf8(*reply) + "\n");
        return kExitFailed;
    }
    const auto status = parsed["status"].get<std::uint64_t>();
    print(fmt::format("status: {}\n{}\n", status, parsed["body"].dump(2, ' ', false, json::error_handler_t::replace)));
    return status == 200 ? kExitOk : kExitFailed;
}

}  // namespace
}  // namespace zorv::ctl

int main() {
    using namespace zorv::ctl;
    const Parsed parsed = parse_command_line(arguments());
    if (std::holds_alternative<ShowHelp>(parsed)) {
        print(usage_text());
        return kExitOk;
    }
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        print_error("zorv-ctl: " + error->message + "\n\n" + usage_text());
        return kExitUsage;
    }
    return run(std::get<Request>(parsed));
}
