#include "diag_report.hpp"

#include <fmt/format.h>

#include "log_tail.hpp"

namespace zorv::ctl {

std::string render_diag_report(std::string_view written_at, const std::vector<DiagSection>& sections) {
    std::string report = fmt::format("zorv diagnostics report, written {}\n{}\n", written_at, kDiagPrivacyNote);
    for (const DiagSection& section : sections) {
        report += fmt::format("\n== {} ==\n", section.title);
        // Indented, so that no line of a log can pass for a section title.
        for (const std::string& line : section.lines) report += "  " + printable_line(line) + "\n";
    }
    return report;
}

}  // namespace zorv::ctl
