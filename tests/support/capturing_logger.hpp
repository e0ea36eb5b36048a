#pragma once
// A process-wide logger for unit tests that keeps every record in memory.

#include <mutex>
#include <string>
#include <vector>

#include "logger/log.hpp"

namespace zorv::testing {

struct CapturedRecord {
    log::Level level;
    std::string target;
    std::string message;
};

class CapturingLogger final : public log::Logger {
public:
    // Installs the logger on first use (Trace enabled) and returns it.
    static CapturingLogger& instance();

    bool enabled(log::Level) const override { return true; }
    void log(log::Level level, std::string_view target, std::string_view message) override;
    void flush() override {}

    std::vector<CapturedRecord> records() const;
    std::vector<std::string> messages() const;
    bool contains(std::string_view message) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<CapturedRecord> records_;
};

}  // namespace zorv::testing
