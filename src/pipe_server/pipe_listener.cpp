#include "pipe_server/pipe_listener.hpp"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "api/pipe_path.hpp"
#include "common/win32.hpp"
#include "logger/helper_events.hpp"
#include "logger/log.hpp"
#include "pipe_server/connection.hpp"
#include "pipe_server/pipe_instance.hpp"
#include "pipe_server/waited_call.hpp"

namespace zorv::pipe_server {

namespace {

using namespace std::chrono_literals;

constexpr int kFirstInstanceRetries = 5;  // six attempts in all
constexpr auto kFirstInstanceRetryPause = 200ms;
constexpr auto kConnectErrorPause = 50ms;
// Threads that take turns at the listening instance. Each serves the client
// it accepted; a slow client is handed to the runtime, so a thread is held
// only while a request is being carried out.
constexpr int kAcceptingThreads = 4;

// The listener's pauses are short and rare (a busy name at start-up, a failed
// connect), so they hold the thread.
void pause(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

win32::UniqueHandle create_event(bool manual_reset) {
    return win32::UniqueHandle(::CreateEventW(nullptr, manual_reset, FALSE, nullptr));
}

// The first instance claims the name; another owner may still be going away,
// so a few attempts are made. The shutdown signal is not consulted meanwhile.
Result<win32::UniqueHandle> create_first_instance(const std::string& path) {
    for (int retries = 0;; ++retries) {
        auto instance = create_pipe_handle(path, true);
        if (instance || retries == kFirstInstanceRetries) return instance;
        pause(kFirstInstanceRetryPause);
    }
}

// A slim reader/writer lock held exclusively: no kernel object, and no
// server round trip unless two threads meet.
class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

// What a wake-up for the listening instance yields.
struct Taken {
    win32::UniqueHandle connected;  // a client to serve, if one connected
    std::optional<Error> fatal;     // no instance listens any more
};

// The one listening instance and its pending connect. The connect's event
// resets itself, so each connect wakes one accepting thread, which takes the
// client and arms the next instance before it serves; an instance of ours
// holds the name throughout.
class ListeningInstance {
public:
    ListeningInstance(std::string path, HANDLE connect_event) : path_(std::move(path)), event_(connect_event) {}
    ~ListeningInstance() { close(); }
    ListeningInstance(const ListeningInstance&) = delete;
    ListeningInstance& operator=(const ListeningInstance&) = delete;

    Status open_first() {
        auto first = create_first_instance(path_);
        if (!first) return fail(first.error());
        instance_ = std::move(*first);
        return {};
    }

    void arm() {
        ExclusiveLock lock(lock_);
        arm_locked();
    }

    Taken take() {
        ExclusiveLock lock(lock_);
        DWORD error = issue_error_;
        if (error == ERROR_IO_PENDING) {
            error = win32::overlapped_outcome(instance_.get(), overlapped_, false).error;
            if (error == ERROR_IO_INCOMPLETE) return {};  // woken for a connect another thread took
        }
        // A client that arrived between the creation and the connect is connected too.
        if (error != ERROR_SUCCESS && error != ERROR_PIPE_CONNECTED) return replace_failed(error);
        Taken taken{std::move(instance_), std::nullopt};
        auto next = create_pipe_handle(path_, false);
        if (!next) {
            taken.fatal = next.error();
            return taken;
        }
        instance_ = std::move(*next);
        arm_locked();
        return taken;
    }

    // Ends the pending connect and closes the instance.
    void close() {
        ExclusiveLock lock(lock_);
        if (!instance_) return;
        // How the connect ended does not matter: the instance goes next.
        if (issue_error_ == ERROR_IO_PENDING) win32::cancel_and_wait(instance_.get(), overlapped_);
        instance_.reset();
    }

private:
    // A connect that finished at once, either way, wakes a thread itself.
    void arm_locked() {
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event_;
        issue_error_ = ERROR_IO_PENDING;
        const DWORD error = ::ConnectNamedPipe(instance_.get(), &overlapped_) ? ERROR_SUCCESS : ::GetLastError();
        if (error == ERROR_IO_PENDING) return;
        issue_error_ = error;
        ::SetEvent(event_);
    }

    // After a connect error the next instance exists before the failed one is
    // closed, so no other process can slip in and own the name.
    Taken replace_failed(DWORD error) {
        log::warn(log::target::pipe_server, "Named pipe connect error: {}", win32::error_text(error));
        pause(kConnectErrorPause);
        auto next = create_pipe_handle(path_, false);
        if (!next) return {{}, next.error()};
        instance_ = std::move(*next);
        arm_locked();
        return {};
    }

    SRWLOCK lock_ = SRWLOCK_INIT;
    const std::string path_;
    const HANDLE event_;
    win32::UniqueHandle instance_;
    OVERLAPPED overlapped_{};
    DWORD issue_error_ = ERROR_IO_PENDING;
};

// How the server ends: a shutdown publication, or the first error that left
// no instance listening. Either sets the event every thread waits on.
class ServerEnd {
public:
    explicit ServerEnd(HANDLE event) : event_(event) {}

    HANDLE event() const { return event_; }
    void shut_down() const { ::SetEvent(event_); }
    void fail(Error error) {
        {
            std::lock_guard lock(mutex_);
            if (!failure_) failure_ = std::move(error);
        }
        ::SetEvent(event_);
    }
    std::optional<Error> failure() const {
        std::lock_guard lock(mutex_);
        return failure_;
    }

private:
    const HANDLE event_;
    mutable std::mutex mutex_;
    std::optional<Error> failure_;
};

void accept_connections(ListeningInstance& listening, HANDLE connect_event, ServerEnd& end,
                        const PipeServerContext& context) {
    const win32::UniqueHandle io_event = create_event(true);
    if (!io_event) {
        end.fail(win32::last_os_error().context("Failed to create an accepting thread's event"));
        return;
    }
    const HANDLE waits[] = {end.event(), connect_event};  // the end first: it wins a tie
    while (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        Taken taken = listening.take();
        if (taken.fatal) end.fail(std::move(*taken.fatal));
        if (taken.connected) serve_connection(std::move(taken.connected), io_event.get(), context);
    }
}

// Runs the accepting threads until the end event; the first error, if any.
Status accept_until_end(ListeningInstance& listening, HANDLE connect_event, ServerEnd& end,
                        const PipeServerContext& context) {
    std::vector<std::jthread> threads;
    try {
        for (int i = 0; i < kAcceptingThreads; ++i)
            threads.emplace_back([&] { accept_connections(listening, connect_event, end, context); });
    } catch (const std::system_error& e) {
        end.fail(Error(e.what()).context("Failed to start the pipe's accepting threads"));
    }
    ::WaitForSingleObject(end.event(), INFINITE);
    std::optional<Error> failure = end.failure();
    if (!failure) log::info(log::target::pipe_server, "Shutdown signal received in pipe listener loop");
    threads.clear();  // each ends once the request it is serving is done
    listening.close();
    if (failure) return fail(std::move(*failure));
    return {};
}

Status serve_pipe(const PipeServerContext& context, ShutdownReceiver& shutdown,
                  const ListeningCallback& on_listening) {
    const std::string path = api::pipe_path(context.pipe_name);
    log::info(log::target::pipe_server, "Named pipe server starting on {}", path);
    if (shutdown.current()) {
        log::info(log::target::pipe_server, "Shutdown received, stopping named pipe server");
        return {};
    }
    const win32::UniqueHandle end_event = create_event(true);
    const win32::UniqueHandle connect_event = create_event(false);
    if (!end_event || !connect_event) return fail(win32::last_os_error().context("Failed to create the listener's events"));

    ListeningInstance listening(path, connect_event.get());
    if (auto opened = listening.open_first(); !opened) return fail(opened.error());
    if (on_listening) {
        if (auto told = on_listening(); !told) return fail(told.error());
    }
    ServerEnd end(end_event.get());
    const ShutdownWatch watch = shutdown.watch([&end] { end.shut_down(); });
    listening.arm();
    return accept_until_end(listening, connect_event.get(), end, context);
}

}  // namespace

Status run_pipe_server(const PipeServerContext& context, ShutdownReceiver shutdown, ListeningCallback on_listening) {
    const Status served = serve_pipe(context, shutdown, on_listening);
    if (!served) {
        log::error(log::target::pipe_server, "Named pipe server failed: {}", served.error().multi_line());
        events::listener_failed(context.pipe_name, served.error().one_line());
    }
    return served;
}

}  // namespace zorv::pipe_server
