#pragma once
// The support report of `zorv diag`: titled sections of lines, put together
// from what could be read; what could not says so in its section. No I/O.

#include <string>
#include <string_view>
#include <vector>

namespace zorv::ctl {

struct DiagSection {
    std::string title;
    std::vector<std::string> lines;
};

// What the report never holds, said at its top.
inline constexpr std::string_view kDiagPrivacyNote =
    "This report holds no configuration content and no environment variables, and adds nothing from a start "
    "request; the log sections are the helper's own records as written (identifiers and paths, never "
    "configuration content).";

// The header, then each section under "== title ==", every line made
// printable (a log line cannot forge a section title or move the cursor).
std::string render_diag_report(std::string_view written_at, const std::vector<DiagSection>& sections);

}  // namespace zorv::ctl
