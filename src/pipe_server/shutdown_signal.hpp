#pragma once
// A single-value broadcast cell holding a boolean: the only channel from the
// service control handler to the pipe listener. Level-triggered: a receiver
// that starts watching after a publication still sees the value.

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

namespace zorv::pipe_server {

struct ShutdownSignalState;

class ShutdownSender {
public:
    explicit ShutdownSender(std::shared_ptr<ShutdownSignalState> state);
    // Stores the value and calls every watch. False when no receiving end
    // exists any more (the value is then not observable).
    bool publish(bool value) const;
    ShutdownSender clone() const { return ShutdownSender(state_); }

private:
    std::shared_ptr<ShutdownSignalState> state_;
};

// A registration made by ShutdownReceiver::watch; dropping it unregisters.
class ShutdownWatch {
public:
    ShutdownWatch() = default;
    ShutdownWatch(std::weak_ptr<ShutdownSignalState> state, std::uint64_t id);
    ShutdownWatch(ShutdownWatch&&) noexcept;
    ShutdownWatch(const ShutdownWatch&) = delete;
    ShutdownWatch& operator=(const ShutdownWatch&) = delete;
    ~ShutdownWatch();

private:
    std::weak_ptr<ShutdownSignalState> state_;
    std::uint64_t id_ = 0;
};

class ShutdownReceiver {
public:
    explicit ShutdownReceiver(std::shared_ptr<ShutdownSignalState> state);
    ShutdownReceiver(ShutdownReceiver&&) noexcept;
    ShutdownReceiver(const ShutdownReceiver&) = delete;
    ShutdownReceiver& operator=(const ShutdownReceiver&) = delete;
    ~ShutdownReceiver();

    // The current value, read under the signal's lock.
    bool current() const;
    // Calls `on_change` once at the next publication after this receiver was
    // made: on the publishing thread, or at once on this one when that
    // publication has already happened. Nothing is posted, so it suits a
    // callback that only ends a pending kernel wait.
    ShutdownWatch watch(std::function<void()> on_change);

private:
    std::shared_ptr<ShutdownSignalState> state_;
    unsigned long long seen_version_ = 0;
};

std::pair<ShutdownSender, ShutdownReceiver> make_shutdown_signal();

}  // namespace zorv::pipe_server
