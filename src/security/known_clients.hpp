#pragma once
// The processes already seen at the control pipe, kept open. While the helper
// holds a handle to a process, its id cannot be given to another process, so
// a later connection from that id comes from that same process, whose session
// and image never change: those two facts are read once per client process,
// not once per request. Every rule is still applied to them on every request.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "common/win32.hpp"

namespace zorv::security {

struct KnownClientFacts {
    std::uint32_t session = 0;
    std::string image_path;
};

class KnownClients {
public:
    // How many processes are kept open; the oldest is closed for a new one.
    static constexpr std::size_t kCapacity = 8;

    std::optional<KnownClientFacts> find(std::uint32_t pid);
    // `process` must be the handle the facts were read from.
    void remember(std::uint32_t pid, win32::UniqueHandle process, KnownClientFacts facts);

    // The clients of the pipe of this process.
    static KnownClients& shared();

private:
    struct Entry {
        std::uint32_t pid;
        win32::UniqueHandle process;
        KnownClientFacts facts;
    };
    std::mutex mutex_;
    std::deque<Entry> entries_;  // oldest first
};

}  // namespace zorv::security
