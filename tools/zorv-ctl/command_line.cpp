#include "command_line.hpp"

#include <algorithm>
#include <charconv>
#include <span>

#include <fmt/format.h>

#include "common/product.hpp"
#include "common/text.hpp"
#include "common/win32.hpp"

namespace zorv::ctl {

namespace {

enum class ValueKind { Flag, Text, UnsignedPid, File, ServerImage, OutFile, Pipe, Seconds, LineCount };

struct OptionDefinition {
    std::string_view name;        // without the leading "--"
    std::string_view short_name;  // without the leading "-"; empty when there is none
    ValueKind kind = ValueKind::Text;
    std::string_view json_key;    // the request body member it fills, if any
    std::string_view value_name;  // shown in the help
    std::string_view help;
};

struct CommandDefinition {
    std::string_view name;
    CommandKind kind;
    std::string_view method;
    std::string_view path;
    std::span<const OptionDefinition> options;
    bool always_has_body = false;
    std::string_view help;
};

constexpr std::uint64_t kMaxTimeoutSeconds = 24 * 60 * 60;
constexpr std::uint64_t kMaxLogLines = 10000;
constexpr std::size_t kMaxPipeNameLength = 256;
constexpr std::string_view kPipePrefix = "\\\\.\\pipe\\";
constexpr std::size_t kHelpColumn = 30;
constexpr std::size_t kHelpWidth = 79;

constexpr OptionDefinition kGlobalOptions[] = {
    {"pipe", "", ValueKind::Pipe, "", "NAME",
     "pipe name (default: SINGBOX_WINDOWS_SERVICE_PIPE_NAME when set, else VEXL2VpnService.Control)"},
    {"timeout", "", ValueKind::Seconds, "", "SECONDS",
     "bounds the whole request: connecting (also to a pipe that is not there yet), sending and reading; "
     "1 to 86400 (default 30)"},
    {"json", "", ValueKind::Flag, "", "", "print only the JSON: the reply's, or the command's own facts"},
    {"server-path", "", ValueKind::ServerImage, "", "PATH",
     "on a pipe other than the service's, the helper executable its server must run (default: zorv-helper.exe "
     "beside this program)"},
};

constexpr OptionDefinition kStartOptions[] = {
    {"profile", "", ValueKind::Text, "profileId", "ID", "profileId"},
    {"binary", "", ValueKind::Text, "binaryPath", "PATH", "binaryPath"},
    {"config-path", "", ValueKind::Text, "configPath", "PATH", "configPath"},
    {"config", "", ValueKind::File, "configContent", "FILE", "configContent: the text of FILE, sent inline"},
    {"source", "", ValueKind::Text, "sourcePath", "PATH", "sourcePath"},
    {"client-pid", "", ValueKind::UnsignedPid, "clientPid", "PID", "clientPid"},
    {"client-runtime-id", "", ValueKind::Text, "clientRuntimeId", "ID", "clientRuntimeId"},
    {"operation-id", "", ValueKind::Text, "operationId", "ID", "operationId"},
};
constexpr OptionDefinition kStopOptions[] = {
    {"trigger", "", ValueKind::Text, "trigger", "TEXT", "trigger"},
    {"client-runtime-id", "", ValueKind::Text, "clientRuntimeId", "ID", "clientRuntimeId"},
    {"operation-id", "", ValueKind::Text, "operationId", "ID", "operationId"},
};
constexpr OptionDefinition kResetOptions[] = {
    {"operation-id", "", ValueKind::Text, "operationId", "ID", "operationId"},
};
constexpr OptionDefinition kLogsOptions[] = {
    {"core", "", ValueKind::Flag, "", "", "the core's log, sing-box.log, instead of service.log"},
    {"lines", "n", ValueKind::LineCount, "", "N", "how many lines from the end, 1 to 10000 (default 50)"},
};
constexpr OptionDefinition kDiagOptions[] = {
    {"out", "", ValueKind::OutFile, "", "FILE", "write the report to FILE (default: zorv-diag-DATE-TIME.txt here)"},
};

const CommandDefinition kCommands[] = {
    {"health", CommandKind::Request, "GET", "/healthz", {}, false, ""},
    {"status", CommandKind::Request, "GET", "/v1/runtime/status", {}, false, ""},
    {"start", CommandKind::Request, "POST", "/v1/runtime/start", kStartOptions, true, ""},
    {"stop", CommandKind::Request, "POST", "/v1/runtime/stop", kStopOptions, false, ""},
    {"reset", CommandKind::Request, "POST", "/v1/runtime/reset", kResetOptions, false, ""},
    {"register", CommandKind::Request, "POST", "/v1/runtime/register_client", {}, false, ""},
    {"wait", CommandKind::Wait, "GET", "/healthz", {}, false, "asks /healthz until it answers 200 or --timeout passes"},
    {"version", CommandKind::Version, "", "", {}, false, "this program's version, and which helper serves the pipe"},
    {"service", CommandKind::Service, "", "", {}, false,
     "the service's state, process id and last exit code, as the Service Control Manager has them, and the "
     "strict mode in the registry"},
    {"logs", CommandKind::Logs, "", "", kLogsOptions, false,
     "the end of service.log in the logs folder beside the service's registered image"},
    {"diag", CommandKind::Diag, "", "", kDiagOptions, false,
     "writes a report for support: versions, the service, hardened mode, the pipe's server, the firewall rule, "
     "the service folder's files and the end of both logs; never configuration content"},
};

const CommandDefinition* find_command(std::string_view name) {
    for (const auto& command : kCommands)
        if (command.name == name) return &command;
    return nullptr;
}

bool matches(const OptionDefinition& option, std::string_view spelled) {
    if (spelled.starts_with("--")) return option.name == spelled.substr(2);
    return !option.short_name.empty() && option.short_name == spelled.substr(1);
}

const OptionDefinition* find_in(std::span<const OptionDefinition> options, std::string_view spelled) {
    for (const auto& option : options)
        if (matches(option, spelled)) return &option;
    return nullptr;
}

// The option with this spelling for any command, or a global one.
const OptionDefinition* find_anywhere(std::string_view spelled) {
    if (const auto* global = find_in(kGlobalOptions, spelled)) return global;
    for (const auto& command : kCommands)
        if (const auto* option = find_in(command.options, spelled)) return option;
    return nullptr;
}

std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t min, std::uint64_t max) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < min || value > max) return std::nullopt;
    return value;
}

struct GivenOption {
    const OptionDefinition* definition;
    std::string spelled;  // as the operator wrote it, without "=value"
    std::string value;
};

bool is_help(std::string_view arg) { return arg == "-h" || arg == "--help"; }

// One option from args[i] (and its value from args[i + 1] when it takes one).
Result<GivenOption> take_option(const std::vector<std::string>& args, std::size_t& i) {
    const std::string& arg = args[i];
    std::string spelled = arg;
    std::optional<std::string> inline_value;
    if (arg.starts_with("--")) {
        if (const auto equals = arg.find('='); equals != std::string::npos) {
            spelled = arg.substr(0, equals);
            inline_value = arg.substr(equals + 1);
        }
    }
    const OptionDefinition* definition = spelled.size() > 1 ? find_anywhere(spelled) : nullptr;
    if (definition == nullptr) return fail(fmt::format("unknown option {}", text::quoted(spelled)));
    if (definition->kind == ValueKind::Flag) {
        if (inline_value) return fail(fmt::format("option {} takes no value", spelled));
        return GivenOption{definition, spelled, {}};
    }
    if (inline_value) return GivenOption{definition, spelled, *inline_value};
    // A following option is never taken for a value: "--pipe --json" lacks the pipe.
    if (i + 1 >= args.size() || args[i + 1].starts_with("--"))
        return fail(fmt::format("option {} needs a value", spelled));
    return GivenOption{definition, spelled, args[++i]};
}

// Applies one option's value to the invocation; a problem with the value is a usage error.
Status apply_option(const GivenOption& option, Invocation& invocation, nlohmann::json& body) {
    const OptionDefinition& definition = *option.definition;
    switch (definition.kind) {
        case ValueKind::Flag:
            if (definition.name == "json") invocation.json_only = true;
            if (definition.name == "core") invocation.core_log = true;
            return {};
        case ValueKind::Text: body[std::string(definition.json_key)] = option.value; return {};
        case ValueKind::UnsignedPid: {
            const auto pid = parse_decimal(option.value, 0, 0xFFFFFFFFull);
            if (!pid)
                return fail(fmt::format("option {} takes a process id from 0 to 4294967295, not {}", option.spelled,
                                        text::quoted(option.value)));
            body[std::string(definition.json_key)] = *pid;
            return {};
        }
        case ValueKind::File:
            if (option.value.empty()) return fail(fmt::format("option {} needs a file name", option.spelled));
            invocation.config_file = std::filesystem::path(win32::to_wide(option.value));
            return {};
        case ValueKind::ServerImage:
            if (option.value.empty()) return fail(fmt::format("option {} needs a file name", option.spelled));
            invocation.server_path = std::filesystem::path(win32::to_wide(option.value));
            return {};
        case ValueKind::OutFile:
            if (option.value.empty()) return fail(fmt::format("option {} needs a file name", option.spelled));
            invocation.out_file = std::filesystem::path(win32::to_wide(option.value));
            return {};
        case ValueKind::Pipe: {
            std::string_view pipe = option.value;
            if (pipe.size() >= kPipePrefix.size() && text::iequals_ascii(pipe.substr(0, kPipePrefix.size()), kPipePrefix))
                pipe.remove_prefix(kPipePrefix.size());
            if (auto usable = check_pipe_name(pipe); !usable)
                return fail(fmt::format("option {}: {}", option.spelled, usable.error().message()));
            invocation.pipe = std::string(pipe);
            return {};
        }
        case ValueKind::Seconds: {
            const auto seconds = parse_decimal(option.value, 1, kMaxTimeoutSeconds);
            if (!seconds)
                return fail(fmt::format("option {} takes whole seconds from 1 to {}, not {}", option.spelled,
                                        kMaxTimeoutSeconds, text::quoted(option.value)));
            invocation.timeout = std::chrono::seconds(*seconds);
            return {};
        }
        case ValueKind::LineCount: {
            const auto lines = parse_decimal(option.value, 1, kMaxLogLines);
            if (!lines)
                return fail(fmt::format("option {} takes a line count from 1 to {}, not {}", option.spelled,
                                        kMaxLogLines, text::quoted(option.value)));
            invocation.lines = static_cast<std::size_t>(*lines);
            return {};
        }
    }
    return {};
}

std::string option_synopsis(const OptionDefinition& option) {
    std::string synopsis = option.short_name.empty() ? "" : fmt::format("-{}, ", option.short_name);
    synopsis += fmt::format("--{}", option.name);
    if (!option.value_name.empty()) synopsis += fmt::format(" {}", option.value_name);
    return synopsis;
}

}  // namespace

Parsed parse_command_line(const std::vector<std::string>& args) {
    // Help and version win wherever they stand.
    if (std::any_of(args.begin(), args.end(), is_help)) return ShowHelp{};
    if (std::any_of(args.begin(), args.end(), [](const std::string& arg) { return arg == "--version"; }))
        return ShowVersion{};

    std::optional<std::string> command_name;
    std::vector<GivenOption> given;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.starts_with("-") && arg.size() > 1) {
            auto option = take_option(args, i);
            if (!option) return UsageError{option.error().message()};
            auto& taken = *option;
            const bool duplicate = std::any_of(given.begin(), given.end(),
                                               [&](const GivenOption& other) { return other.definition == taken.definition; });
            if (duplicate) return UsageError{fmt::format("option {} is given more than once", taken.spelled)};
            given.push_back(std::move(taken));
            continue;
        }
        if (command_name) return UsageError{fmt::format("unexpected argument {}", text::quoted(arg))};
        command_name = arg;
    }

    if (!command_name) return UsageError{"no command given"};
    const CommandDefinition* command = find_command(*command_name);
    if (command == nullptr) return UsageError{fmt::format("unknown command {}", text::quoted(*command_name))};

    Invocation invocation;
    invocation.kind = command->kind;
    invocation.command = command->name;
    invocation.method = command->method;
    invocation.path = command->path;
    nlohmann::json body = nlohmann::json::object();
    for (const auto& option : given) {
        // Spelled the same, an option of another command is its own table entry.
        const OptionDefinition* definition = find_in(kGlobalOptions, option.spelled);
        if (definition == nullptr) definition = find_in(command->options, option.spelled);
        if (definition == nullptr)
            return UsageError{fmt::format("option {} does not apply to {}", option.spelled, command->name)};
        if (auto applied = apply_option({definition, option.spelled, option.value}, invocation, body); !applied)
            return UsageError{applied.error().message()};
    }
    if (command->always_has_body || !body.empty()) invocation.body = std::move(body);
    return invocation;
}

std::string default_pipe_name(const std::optional<std::string>& environment_value) {
    if (environment_value && !environment_value->empty()) return *environment_value;
    return product::default_pipe_name();
}

Status check_pipe_name(std::string_view name) {
    if (name.empty()) return fail("needs a pipe name");
    if (name.size() > kMaxPipeNameLength)
        return fail(fmt::format("a pipe name has at most {} characters", kMaxPipeNameLength));
    const bool control = std::any_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
    if (control || name.find('/') != std::string_view::npos)
        return fail(fmt::format("{} is not a usable pipe name", text::quoted(name)));
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = std::min(name.find('\\', begin), name.size());
        const std::string_view segment = name.substr(begin, end - begin);
        if (segment.empty() || segment == "." || segment == "..")
            return fail(fmt::format("{} is not a usable pipe name", text::quoted(name)));
        if (end == name.size()) break;
        begin = end + 1;
    }
    return {};
}

std::string usage_text() {
    // The left column padded, the right one wrapped at the help's width.
    const auto row = [](std::string_view indent, std::string_view left, std::string_view right) {
        std::string text = fmt::format("{}{}", indent, left);
        text.resize(std::max(text.size() + 2, kHelpColumn), ' ');
        std::size_t line_start = 0;
        bool first_word = true;
        for (std::size_t at = 0; at < right.size();) {
            const std::size_t end = std::min(right.find(' ', at), right.size());
            const std::string_view word = right.substr(at, end - at);
            if (!first_word && text.size() - line_start + 1 + word.size() > kHelpWidth) {
                line_start = text.size() + 1;
                text += "\n" + std::string(kHelpColumn, ' ');
            } else if (!first_word) {
                text += ' ';
            }
            text += word;
            first_word = false;
            at = end + 1;
        }
        return text + "\n";
    };

    std::string text = fmt::format(
        "Usage: {} [--pipe NAME] [--timeout SECONDS] [--json] COMMAND [OPTIONS]\n"
        "\n"
        "Talks to zorv-helper: sends one request over its control pipe and prints the\n"
        "reply, or shows the service and its logs, or writes a report for support.\n"
        "Before anything is sent it checks who serves the pipe: on the service's\n"
        "pipe, the process the Service Control Manager started for {}; on any\n"
        "other pipe, a process running the zorv-helper.exe beside this program, or\n"
        "the one --server-path names.\n"
        "\n"
        "Commands:\n",
        kProgramName, product::kServiceName);
    for (const auto& command : kCommands) {
        const std::string right =
            command.kind == CommandKind::Request ? fmt::format("{:<4} {}", command.method, command.path)
                                                 : std::string(command.help);
        text += row("  ", command.name, right);
        for (const auto& option : command.options) text += row("    ", option_synopsis(option), option.help);
    }
    text += "\nOptions, with any command:\n";
    for (const auto& option : kGlobalOptions) text += row("  ", option_synopsis(option), option.help);
    text += row("  ", "--version", "this program's version");
    text += row("  ", "-h, --help", "this text");
    text +=
        "\n"
        "Options may stand before or after the command and also take the form\n"
        "--name=value.\n"
        "\n"
        "Exit status:\n"
        "  0  a reply with status 200; for service, the service runs; for logs, the\n"
        "     lines were printed; for diag, the report was written\n"
        "  1  any other reply; for service and logs, the service is not running or not\n"
        "     installed, or its log is not there; for diag, the report could not be\n"
        "     written\n"
        "  2  bad arguments, or a --config file that cannot be read\n"
        "  3  no reply: no pipe, timed out, closed without a reply, a reply too large,\n"
        "     a server that is not the helper, or the Service Control Manager unreachable\n"
        "Every exit other than 0 says why in one line on standard error.\n";
    return text;
}

}  // namespace zorv::ctl
