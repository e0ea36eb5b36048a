#pragma once
// A single-value broadcast cell holding a boolean: the only channel from the
// service control handler to the pipe listener. Level-triggered: a receiver
// that starts waiting after a publication still sees the value.

#include <memory>
#include <utility>

#include <asio/awaitable.hpp>

namespace zorv::pipe_server {

struct ShutdownSignalState;

class ShutdownSender {
public:
    explicit ShutdownSender(std::shared_ptr<ShutdownSignalState> state);
    // Stores the value and wakes every waiting receiver. False when no
    // receiving end exists any more (the value is then not observable).
    bool publish(bool value) const;
    ShutdownSender clone() const { return ShutdownSender(state_); }

private:
    std::shared_ptr<ShutdownSignalState> state_;
};

class ShutdownReceiver {
public:
    explicit ShutdownReceiver(std::shared_ptr<ShutdownSignalState> state);
    ShutdownReceiver(ShutdownReceiver&&) noexcept;
    ShutdownReceiver& operator=(ShutdownReceiver&&) noexcept;
    ShutdownReceiver(const ShutdownReceiver&) = delete;
    ShutdownReceiver& operator=(const ShutdownReceiver&) = delete;
    ~ShutdownReceiver();

    // The current value, read under the signal's lock.
    bool current() const;
    // Completes at the next publication after the last value this receiver saw.
    asio::awaitable<void> changed();

private:
    std::shared_ptr<ShutdownSignalState> state_;
    unsigned long long seen_version_ = 0;
};

std::pair<ShutdownSender, ShutdownReceiver> make_shutdown_signal();

}  // namespace zorv::pipe_server
