#include "security/client_verification.hpp"

#include <winternl.h>
#include <wtsapi32.h>

#include <array>
#include <cstring>
#include <memory>

#include <fmt/format.h>

#include "common/name_comparison.hpp"
#include "common/text.hpp"
#include "common/win32.hpp"
#include "logger/helper_events.hpp"
#include "logger/log.hpp"
#include "security/known_clients.hpp"
#include "security/strict_mode.hpp"

namespace zorv::security {

namespace {

// Placeholder that installers leave in the variable when no path was filled in.
constexpr std::string_view kExpectedPathPlaceholder = "__SINGBOX_EXPECTED_CLIENT_PATH__";
constexpr std::size_t kImageNameUnits = 1024;

// The desktop client's short name and its executable stem.
constexpr std::string_view kShortName = "VEXL2";
constexpr std::string_view kClientStem = "vexl2-tauri";

bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string trim_unicode_space(std::string_view value) {
    const std::u32string cps = text::decode_utf8(value);
    std::size_t begin = 0;
    std::size_t end = cps.size();
    while (begin < end && is_unicode_space(cps[begin])) ++begin;
    while (end > begin && is_unicode_space(cps[end - 1])) --end;
    return text::encode_utf8(std::u32string_view(cps).substr(begin, end - begin));
}

// Letters and digits of any script; everything else dropped.
std::string alnum_only(std::string_view value) {
    std::u32string kept;
    for (char32_t c : text::decode_utf8(value))
        if (text::is_unicode_alnum(c)) kept.push_back(c);
    return text::encode_utf8(kept);
}

// The exact stems the desktop client ships under: the short name bare and
// with its affixes, the client stem bare and with the "app-" prefix.
bool stem_matches(std::string_view stem) {
    const std::string short_name = text::ascii_lower(kShortName);
    const std::string client_stem(kClientStem);
    const std::array<std::string, 6> allowed = {
        short_name,  fmt::format("{}-tauri", short_name), fmt::format("app-{}", short_name),
        fmt::format("app-{}-tauri", short_name), client_stem, fmt::format("app-{}", client_stem)};
    for (const auto& candidate : allowed)
        if (text::equal_ignoring_case(stem, candidate)) return true;
    return false;
}

std::optional<ClientVerdict> bypass_verdict(std::uint32_t pid, const ClientCheckSettings& settings) {
    if (settings.bypass && *settings.bypass == "1") return ClientVerdict{pid, AcceptedBy::Bypass, 0, {}};
    return std::nullopt;
}

// The expected path, when the variable holds a usable value.
std::optional<std::string> usable_expected_path(const ClientCheckSettings& settings) {
    if (!settings.expected_path) return std::nullopt;
    std::string trimmed = trim_unicode_space(*settings.expected_path);
    if (trimmed.empty() || trimmed == kExpectedPathPlaceholder) return std::nullopt;
    return trimmed;
}

Status check_interactive_session(const ClientFacts& facts, std::uint32_t session) {
    const std::uint32_t console = facts.active_console_session();
    if (console != kNoConsoleSession && console == session) return {};
    if (session != kNoConsoleSession) {
        const auto state = facts.connect_state(session);
        if (state && *state == kWtsActive) return {};
    }
    return fail(fmt::format(
        "Access denied: client session {} is not an active interactive or console session (active_console={})",
        session, console));
}

}  // namespace

std::string_view path_file_name(std::string_view path) {
    const auto is_separator = [](char c) { return c == '\\' || c == '/'; };
    while (!path.empty() && is_separator(path.back())) path.remove_suffix(1);
    const auto last = path.find_last_of("\\/");
    if (last == std::string_view::npos) {
        // A bare drive ("C:") names no file.
        if (path.size() == 2 && path[1] == ':') return {};
        return path;
    }
    std::string_view name = path.substr(last + 1);
    if (name == "." || name == "..") return {};
    return name;
}

bool is_desktop_client_file_name(std::string_view name) {
    constexpr std::string_view kExe = ".exe";
    // ".exe" is ASCII, and so is every character that upper-cases to it.
    if (!text::ends_with_ignoring_case(name, kExe) || name.size() < kExe.size()) return false;
    const std::string_view stem = name.substr(0, name.size() - kExe.size());
    if (stem_matches(stem)) return true;
    const std::string reduced = alnum_only(stem);
    if (text::equal_ignoring_case(reduced, "vexl2") || text::equal_ignoring_case(reduced, "vexl2tauri")) return true;
    if (text::ends_with_ignoring_case(name, "-tauri.exe")) return true;
    for (std::string_view known : {"zorv.exe", "vexl.exe", "zorv2.exe", "vexl2.exe"})
        if (text::equal_ignoring_case(name, known)) return true;
    return false;
}

bool is_in_untrusted_directory(std::string_view path) {
    for (std::string_view folder : {"\\temp\\", "\\tmp\\", "\\downloads\\", "\\users\\public\\"})
        if (text::contains_ignoring_case(path, folder)) return true;
    return false;
}

Result<ClientVerdict> decide_pipe_client(const ClientFacts& facts, const ClientCheckSettings& settings) {
    const auto pid_fact = facts.client_pid();
    if (!pid_fact || *pid_fact == 0) return fail("Failed to query named pipe client process ID");
    const std::uint32_t pid = *pid_fact;

    if (auto bypassed = bypass_verdict(pid, settings)) return *bypassed;

    const auto session = facts.session_of(pid);
    if (!session) return fail(fmt::format("Failed to query session ID for client PID {}", pid));
    if (*session == 0) return fail("Access denied: client cannot be in Session 0 (services isolation)");
    if (auto interactive = check_interactive_session(facts, *session); !interactive)
        return fail(interactive.error());

    const ImagePath image = facts.image_path(pid);
    if (!image) {
        if (image.error() == ImageFailure::OpenFailed)
            return fail(fmt::format("Failed to open client process PID {} for verification", pid));
        return fail(fmt::format("Failed to query process image name for client PID {}", pid));
    }
    const std::string& path = *image;

    if (const auto expected = usable_expected_path(settings)) {
        if (text::equal_ignoring_case(*expected, path)) return ClientVerdict{pid, AcceptedBy::ExpectedPath, *session, path};
        return fail(fmt::format("Client process path mismatch: actual='{}', expected='{}'", path, *expected));
    }

    if (!is_desktop_client_file_name(path_file_name(path)))
        return fail(fmt::format("Unauthorized client process: '{}' (PID {})", path, pid));
    if (is_in_untrusted_directory(path))
        return fail(fmt::format("Client process is running from untrusted directory: '{}'", path));

    return ClientVerdict{pid, AcceptedBy::ClientRules, *session, path};
}

// ---- Win32 gathering ----

namespace {

std::optional<std::uint32_t> query_client_pid(HANDLE pipe) {
    ULONG pid = 0;
    if (!::GetNamedPipeClientProcessId(pipe, &pid)) return std::nullopt;
    return static_cast<std::uint32_t>(pid);
}

// What ProcessSessionInformation fills in (PROCESS_SESSION_INFORMATION).
struct ProcessSession {
    ULONG session_id = 0;
};

// The handle-based form of ProcessIdToSessionId, which would open the process a second time.
std::optional<std::uint32_t> query_session_of(HANDLE process) {
    if (process == nullptr) return std::nullopt;
    ProcessSession info;
    const NTSTATUS status =
        ::NtQueryInformationProcess(process, ProcessSessionInformation, &info, sizeof info, nullptr);
    if (status < 0) return std::nullopt;
    return static_cast<std::uint32_t>(info.session_id);
}

std::optional<std::uint32_t> query_connect_state(std::uint32_t session) {
    win32::UniqueWtsMemory<wchar_t> buffer;
    DWORD bytes = 0;
    const BOOL ok =
        ::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSConnectState, buffer.put(), &bytes);
    if (!ok || !buffer || bytes < sizeof(std::uint32_t)) return std::nullopt;
    std::uint32_t state = 0;
    std::memcpy(&state, buffer.get(), sizeof state);
    return state;
}

ImagePath query_image_path(HANDLE process) {
    if (process == nullptr) return std::unexpected(ImageFailure::OpenFailed);
    std::array<wchar_t, kImageNameUnits> buffer{};
    DWORD length = static_cast<DWORD>(buffer.size());
    const BOOL ok = ::QueryFullProcessImageNameW(process, 0, buffer.data(), &length);
    if (!ok || length == 0) return std::unexpected(ImageFailure::QueryFailed);
    return win32::from_wide(std::wstring_view(buffer.data(), length));
}

// The client's process, opened once when a fact first needs it: its session
// and its image name are then read from the same process object, which a
// recycled process id cannot swap in between. Facts already known for the
// process come from `known` without opening it again; facts read here are
// handed to it with the handle they were read from.
class ClientProcess {
public:
    explicit ClientProcess(KnownClients& known) : known_(known) {}
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;
    ~ClientProcess() {
        if (handle_ && session_ && image_ && *image_)
            known_.remember(pid_, std::move(handle_), KnownClientFacts{**session_, **image_});
    }

    std::optional<std::uint32_t> session_of(std::uint32_t pid) {
        if (const auto facts = known(pid)) return facts->session;
        if (!session_) session_ = query_session_of(open(pid));
        return *session_;
    }
    ImagePath image_path(std::uint32_t pid) {
        if (const auto facts = known(pid)) return facts->image_path;
        if (!image_) image_ = query_image_path(open(pid));
        return *image_;
    }
    // The image path read for the verdict, empty when none was.
    std::string image_read() const {
        if (known_facts_) return known_facts_->image_path;
        return image_ && *image_ ? **image_ : std::string();
    }

private:
    const std::optional<KnownClientFacts>& known(std::uint32_t pid) {
        if (!looked_up_) {
            looked_up_ = true;
            known_facts_ = known_.find(pid);
        }
        return known_facts_;
    }
    HANDLE open(std::uint32_t pid) {
        if (!opened_) {
            opened_ = true;
            pid_ = pid;
            handle_.reset(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        }
        return handle_.get();
    }

    KnownClients& known_;
    bool looked_up_ = false;
    std::optional<KnownClientFacts> known_facts_;
    bool opened_ = false;
    std::uint32_t pid_ = 0;
    win32::UniqueHandle handle_;
    std::optional<std::optional<std::uint32_t>> session_;
    std::optional<ImagePath> image_;
};

}  // namespace

Result<std::uint32_t> verify_pipe_client(HANDLE pipe) {
    ClientProcess process(KnownClients::shared());  // kept or closed when the verdict is in
    const ClientFacts facts{
        .client_pid = [pipe] { return query_client_pid(pipe); },
        .session_of = [&process](std::uint32_t pid) { return process.session_of(pid); },
        .active_console_session = [] { return static_cast<std::uint32_t>(::WTSGetActiveConsoleSessionId()); },
        .connect_state = query_connect_state,
        .image_path = [&process](std::uint32_t pid) { return process.image_path(pid); },
    };
    const ClientCheckSettings settings{
        .bypass = win32::env_var(L"ZORV_TEST_BYPASS_CLIENT_CHECK"),
        .expected_path = win32::env_var(L"SINGBOX_EXPECTED_CLIENT_PATH"),
    };
    auto verdict = decide_pipe_client(facts, settings);
    if (!verdict) {
        events::client_rejected(process.image_read(), verdict.error().one_line());
        return fail(std::move(verdict.error()));
    }
    if (verdict->accepted_by != AcceptedBy::Bypass) {
        auto guarded = check_strict_mode_path(fmt::format("client process '{}'", verdict->path),
                                              win32::to_wide(verdict->path));
        if (!guarded) {
            events::client_rejected(verdict->path, guarded.error().one_line());
            return fail(std::move(guarded.error()));
        }
    }
    if (verdict->accepted_by == AcceptedBy::ClientRules) {
        log::info(log::target::security, "Verified client caller: PID={}, session={}, path='{}'", verdict->pid,
                  verdict->session, text::log_safe(verdict->path));
    }
    return verdict->pid;
}

}  // namespace zorv::security
