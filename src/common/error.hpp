#pragma once
// Errors as values: a message with the chain of causes beneath it.
//
// The rule for the whole helper:
// - Anything that can fail for a reason returns Result<T> (Status when there
//   is no value). std::optional says only "absent", which is no failure; bool
//   only answers a question.
// - A caller that passes a failure on adds what it was doing with
//   Error::context; the chain is kept whole until it is shown, and only a log
//   line or a reply renders it (one_line, multi_line).
// - Results are [[nodiscard]]: a failure that is deliberately not acted on is
//   passed to log::ignore_failure with the reason, which keeps it at DEBUG.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace zorv {

class Error {
public:
    Error() = default;
    explicit Error(std::string message) : message_(std::move(message)) {}

    // A platform error; the code stays available for callers that examine it.
    static Error os(std::uint32_t code, std::string text);

    // Wraps this error under a new top-level message.
    [[nodiscard]] Error context(std::string message) const&;
    [[nodiscard]] Error context(std::string message) &&;

    const std::string& message() const { return message_; }
    // Causes, outermost first.
    const std::vector<std::string>& causes() const { return causes_; }
    // The platform error code of the innermost cause, when it was one.
    std::optional<std::uint32_t> os_code() const { return os_code_; }

    // "message: cause: cause".
    std::string one_line() const;
    // "message", then "Caused by:" and one numbered line per cause.
    std::string multi_line() const;

    friend bool operator==(const Error&, const Error&) = default;

private:
    std::string message_;
    std::vector<std::string> causes_;
    std::optional<std::uint32_t> os_code_;
};

template <typename T>
class [[nodiscard]] Result : public std::expected<T, Error> {
public:
    using std::expected<T, Error>::expected;
    // What the monadic operations of std::expected return.
    Result(std::expected<T, Error> other) : std::expected<T, Error>(std::move(other)) {}
};
using Status = Result<void>;

inline std::unexpected<Error> fail(std::string message) {
    return std::unexpected(Error(std::move(message)));
}
inline std::unexpected<Error> fail(Error error) { return std::unexpected(std::move(error)); }

}  // namespace zorv
