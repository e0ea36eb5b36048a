#include "pipe_server/shutdown_signal.hpp"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/error.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace zorv::pipe_server {

namespace {

// A suspended changed() call. The executor carries outstanding work so that
// the event loop keeps running while the receiver waits.
struct Waiter {
    std::uint64_t id = 0;
    asio::any_io_executor executor;
    std::move_only_function<void(std::error_code)> resume;
};

// Runs the waiter's continuation on its own executor, never inline: publish()
// may be called from any thread, for example the service control handler.
void post_resume(Waiter waiter, std::error_code ec) {
    auto executor = waiter.executor;
    asio::post(executor, [resume = std::move(waiter.resume), ec]() mutable { resume(ec); });
}

}  // namespace

struct ShutdownSignalState {
    std::mutex mutex;
    bool value = false;
    std::uint64_t version = 0;
    bool receiver_alive = true;
    std::uint64_t next_waiter_id = 1;
    std::vector<Waiter> waiters;
    std::vector<std::pair<std::uint64_t, std::function<void()>>> watches;  // by id, as waiters

    // Removes and returns the waiter with this id, if it is still waiting.
    std::optional<Waiter> take_waiter(std::uint64_t id) {
        for (auto it = waiters.begin(); it != waiters.end(); ++it) {
            if (it->id != id) continue;
            Waiter found = std::move(*it);
            waiters.erase(it);
            return found;
        }
        return std::nullopt;
    }
};

namespace {

// Installed in the waiting coroutine's cancellation slot: a cancelled wait
// ends with operation_aborted instead of lingering until the next publication.
class CancelWait {
public:
    CancelWait(std::weak_ptr<ShutdownSignalState> state, std::uint64_t id) : state_(std::move(state)), id_(id) {}

    void operator()(asio::cancellation_type_t) {
        auto state = state_.lock();
        if (!state) return;
        std::optional<Waiter> waiter;
        {
            std::lock_guard lock(state->mutex);
            waiter = state->take_waiter(id_);
        }
        if (waiter) post_resume(std::move(*waiter), asio::error::operation_aborted);
    }

private:
    std::weak_ptr<ShutdownSignalState> state_;
    std::uint64_t id_;
};

}  // namespace

ShutdownSender::ShutdownSender(std::shared_ptr<ShutdownSignalState> state) : state_(std::move(state)) {}

bool ShutdownSender::publish(bool value) const {
    std::vector<Waiter> woken;
    std::vector<std::pair<std::uint64_t, std::function<void()>>> watches;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->receiver_alive) return false;
        state_->value = value;
        ++state_->version;
        woken.swap(state_->waiters);
        watches.swap(state_->watches);
    }
    for (auto& waiter : woken) post_resume(std::move(waiter), {});
    for (auto& [id, on_change] : watches) on_change();
    return true;
}

ShutdownWatch::ShutdownWatch(std::weak_ptr<ShutdownSignalState> state, std::uint64_t id)
    : state_(std::move(state)), id_(id) {}

ShutdownWatch::ShutdownWatch(ShutdownWatch&& other) noexcept
    : state_(std::move(other.state_)), id_(std::exchange(other.id_, 0)) {}

ShutdownWatch& ShutdownWatch::operator=(ShutdownWatch&& other) noexcept {
    if (this != &other) {
        ShutdownWatch dropped(std::move(*this));
        state_ = std::move(other.state_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

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

ShutdownReceiver& ShutdownReceiver::operator=(ShutdownReceiver&& other) noexcept {
    if (this != &other) {
        ShutdownReceiver dropped(std::move(*this));
        state_ = std::move(other.state_);
        seen_version_ = other.seen_version_;
    }
    return *this;
}

ShutdownReceiver::~ShutdownReceiver() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
}

bool ShutdownReceiver::current() const {
    std::lock_guard lock(state_->mutex);
    return state_->value;
}

namespace {

// Registers one changed() call. A named function object rather than a lambda
// inside the co_await expression: GCC 12 may destroy such a temporary twice.
class InitiateWait {
public:
    InitiateWait(std::shared_ptr<ShutdownSignalState> state, std::uint64_t seen)
        : state_(std::move(state)), seen_(seen) {}

    template <typename Handler>
    void operator()(Handler handler) const {
        auto slot = asio::get_associated_cancellation_slot(handler);
        auto executor =
            asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
        Waiter waiter{0, executor, [handler = std::move(handler)](std::error_code ec) mutable {
                          std::move(handler)(ec);
                      }};
        std::unique_lock lock(state_->mutex);
        if (state_->version != seen_) {
            // A publication this receiver has not seen yet: complete at once.
            lock.unlock();
            post_resume(std::move(waiter), {});
            return;
        }
        // Hook cancellation before the waiter becomes visible to publish():
        // once it is, the coroutine may resume on another thread at any time.
        waiter.id = state_->next_waiter_id++;
        if (slot.is_connected()) slot.template emplace<CancelWait>(state_, waiter.id);
        state_->waiters.push_back(std::move(waiter));
    }

private:
    std::shared_ptr<ShutdownSignalState> state_;
    std::uint64_t seen_;
};

}  // namespace

asio::awaitable<void> ShutdownReceiver::changed() {
    const InitiateWait initiation(state_, seen_version_);
    co_await asio::async_initiate<decltype(asio::use_awaitable), void(std::error_code)>(initiation,
                                                                                       asio::use_awaitable);
    std::lock_guard lock(state_->mutex);
    seen_version_ = state_->version;
}

ShutdownWatch ShutdownReceiver::watch(std::function<void()> on_change) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->version == seen_version_) {
            const std::uint64_t id = state_->next_waiter_id++;
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
