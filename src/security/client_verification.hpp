#pragma once
// Who is at the other end of a control pipe connection: the desktop client,
// running in an interactive session, or nobody we serve.
//
// The Win32 queries live in verify_pipe_client(); every rule lives in
// decide_pipe_client(), which asks for each fact only when its turn comes, so
// a failed early step never triggers a later query.

#include <windows.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zorv::security {

inline constexpr std::uint32_t kNoConsoleSession = 0xFFFFFFFF;
inline constexpr std::uint32_t kWtsActive = 0;  // WTSActive

enum class ImageFailure { OpenFailed, QueryFailed };
// The client's executable path as text, or which of the two queries failed.
using ImagePath = std::expected<std::string, ImageFailure>;

// The caller's facts, each gathered on demand.
struct ClientFacts {
    // Process id of the pipe's client; nullopt when the query fails or yields 0.
    std::function<std::optional<std::uint32_t>()> client_pid;
    // Session of a process; nullopt when the query fails.
    std::function<std::optional<std::uint32_t>(std::uint32_t pid)> session_of;
    // The console's session, kNoConsoleSession when there is none.
    std::function<std::uint32_t()> active_console_session;
    // Connect state of a session; nullopt when the query fails or returns too little.
    std::function<std::optional<std::uint32_t>(std::uint32_t session)> connect_state;
    std::function<ImagePath(std::uint32_t pid)> image_path;
};

// The two environment values that change the verdict, as read for this call.
struct ClientCheckSettings {
    std::optional<std::string> bypass;         // ZORV_TEST_BYPASS_CLIENT_CHECK
    std::optional<std::string> expected_path;  // SINGBOX_EXPECTED_CLIENT_PATH
};

enum class AcceptedBy { Bypass, ExpectedPath, ClientRules };

struct ClientVerdict {
    std::uint32_t pid = 0;
    AcceptedBy accepted_by = AcceptedBy::ClientRules;
    std::uint32_t session = 0;  // unknown (0) after a bypass
    std::string path;           // empty after a bypass
};

// Every rule, in order; the first that fails gives the error message.
Result<ClientVerdict> decide_pipe_client(const ClientFacts& facts, const ClientCheckSettings& settings);

// The file-name rule, names compared as the file system compares them.
bool is_desktop_client_file_name(std::string_view file_name);
// The directory rule, folder names compared as the file system compares them.
bool is_in_untrusted_directory(std::string_view path);
// Last component of a Windows path; empty when there is none.
std::string_view path_file_name(std::string_view path);

// The server end of a connected pipe -> the client's process id. Reads the
// environment afresh and logs the accepted caller.
Result<std::uint32_t> verify_pipe_client(HANDLE pipe);

}  // namespace zorv::security
