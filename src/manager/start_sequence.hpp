#pragma once
// The start's steps: from one start command to a core running in a session
// of its own. The caller holds the manager's lock throughout, except for
// reading the client's configuration file and copying the core it names for
// deployment, which come first.

#include <filesystem>
#include <optional>

#include "common/child_tool.hpp"
#include "common/clock.hpp"
#include "common/error.hpp"
#include "manager/commands.hpp"
#include "manager/core_config.hpp"
#include "manager/core_launcher.hpp"
#include "manager/session.hpp"
#include "security/core_deployment.hpp"

namespace zorv::manager {

// The system a start works with: the service directory and the seams.
struct StartContext {
    const std::filesystem::path& service_dir;
    CoreLauncher& launcher;
    clock::Clock& clock;
    ChildToolRunner& tools;
};

// Installs and checks the core's binary, refuses a configuration that names
// files outside the service directory, prepares the log and the firewall
// rule, and brings the core up: created suspended, fed its configuration,
// bound to its job, let run, and alive after a short pause.
Result<Session> start_session(const StartCommand& command, Result<ConfigurationSelection> selection,
                              Result<std::optional<security::StagedCore>> deployment, const StartContext& context);

}  // namespace zorv::manager
