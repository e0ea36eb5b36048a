#include "pipe_client/pipe_client.hpp"

#include <algorithm>
#include <thread>

#include "api/framing.hpp"
#include "api/pipe_path.hpp"

namespace zorv::pipe_client {

BusyWait busy_wait(int attempt) {
    if (attempt <= 1) return {.system_wait = true};
    return {.pause = std::chrono::milliseconds(1 << std::min(attempt - 2, 3))};
}

Result<win32::UniqueHandle> connect(std::string_view pipe_name, std::chrono::milliseconds timeout) {
    const std::string path = api::pipe_path(pipe_name);
    const std::wstring wide_path = win32::to_wide(path);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int busy = 0;;) {
        // At identification level: the server may learn who calls, never act
        // as them. A client that sends a configPath needs impersonation level
        // (the helper opens that file as the caller); nothing here sends one
        // to a helper that enforces it.
        HANDLE pipe = ::CreateFileW(wide_path.c_str(), api::kClientPipeAccess, 0, nullptr, OPEN_EXISTING,
                                    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) return win32::UniqueHandle(pipe);
        const DWORD error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) {
            return fail(win32::os_error(error).context("Failed to open " + path));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            if (error == ERROR_PIPE_BUSY) return fail(win32::os_error(error).context("Pipe stayed busy: " + path));
            return fail("No helper is listening on " + path);
        }
        // No instance at all (a helper starting or going away): retry shortly.
        if (error != ERROR_PIPE_BUSY) {
            busy = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } else if (const BusyWait wait = busy_wait(++busy); wait.system_wait) {
            ::WaitNamedPipeW(wide_path.c_str(), 50);
        } else {
            std::this_thread::sleep_for(wait.pause);
        }
    }
}

Status write_all(HANDLE pipe, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
        if (!::WriteFile(pipe, bytes.data(), chunk, &written, nullptr)) return fail(win32::last_os_error());
        if (written == 0) return fail("Pipe accepted no bytes");
        bytes.remove_prefix(written);
    }
    return {};
}

namespace {
Status read_exact(HANDLE pipe, char* out, std::size_t size) {
    while (size > 0) {
        DWORD read = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20));
        if (!::ReadFile(pipe, out, chunk, &read, nullptr)) return fail(win32::last_os_error());
        if (read == 0) return fail("Pipe closed before the reply was complete");
        out += read;
        size -= read;
    }
    return {};
}
}  // namespace

Result<std::string> read_frame(HANDLE pipe) {
    std::array<unsigned char, 4> prefix{};
    if (auto ok = read_exact(pipe, reinterpret_cast<char*>(prefix.data()), prefix.size()); !ok)
        return fail(ok.error().context("Failed to read reply length"));
    std::string payload(api::decode_length(prefix), '\0');
    if (auto ok = read_exact(pipe, payload.data(), payload.size()); !ok)
        return fail(ok.error().context("Failed to read reply payload"));
    return payload;
}

Result<std::string> exchange(std::string_view pipe_name, std::string_view request_payload,
                             std::chrono::milliseconds timeout) {
    auto pipe = connect(pipe_name, timeout);
    if (!pipe) return fail(pipe.error());
    if (auto ok = write_all(pipe->get(), api::encode_frame(request_payload)); !ok)
        return fail(ok.error().context("Failed to send request"));
    return read_frame(pipe->get());
}

Result<api::PipeResponse> call(std::string_view pipe_name, std::string_view method, std::string_view path,
                               const std::optional<nlohmann::json>& body, std::chrono::milliseconds timeout) {
    nlohmann::json request = {{"method", method}, {"path", path}};
    if (body) request["body"] = *body;
    auto reply = exchange(pipe_name, request.dump(), timeout);
    if (!reply) return fail(reply.error());
    const nlohmann::json parsed = nlohmann::json::parse(*reply, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains("status") ||
        !parsed["status"].is_number_unsigned() || !parsed.contains("body"))
        return fail("Malformed reply: " + *reply);
    return api::PipeResponse{parsed["status"].get<std::uint16_t>(), parsed["body"]};
}

}  // namespace zorv::pipe_client
