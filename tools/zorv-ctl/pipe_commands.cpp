// The commands that talk to the helper over its pipe.

#include <windows.h>

#include <algorithm>
#include <thread>

#include <fmt/format.h>

#include "api/pipe_path.hpp"
#include "common/file_reading.hpp"
#include "common/text.hpp"
#include "common/version.hpp"
#include "common/win32.hpp"
#include "console_output.hpp"
#include "file_version.hpp"
#include "log_tail.hpp"
#include "pipe_client/pipe_client.hpp"
#include "pipe_commands.hpp"
#include "server_identity.hpp"
#include "service_query.hpp"

namespace zorv::ctl {

namespace {

using nlohmann::json;

constexpr std::chrono::milliseconds kWaitRetry{200};
constexpr std::size_t kShownReplyBytes = 200;

struct ExchangeFailure {
    bool server_refused = false;  // the server is not the helper: nothing was sent
    Error error;
};

struct Exchanged {
    ServerIdentity server;
    std::string reply;
};

std::unexpected<ExchangeFailure> no_reply(Error error, bool server_refused = false) {
    return std::unexpected(ExchangeFailure{server_refused, std::move(error)});
}

// The helper impersonates the caller only to open a configPath as the
// caller; every other request leaves it no more than the caller's identity.
pipe_client::ServerMay what_the_server_may(const Invocation& invocation) {
    const bool names_a_file = invocation.body && invocation.body->is_object() && invocation.body->contains("configPath");
    return names_a_file ? pipe_client::ServerMay::Impersonate : pipe_client::ServerMay::Identify;
}

// Settles who serves the pipe before the request is sent.
std::expected<Exchanged, ExchangeFailure> exchange(const std::string& pipe, std::string_view payload,
                                                   const pipe_client::Deadline& deadline,
                                                   const Invocation& invocation) {
    std::optional<Result<ServerIdentity>> server;  // set once the pipe is open
    const pipe_client::ExchangeOptions options{
        .server_may = what_the_server_may(invocation),
        .check_server = [&](HANDLE handle) -> Status {
            server = verify_pipe_server(handle, pipe, invocation.server_path);
            if (!*server) return fail(server->error());
            return {};
        },
    };
    auto reply = pipe_client::exchange(pipe, payload, deadline, options);
    if (!server) return no_reply(with_waited_time(reply.error(), deadline));
    if (!*server) return no_reply(reply.error(), true);
    if (!reply) return no_reply(reply.error());
    return Exchanged{std::move(**server), std::move(*reply)};
}

std::string health_payload() { return json{{"method", "GET"}, {"path", "/healthz"}}.dump(); }

Result<std::string> read_config_file(const std::filesystem::path& path) {
    const std::string shown = win32::path_text(path);
    win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail(win32::last_os_error().context("Failed to open config file " + shown));
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size)) return fail(win32::last_os_error().context("Failed to read " + shown));
    if (size.QuadPart > api::kMaxRequestSize)
        return fail(fmt::format("Config file {} is larger than a request may be ({} bytes)", shown,
                                api::kMaxRequestSize));
    auto content = win32::read_at_most(file.get(), static_cast<std::size_t>(size.QuadPart));
    if (!content) return fail(content.error().context("Failed to read " + shown));
    if (!text::is_valid_utf8(*content)) return fail("Config file " + shown + " is not valid UTF-8 text");
    return content;
}

Result<std::string> request_payload(const Invocation& invocation) {
    json payload = {{"method", invocation.method}, {"path", invocation.path}};
    if (invocation.body) payload["body"] = *invocation.body;
    if (invocation.config_file) {
        auto content = read_config_file(*invocation.config_file);
        if (!content) return fail(content.error());
        payload["body"]["configContent"] = std::move(*content);
    }
    std::string text = payload.dump();
    if (text.size() > api::kMaxRequestSize)
        return fail(fmt::format("The request has {} bytes; the helper accepts at most {}", text.size(),
                                api::kMaxRequestSize));
    return text;
}

std::string dump(const json& value, int indent = -1) {
    return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

// Prints a reply and turns its status into the exit status.
Outcome show_reply(const std::string& reply, bool json_only) {
    const json parsed = json::parse(reply, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains("status") ||
        !parsed["status"].is_number_unsigned() || !parsed.contains("body")) {
        const std::string shown = reply.substr(0, kShownReplyBytes);
        return {kExitNoReply, "The reply is not one the helper sends: " + text::quoted(text::sanitize_utf8(shown))};
    }
    const auto status = parsed["status"].get<std::uint64_t>();
    if (json_only) print(dump(parsed) + "\n");
    else print(fmt::format("status: {}\n{}\n", status, dump(parsed["body"], 2)));
    if (status == 200) return {};
    const json& body = parsed["body"];
    std::string complaint = fmt::format("The helper answered with status {}", status);
    if (body.is_object() && body.contains("message") && body["message"].is_string())
        complaint += ": " + body["message"].get<std::string>();
    return {kExitOtherReply, complaint};
}

// The helper the service is registered with, for when none answers.
struct InstalledHelper {
    std::string image;
    Result<std::string> version;
};
std::optional<InstalledHelper> installed_helper() {
    auto service = query_service();
    if (!service || !*service) return std::nullopt;
    auto image = registered_image_path((*service)->image_command);
    if (!image) return std::nullopt;
    std::string path = win32::path_text(*image);
    Result<std::string> version = file_product_version(path);
    return InstalledHelper{std::move(path), std::move(version)};
}

}  // namespace

Error with_waited_time(const Error& error, const pipe_client::Deadline& deadline) {
    if (error.os_code() != ERROR_FILE_NOT_FOUND) return error;
    return Error(fmt::format("{} (waited {})", error.message(), deadline.budget_text()));
}

std::string version_line() { return fmt::format("{} {}\n", kProgramName, kProductVersion); }

Outcome run_request(const Invocation& invocation, const std::string& pipe) {
    auto payload = request_payload(invocation);
    if (!payload) return {kExitUsage, payload.error().one_line()};
    const pipe_client::Deadline deadline(invocation.timeout);
    auto reply = exchange(pipe, *payload, deadline, invocation);
    if (!reply) return {kExitNoReply, reply.error().error.one_line()};
    return show_reply(reply->reply, invocation.json_only);
}

Outcome run_wait(const Invocation& invocation, const std::string& pipe) {
    const std::string payload = health_payload();
    const pipe_client::Deadline deadline(invocation.timeout);
    // While a service restarts, its pipe may briefly belong to a process the
    // SCM no longer reports, so a refusal is retried as well; it is what the
    // operator hears about at the end, being the more telling failure.
    std::optional<Error> refusal;
    for (;;) {
        auto reply = exchange(pipe, payload, deadline, invocation);
        if (reply) return show_reply(reply->reply, invocation.json_only);
        if (reply.error().server_refused) refusal = reply.error().error;
        if (deadline.passed())
            return {kExitNoReply, fmt::format("The helper did not answer within {} s: {}", invocation.timeout.count(),
                                              refusal.value_or(reply.error().error).one_line())};
        std::this_thread::sleep_for(std::min(deadline.remaining(), kWaitRetry));
    }
}

Outcome run_version(const Invocation& invocation, const std::string& pipe) {
    // The helper is asked for /healthz, so that it sees an ordinary request.
    auto exchanged = exchange(pipe, health_payload(), pipe_client::Deadline(invocation.timeout), invocation);
    json facts = {{"version", kProductVersion}, {"pipe", api::pipe_path(pipe)}, {"helper", nullptr}};
    Outcome outcome;
    Result<std::string> helper_version = fail("No helper answered");
    if (exchanged) {
        const ServerIdentity& server = exchanged->server;
        helper_version = file_product_version(server.image);
        facts["helper"] = {{"pid", server.pid},
                           {"image", server.image},
                           {"version", helper_version ? json(*helper_version) : json(nullptr)}};
    } else {
        outcome = {kExitNoReply, exchanged.error().error.one_line()};
    }
    // No helper answered (the service stopped, say): the installed one's version still tells what would run.
    const std::optional<InstalledHelper> installed = exchanged ? std::nullopt : installed_helper();
    if (installed)
        facts["installed"] = {{"image", installed->image},
                              {"version", installed->version ? json(*installed->version) : json(nullptr)}};
    if (invocation.json_only) {
        print(dump(facts) + "\n");
        return outcome;
    }
    print(version_line());
    if (exchanged) {
        print(fmt::format("helper: process {} on {}, {}\n", exchanged->server.pid, api::pipe_path(pipe),
                          printable_line(exchanged->server.image)));
        print(fmt::format("helper version: {}\n",
                          helper_version.value_or("unknown (its image has no version resource)")));
    }
    if (installed) {
        print(fmt::format("installed helper (not answering): {}\n", printable_line(installed->image)));
        print(fmt::format("installed helper version: {}\n",
                          installed->version.value_or("unknown (its image has no version resource)")));
    }
    return outcome;
}

}  // namespace zorv::ctl
