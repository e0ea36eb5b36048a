#include "support/capturing_logger.hpp"

#include <stdexcept>

namespace zorv::testing {

CapturingLogger& CapturingLogger::instance() {
    static CapturingLogger* logger = [] {
        auto owned = std::make_unique<CapturingLogger>();
        CapturingLogger* raw = owned.get();
        if (!log::install(std::move(owned))) throw std::logic_error("another logger is already installed");
        log::set_max_level(log::Level::Trace);
        return raw;
    }();
    return *logger;
}

void CapturingLogger::log(log::Level level, std::string_view target, std::string_view message) {
    std::lock_guard lock(mutex_);
    records_.push_back({level, std::string(target), std::string(message)});
}

std::vector<CapturedRecord> CapturingLogger::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> CapturingLogger::messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : records_) out.push_back(r.message);
    return out;
}

bool CapturingLogger::contains(std::string_view message) const {
    std::lock_guard lock(mutex_);
    for (const auto& r : records_)
        if (r.message == message) return true;
    return false;
}

void CapturingLogger::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

}  // namespace zorv::testing
