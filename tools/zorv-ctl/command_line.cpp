#include "command_line.hpp"

#include <algorithm>
#include <charconv>
#include <span>

#include <fmt/format.h>

#include "common/text.hpp"
#include "common/win32.hpp"

namespace zorv::ctl {

namespace {

enum class ValueKind { Text, UnsignedPid, File };

struct OptionSpec {
    std::string_view name;  // without the leading "--"
    std::string_view json_key;
    ValueKind kind = ValueKind::Text;
};

struct CommandSpec {
    std::string_view name;
    std::string_view method;
    std::string_view path;
    std::span<const OptionSpec> options;
    bool always_has_body = false;
};

constexpr OptionSpec kStartOptions[] = {
    {"profile", "profileId"},
    {"binary", "binaryPath"},
    {"config-path", "configPath"},
    {"config", "configContent", ValueKind::File},
    {"source", "sourcePath"},
    {"client-pid", "clientPid", ValueKind::UnsignedPid},
    {"client-runtime-id", "clientRuntimeId"},
    {"operation-id", "operationId"},
};
constexpr OptionSpec kStopOptions[] = {
    {"trigger", "trigger"},
    {"client-runtime-id", "clientRuntimeId"},
    {"operation-id", "operationId"},
};
constexpr OptionSpec kResetOptions[] = {
    {"operation-id", "operationId"},
};

const CommandSpec kCommands[] = {
    {"health", "GET", "/healthz", {}},
    {"status", "GET", "/v1/runtime/status", {}},
    {"start", "POST", "/v1/runtime/start", kStartOptions, true},
    {"stop", "POST", "/v1/runtime/stop", kStopOptions},
    {"reset", "POST", "/v1/runtime/reset", kResetOptions},
    {"register", "POST", "/v1/runtime/register_client", {}},
};

constexpr std::string_view kPipePrefix = "\\\\.\\pipe\\";
constexpr std::uint64_t kMaxTimeoutSeconds = 24 * 60 * 60;

const CommandSpec* find_command(std::string_view name) {
    for (const auto& command : kCommands)
        if (command.name == name) return &command;
    return nullptr;
}

const OptionSpec* find_option(const CommandSpec& command, std::string_view name) {
    for (const auto& option : command.options)
        if (option.name == name) return &option;
    return nullptr;
}

bool known_anywhere(std::string_view name) {
    return std::any_of(std::begin(kCommands), std::end(kCommands),
                       [name](const CommandSpec& command) { return find_option(command, name) != nullptr; });
}

std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
    return value;
}

struct GivenOption {
    std::string name;
    std::string value;
};

}  // namespace

Parsed parse_command_line(const std::vector<std::string>& args) {
    std::optional<std::string> command_name;
    std::vector<GivenOption> given;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") return ShowHelp{};
        if (arg.starts_with("--") && arg.size() > 2) {
            std::string name = arg.substr(2);
            std::string value;
            if (const auto equals = name.find('='); equals != std::string::npos) {
                value = name.substr(equals + 1);
                name.resize(equals);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return UsageError{fmt::format("option --{} needs a value", name)};
            }
            const bool duplicate = std::any_of(given.begin(), given.end(),
                                               [&name](const GivenOption& option) { return option.name == name; });
            if (duplicate) return UsageError{fmt::format("option --{} is given more than once", name)};
            given.push_back({std::move(name), std::move(value)});
            continue;
        }
        if (arg.starts_with("-")) return UsageError{fmt::format("unknown option {}", arg)};
        if (command_name) return UsageError{fmt::format("unexpected argument {}", text::quoted(arg))};
        command_name = arg;
    }

    if (!command_name) return UsageError{"no command given"};
    const CommandSpec* command = find_command(*command_name);
    if (command == nullptr) return UsageError{fmt::format("unknown command {}", text::quoted(*command_name))};

    Request request;
    request.method = command->method;
    request.path = command->path;
    nlohmann::json body = nlohmann::json::object();
    for (auto& option : given) {
        if (option.name == "pipe") {
            std::string_view pipe = option.value;
            if (pipe.size() > kPipePrefix.size() && text::iequals_ascii(pipe.substr(0, kPipePrefix.size()), kPipePrefix))
                pipe.remove_prefix(kPipePrefix.size());
            if (pipe.empty()) return UsageError{"option --pipe needs a pipe name"};
            request.pipe = pipe;
            continue;
        }
        if (option.name == "timeout") {
            const auto seconds = parse_decimal(option.value, kMaxTimeoutSeconds);
            if (!seconds) return UsageError{fmt::format("option --timeout takes whole seconds, not {}",
                                                        text::quoted(option.value))};
            request.timeout = std::chrono::seconds(*seconds);
            continue;
        }
        const OptionSpec* definition = find_option(*command, option.name);
        if (definition == nullptr) {
            if (known_anywhere(option.name))
                return UsageError{fmt::format("option --{} does not apply to {}", option.name, command->name)};
            return UsageError{fmt::format("unknown option --{}", option.name)};
        }
        switch (definition->kind) {
            case ValueKind::Text: body[std::string(definition->json_key)] = option.value; break;
            case ValueKind::UnsignedPid: {
                const auto pid = parse_decimal(option.value, 0xFFFFFFFFull);
                if (!pid) return UsageError{fmt::format("option --{} takes a process id from 0 to 4294967295, not {}",
                                                        option.name, text::quoted(option.value))};
                body[std::string(definition->json_key)] = *pid;
                break;
            }
            case ValueKind::File: request.config_file = std::filesystem::path(win32::to_wide(option.value)); break;
        }
    }
    if (command->always_has_body || !body.empty()) request.body = std::move(body);
    return request;
}

std::string usage_text() {
    return fmt::format(
        "Usage: zorv-ctl [--pipe NAME] [--timeout SECONDS] COMMAND [OPTIONS]\n"
        "\n"
        "Sends one request to a running zorv-helper over its control pipe, prints the\n"
        "reply's status and its JSON body.\n"
        "\n"
        "Commands:\n"
        "  health                      GET  /healthz\n"
        "  status                      GET  /v1/runtime/status\n"
        "  start [OPTIONS]             POST /v1/runtime/start\n"
        "    --profile ID                profileId\n"
        "    --binary PATH               binaryPath\n"
        "    --config-path PATH          configPath\n"
        "    --config FILE               configContent: the text of FILE, sent inline\n"
        "    --source PATH               sourcePath\n"
        "    --client-pid PID            clientPid\n"
        "    --client-runtime-id ID      clientRuntimeId\n"
        "    --operation-id ID           operationId\n"
        "  stop [OPTIONS]              POST /v1/runtime/stop\n"
        "    --trigger TEXT              trigger\n"
        "    --client-runtime-id ID      clientRuntimeId\n"
        "    --operation-id ID           operationId\n"
        "  reset [--operation-id ID]   POST /v1/runtime/reset\n"
        "  register                    POST /v1/runtime/register_client\n"
        "\n"
        "Options:\n"
        "  --pipe NAME         pipe name (default {})\n"
        "  --timeout SECONDS   how long to wait while the pipe is busy (default {})\n"
        "  -h, --help          this text\n"
        "\n"
        "Options also take the form --name=value.\n"
        "Exit status: 0 for a reply with status 200, 1 for any other reply or failure,\n"
        "2 for bad arguments.\n",
        kDefaultPipe, kDefaultTimeout.count());
}

}  // namespace zorv::ctl
