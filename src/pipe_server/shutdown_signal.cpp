#include "pipe_server/shutdown_signal.hpp"

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace zorv::pipe_server {

struct ShutdownSignalState {
    std::mutex mutex;
    bool value = false;
    std::uint64_t version = 0;
    bool receiver_alive = true;
    std::uint64_t next_watch_id = 1;
    std::vector<std::pair<std::uint64_t, std::function<void()>>> watches;  // by id
};

ShutdownSender::ShutdownSender(std::shared_ptr<ShutdownSignalState> state) : state_(std::move(state)) {}

bool ShutdownSender::publish(bool value) const {
    std::vector<std::pair<std::uint64_t, std::function<void()>>> watches;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->receiver_alive) return false;
        state_->value = value;
        ++state_->version;
        watches.swap(state_->watches);
    }
    for (auto& [id, on_change] : watches) on_change();
    return true;
}

ShutdownWatch::ShutdownWatch(std::weak_ptr<ShutdownSignalState> state, std::uint64_t id)
    : state_(std::move(state)), id_(id) {}

ShutdownWatch::ShutdownWatch(ShutdownWatch&& other) noexcept
    : state_(std::move(other.state_)), id_(std::exchange(other.id_, 0)) {}

ShutdownWatch::~ShutdownWatch() {
    auto state = state_.lock();
    if (!state || id_ == 0) return;
    std::lock_guard lock(state->mutex);
    std::erase_if(state->watches, [this](const auto& watch) { return watch.first == id_; });
}

ShutdownReceiver::ShutdownReceiver(std::shared_ptr<ShutdownSignalState> state) : state_(std::move(state)) {
    std::lock_guard lock(state_->mutex);
    seen_version_ = state_->version;
}

ShutdownReceiver::ShutdownReceiver(ShutdownReceiver&& other) noexcept
    : state_(std::move(other.state_)), seen_version_(other.seen_version_) {}

ShutdownReceiver::~ShutdownReceiver() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
}

bool ShutdownReceiver::current() const {
    std::lock_guard lock(state_->mutex);
    return state_->value;
}

ShutdownWatch ShutdownReceiver::watch(std::function<void()> on_change) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->version == seen_version_) {
            const std::uint64_t id = state_->next_watch_id++;
            state_->watches.emplace_back(id, std::move(on_change));
            return ShutdownWatch(state_, id);
        }
    }
    on_change();  // a publication this receiver has not seen yet
    return {};
}

std::pair<ShutdownSender, ShutdownReceiver> make_shutdown_signal() {
    auto state = std::make_shared<ShutdownSignalState>();
    return {ShutdownSender(state), ShutdownReceiver(state)};
}

}  // namespace zorv::pipe_server
