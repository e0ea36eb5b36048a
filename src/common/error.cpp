#include "common/error.hpp"

namespace zorv {

Error Error::os(std::uint32_t code, std::string text) {
    Error e(std::move(text));
    e.os_code_ = code;
    return e;
}

Error Error::context(std::string message) const& {
    Error copy = *this;
    return std::move(copy).context(std::move(message));
}

Error Error::context(std::string message) && {
    Error wrapped(std::move(message));
    wrapped.causes_.reserve(causes_.size() + 1);
    wrapped.causes_.push_back(std::move(message_));
    for (auto& cause : causes_) wrapped.causes_.push_back(std::move(cause));
    wrapped.os_code_ = os_code_;
    return wrapped;
}

std::string Error::one_line() const {
    std::string text = message_;
    for (const auto& cause : causes_) {
        text += ": ";
        text += cause;
    }
    return text;
}

std::string Error::multi_line() const {
    std::string text = message_;
    if (causes_.empty()) return text;
    text += "\n\nCaused by:";
    if (causes_.size() == 1) {
        text += "\n    " + causes_.front();
        return text;
    }
    for (std::size_t i = 0; i < causes_.size(); ++i) {
        text += "\n    " + std::to_string(i) + ": " + causes_[i];
    }
    return text;
}

}  // namespace zorv
