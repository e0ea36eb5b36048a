#include "logger/rolling_file_logger.hpp"

#include "logger/log.hpp"

#include <fmt/format.h>

#include "common/clock.hpp"
#include "logger/rotate_log.hpp"

namespace zorv::logger {

namespace {

win32::UniqueHandle open_for_append(const std::filesystem::path& path) {
    return win32::UniqueHandle(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::uint64_t size_of(HANDLE file) {
    LARGE_INTEGER size;
    return ::GetFileSizeEx(file, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

// Standard error gets the bytes as they are, whatever the C runtime's text mode.
void write_stderr(std::string_view text) {
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

std::string format_line(std::string_view timestamp, log::Level level, std::string_view target,
                        std::string_view message) {
    return fmt::format("[{}] [{:<5}] [{}] {}\r\n", timestamp, log::level_name(level), target, message);
}

RollingFileLogger::RollingFileLogger(LoggerSettings settings)
    : settings_(std::move(settings)), path_(settings_.log_dir / (win32::to_wide(settings_.base_name) + L".log")) {
    std::error_code ignored;
    std::filesystem::create_directories(settings_.log_dir, ignored);
    log::ignore_failure(rotate_log(path_, settings_.max_size, settings_.max_files), log::target::main,
                        "the file is rotated again once a write takes it past its limit");
    file_ = open_for_append(path_);
    if (file_) {
        current_size_ = size_of(file_.get());
    } else {
        diagnostic(fmt::format("[logger] Failed to open primary log file {}: {}\n", win32::path_text(path_),
                               win32::error_text(::GetLastError())));
    }
}

bool RollingFileLogger::init(LoggerSettings settings) {
    if (log::installed() != nullptr) return false;
    if (!log::install(std::make_unique<RollingFileLogger>(std::move(settings)))) return false;
    log::set_max_level(log::Level::Debug);
    return true;
}

bool RollingFileLogger::enabled(log::Level level) const { return level != log::Level::Trace; }

void RollingFileLogger::log(log::Level level, std::string_view target, std::string_view message) {
    if (level == log::Level::Trace) return;
    const std::string line = format_line(clock::local_timestamp(), level, target, message);
    if (settings_.console) write_stderr(line);
    write_line(line);
}

void RollingFileLogger::flush() { std::lock_guard lock(mutex_); }

void RollingFileLogger::write_unlocked(log::Level level, std::string_view target, std::string_view message) {
    const std::string line = format_line(clock::local_timestamp(), level, target, message);
    if (settings_.console) write_stderr(line);
    // path_ never changes after construction; the shared handle may be in the
    // middle of a rotation on the failing thread, so it is not touched.
    const win32::UniqueHandle file = open_for_append(path_);
    if (!file) return;
    DWORD written = 0;
    ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void RollingFileLogger::write_line(const std::string& line) {
    std::lock_guard lock(mutex_);
    bool reopened = false;
    if (current_size_ + line.size() > settings_.max_size) {
        file_.reset();
        if (auto rotated = rotate_log(path_, 0, settings_.max_files); !rotated) {
            diagnostic(fmt::format("[logger] Log rotation failed for {}: {}\n", win32::path_text(path_),
                                   rotated.error().one_line()));
        }
        file_ = open_for_append(path_);
        if (file_) {
            current_size_ = size_of(file_.get());
            reopened = true;
        } else {
            diagnostic(fmt::format("[logger] Reopening {} after rotation failed: {}\n", win32::path_text(path_),
                                   win32::error_text(::GetLastError())));
        }
    }
    if (!reopened && !file_) {
        file_ = open_for_append(path_);
        if (!file_) return;
        current_size_ = size_of(file_.get());
    }
    DWORD written = 0;
    if (::WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
        written == line.size()) {
        current_size_ += line.size();
    }
}

void RollingFileLogger::diagnostic(const std::string& text) const {
    if (settings_.console) write_stderr(text);
}

}  // namespace zorv::logger
