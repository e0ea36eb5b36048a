#pragma once
// The helper's own log: one line per record, rotated by size.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "common/win32.hpp"
#include "logger/log.hpp"

namespace zorv::logger {

struct LoggerSettings {
    std::filesystem::path log_dir;
    std::string base_name;
    std::uint64_t max_size = 0;
    std::uint64_t max_files = 0;
    bool console = false;
};

// "[time] [LEVEL] [target] message\r\n", the level padded to five columns.
std::string format_line(std::string_view timestamp, log::Level level, std::string_view target,
                        std::string_view message);

class RollingFileLogger final : public log::Logger {
public:
    explicit RollingFileLogger(LoggerSettings settings);

    // Builds the logger and installs it process-wide (maximum level Debug).
    // A second call changes nothing and returns false.
    static bool init(LoggerSettings settings);

    bool enabled(log::Level level) const override;
    void log(log::Level level, std::string_view target, std::string_view message) override;
    void flush() override;
    // Straight to a handle of its own on the current file, past the lock and
    // without rotation.
    void write_unlocked(log::Level level, std::string_view target, std::string_view message) override;

    // Keeps every ordinary writer out while the lock is held: what a thread
    // that failed in the middle of a write leaves behind.
    [[nodiscard]] std::unique_lock<std::mutex> hold_writes() { return std::unique_lock(mutex_); }

    const std::filesystem::path& current_path() const { return path_; }

private:
    void write_line(const std::string& line);
    void diagnostic(const std::string& text) const;

    LoggerSettings settings_;
    std::filesystem::path path_;
    std::mutex mutex_;
    win32::UniqueHandle file_;
    std::uint64_t current_size_ = 0;
};

}  // namespace zorv::logger
