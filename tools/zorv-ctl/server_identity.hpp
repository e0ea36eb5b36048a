#pragma once
// Who serves the pipe, settled before the first byte is sent: a request may
// carry a whole configuration with its credentials. On the service's pipe the
// server must be the process the Service Control Manager started for the
// service; on any other pipe (a helper run in a console) it must run the
// helper image the operator trusts: the zorv-helper.exe beside this program,
// or the one given with --server-path. A file name proves nothing, since
// anyone can name a program zorv-helper.exe.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zorv::ctl {

struct ServerIdentity {
    std::uint32_t pid = 0;
    std::string image;  // full path; empty when it could not be read
};

// What the SCM says about the service: nullopt when it is not installed,
// else the process id it reports (0 when none runs).
using ServiceProcess = std::optional<std::uint32_t>;

// The decisions, on facts already gathered. `pipe` is the full pipe path.
Status judge_service_pipe_server(std::string_view pipe, std::uint32_t server_pid, const ServiceProcess& service);
// `same_file`: the server's image and `expected` are one file (same volume
// and file index, so case, short names and links cannot tell them apart).
Status judge_console_helper(std::string_view pipe, std::uint32_t server_pid, const Result<std::string>& image,
                            std::string_view expected, bool same_file);

// The image a console helper must run: `server_path` when the operator gave
// one, else zorv-helper.exe in this program's folder.
Result<std::filesystem::path> expected_helper_image(const std::optional<std::filesystem::path>& server_path);

// Pipe names compare as the system compares them: ordinal, ignoring case.
bool is_service_pipe(std::string_view pipe_name);

// Gathers the facts for `pipe` (connected, nothing sent yet) and judges them.
Result<ServerIdentity> verify_pipe_server(HANDLE pipe, std::string_view pipe_name,
                                          const std::optional<std::filesystem::path>& server_path);

}  // namespace zorv::ctl
