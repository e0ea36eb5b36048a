#pragma once
// Process-wide logging facade: records of level, target and message.
// Nothing is recorded until a logger is installed; installation happens once.

#include <fmt/format.h>

#include <memory>
#include <string_view>

#include "common/error.hpp"

namespace zorv::log {

enum class Level { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

std::string_view level_name(Level level);

class Logger {
public:
    virtual ~Logger() = default;
    virtual bool enabled(Level level) const = 0;
    virtual void log(Level level, std::string_view target, std::string_view message) = 0;
    virtual void flush() = 0;
    // Writes one record without taking any lock that the calling thread may
    // already hold; for the crash hook, which may run inside a write. Loggers
    // that cannot do that drop the record.
    virtual void write_unlocked(Level /*level*/, std::string_view /*target*/, std::string_view /*message*/) {}
};

// Installs the process-wide logger; false (and no change) when one already is.
bool install(std::unique_ptr<Logger> logger);
void set_max_level(Level level);
// The installed logger, or null.
Logger* installed();

bool enabled(Level level);
void write(Level level, std::string_view target, std::string_view message);
void flush();
// Through Logger::write_unlocked: safe on a thread that failed while logging.
void write_unlocked(Level level, std::string_view target, std::string_view message);

namespace target {
inline constexpr std::string_view main = "zorv_helper";
inline constexpr std::string_view pipe_server = "zorv_helper::pipe_server";
inline constexpr std::string_view manager = "zorv_helper::manager";
inline constexpr std::string_view security = "zorv_helper::security";
inline constexpr std::string_view service = "zorv_helper::service";
}  // namespace target

template <typename... Args>
void record(Level level, std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    if (!enabled(level)) return;
    write(level, target, fmt::format(format, std::forward<Args>(args)...));
}

template <typename... Args>
void error(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    record(Level::Error, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void warn(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    record(Level::Warn, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void info(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    record(Level::Info, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void debug(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    record(Level::Debug, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void trace(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    record(Level::Trace, target, format, std::forward<Args>(args)...);
}

// The one way to leave a failure unacted on, on purpose: `why` says why it
// changes nothing, and the failure is still recorded at DEBUG.
template <typename T>
void ignore_failure(const Result<T>& result, std::string_view target, std::string_view why) {
    if (!result) debug(target, "Ignored failure ({}): {}", why, result.error().one_line());
}

}  // namespace zorv::log
