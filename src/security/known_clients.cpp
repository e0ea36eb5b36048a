#include "security/known_clients.hpp"

#include <algorithm>

namespace zorv::security {

std::optional<KnownClientFacts> KnownClients::find(std::uint32_t pid) {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(entries_.begin(), entries_.end(), [pid](const Entry& e) { return e.pid == pid; });
    if (found == entries_.end()) return std::nullopt;
    return found->facts;
}

void KnownClients::remember(std::uint32_t pid, win32::UniqueHandle process, KnownClientFacts facts) {
    if (!process) return;  // without the handle the id proves nothing
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [pid](const Entry& e) { return e.pid == pid; });
    if (entries_.size() >= kCapacity) entries_.pop_front();
    entries_.push_back(Entry{pid, std::move(process), std::move(facts)});
}

KnownClients& KnownClients::shared() {
    static KnownClients* const clients = new KnownClients();  // lives as long as the process
    return *clients;
}

}  // namespace zorv::security
