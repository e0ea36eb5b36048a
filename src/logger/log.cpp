#include "logger/log.hpp"

#include <atomic>

namespace zorv::log {

namespace {
// Installed once and never freed: records may arrive until the process ends.
std::atomic<Logger*> g_logger{nullptr};
std::atomic<int> g_max_level{0};
}  // namespace

std::string_view level_name(Level level) {
    switch (level) {
        case Level::Error: return "ERROR";
        case Level::Warn: return "WARN";
        case Level::Info: return "INFO";
        case Level::Debug: return "DEBUG";
        case Level::Trace: return "TRACE";
    }
    return "TRACE";
}

bool install(std::unique_ptr<Logger> logger) {
    Logger* expected = nullptr;
    if (!g_logger.compare_exchange_strong(expected, logger.get())) return false;
    logger.release();
    return true;
}

void set_max_level(Level level) { g_max_level.store(static_cast<int>(level)); }

Logger* installed() { return g_logger.load(); }

bool enabled(Level level) {
    Logger* logger = g_logger.load();
    return logger != nullptr && static_cast<int>(level) <= g_max_level.load() && logger->enabled(level);
}

void write(Level level, std::string_view target, std::string_view message) {
    if (!enabled(level)) return;
    g_logger.load()->log(level, target, message);
}

void write_unlocked(Level level, std::string_view target, std::string_view message) {
    if (!enabled(level)) return;
    g_logger.load()->write_unlocked(level, target, message);
}

void flush() {
    if (Logger* logger = g_logger.load()) logger->flush();
}

}  // namespace zorv::log
