#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.hpp"
#include "common/win32.hpp"
#include "service/scm_steps.hpp"
#include "support/capturing_logger.hpp"

namespace zorv::service {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

// A queue of scripted answers; the last one repeats once the others are used.
template <typename T>
class Script {
public:
    Script(std::initializer_list<T> answers) : answers_(answers) {}
    T next() {
        if (answers_.size() > 1) {
            T answer = answers_.front();
            answers_.pop_front();
            return answer;
        }
        return answers_.front();
    }

private:
    std::deque<T> answers_;
};

Error os(DWORD code) { return win32::os_error(code); }
Status ok() { return {}; }
Status failed(DWORD code) { return std::unexpected(os(code)); }
Result<std::uint32_t> state(DWORD value) { return value; }
Result<std::uint32_t> query_failed(DWORD code) { return std::unexpected(os(code)); }

// What the fakes saw, in order.
struct Journal {
    std::vector<std::string> calls;
    int open_handles = 0;
};

class FakeService final : public ScmService {
public:
    struct Behaviour {
        Script<Status> start{ok()};
        Script<Result<std::uint32_t>> states{state(SERVICE_STOPPED)};
        Script<Status> stop{ok()};
        Script<Status> deletion{ok()};
        Script<Status> recovery{ok()};
    };

    FakeService(Journal& journal, std::shared_ptr<Behaviour> behaviour) : journal_(journal), behaviour_(behaviour) {
        ++journal_.open_handles;
    }
    ~FakeService() override {
        --journal_.open_handles;
        journal_.calls.push_back("close");
    }

    Status start() override {
        journal_.calls.push_back("start");
        return behaviour_->start.next();
    }
    Result<std::uint32_t> query_state() override {
        journal_.calls.push_back("query");
        return behaviour_->states.next();
    }
    Status send_stop() override {
        journal_.calls.push_back("stop");
        return behaviour_->stop.next();
    }
    Status mark_for_deletion() override {
        journal_.calls.push_back("delete");
        return behaviour_->deletion.next();
    }
    Status set_failure_actions(const CrashRecoveryPolicy& policy) override {
        std::string call = fmt::format("failure_actions reset={}", policy.reset_period_seconds);
        for (const SC_ACTION& action : policy.actions) call += fmt::format(" {}/{}", static_cast<int>(action.Type), action.Delay);
        journal_.calls.push_back(call);
        return behaviour_->recovery.next();
    }
    Status set_failure_actions_on_non_crash_failures(bool enabled) override {
        journal_.calls.push_back(fmt::format("non_crash_failures {}", enabled));
        return behaviour_->recovery.next();
    }
    Status set_service_sid_type(DWORD sid_type) override {
        journal_.calls.push_back(fmt::format("sid_type {}", sid_type));
        return behaviour_->recovery.next();
    }

private:
    Journal& journal_;
    std::shared_ptr<Behaviour> behaviour_;
};

// An SCM whose opens succeed (with the shared behaviour) or fail as scripted.
class FakeScm final : public ScmConnection {
public:
    FakeScm(Journal& journal, std::initializer_list<DWORD> open_errors)
        : journal_(journal), open_errors_(open_errors), service(std::make_shared<FakeService::Behaviour>()) {}

    Result<std::unique_ptr<ScmService>> open_service(DWORD access) override {
        journal_.calls.push_back(fmt::format("open {:#x}", access));
        accesses.push_back(access);
        if (const DWORD code = open_errors_.next(); code != NO_ERROR) return std::unexpected(os(code));
        return std::make_unique<FakeService>(journal_, service);
    }

    std::vector<DWORD> accesses;

private:
    Journal& journal_;
    Script<DWORD> open_errors_;

public:
    std::shared_ptr<FakeService::Behaviour> service;
};

class FakeClock final : public clock::Clock {
public:
    std::chrono::steady_clock::time_point now() override { return now_; }
    void sleep(std::chrono::milliseconds duration) override {
        sleeps.push_back(duration);
        now_ += duration;
    }
    std::chrono::milliseconds elapsed() const { return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - start_); }

    std::vector<std::chrono::milliseconds> sleeps;

private:
    std::chrono::steady_clock::time_point start_{std::chrono::hours(1)};
    std::chrono::steady_clock::time_point now_ = start_;
};

long count(const Journal& journal, const std::string& call) {
    return std::count(journal.calls.begin(), journal.calls.end(), call);
}

// ---- remove_existing_service ----------------------------------------------

TEST(RemoveExistingService, NothingRegisteredSucceedsAtOnce) {
    Journal journal;
    FakeScm scm(journal, {ERROR_SERVICE_DOES_NOT_EXIST});
    FakeClock clock;
    ASSERT_TRUE(remove_existing_service(scm, clock));
    EXPECT_THAT(scm.accesses, ElementsAre(0x10024u));
    EXPECT_TRUE(clock.sleeps.empty());
}

TEST(RemoveExistingService, MarkedForDeleteWaitsForTheDeletion) {
    Journal journal;
    FakeScm scm(journal, {ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_SERVICE_MARKED_FOR_DELETE,
                          ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_SERVICE_DOES_NOT_EXIST});
    FakeClock clock;
    ASSERT_TRUE(remove_existing_service(scm, clock));
    EXPECT_THAT(scm.accesses, ElementsAre(0x10024u, 4u, 4u, 4u));
    EXPECT_THAT(clock.sleeps, ElementsAre(100ms, 100ms));
    EXPECT_EQ(count(journal, "stop"), 0);
}

TEST(RemoveExistingService, OtherOpenFailureIsReported) {
    Journal journal;
    FakeScm scm(journal, {ERROR_ACCESS_DENIED});
    FakeClock clock;
    const Status removed = remove_existing_service(scm, clock);
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error().message(), "Failed to open existing service");
    EXPECT_EQ(removed.error().os_code(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(scm.accesses.size(), 1u);
}

TEST(RemoveExistingService, RunningServiceGetsAStopAtEveryCheckUntilStopped) {
    Journal journal;
    FakeScm scm(journal, {NO_ERROR, ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_SERVICE_DOES_NOT_EXIST});
    scm.service->states = {state(SERVICE_RUNNING), state(SERVICE_RUNNING), state(SERVICE_RUNNING),
                           state(SERVICE_STOPPED)};
    FakeClock clock;
    ASSERT_TRUE(remove_existing_service(scm, clock));
    // The stop handle is closed before the deletion is awaited.
    EXPECT_THAT(journal.calls, ElementsAre("open 0x10024", "query", "stop", "query", "stop", "query", "stop", "query",
                                           "delete", "close", "open 0x4", "open 0x4"));
    EXPECT_EQ(journal.open_handles, 0);
    EXPECT_THAT(clock.sleeps, ElementsAre(100ms, 100ms, 100ms, 100ms));
}

TEST(RemoveExistingService, StoppedServiceIsDeletedWithoutAControl) {
    Journal journal;
    FakeScm scm(journal, {NO_ERROR, ERROR_SERVICE_DOES_NOT_EXIST});
    scm.service->states = {state(SERVICE_STOPPED)};
    FakeClock clock;
    ASSERT_TRUE(remove_existing_service(scm, clock));
    EXPECT_THAT(journal.calls, ElementsAre("open 0x10024", "query", "delete", "close", "open 0x4"));
    EXPECT_TRUE(clock.sleeps.empty());
}

TEST(RemoveExistingService, StopPendingServiceIsWaitedForWithoutAControl) {
    Journal journal;
    FakeScm scm(journal, {NO_ERROR, ERROR_SERVICE_DOES_NOT_EXIST});
    scm.service->states = {state(SERVICE_STOP_PENDING), state(SERVICE_STOP_PENDING), state(SERVICE_STOPPED)};
    FakeClock clock;
    ASSERT_TRUE(remove_existing_service(scm, clock));
    EXPECT_EQ(count(journal, "stop"), 0);
    EXPECT_EQ(count(journal, "query"), 3);
    EXPECT_EQ(count(journal, "delete"), 1);
}

TEST(RemoveExistingService, NotActiveAnswerDeletesAtOnce) {
    Journal journal;
    FakeScm scm(journal, {NO_ERROR, ERROR_SERVICE_DOES_NOT_EXIST});
    scm.service->states = {state(SERVICE_RUNNING)};
    scm.service->stop = {failed(ERROR_SERVICE_NOT_ACTIVE)};
    FakeClock clock;
    ASSERT_TRUE(remove_existing_service(scm, clock));
    EXPECT_THAT(journal.calls, ElementsAre("open 0x10024", "query", "stop", "delete", "close", "open 0x4"));
    EXPECT_TRUE(clock.sleeps.empty());
}

TEST(RemoveExistingService, CannotAcceptControlKeepsWaiting) {
    Journal journal;
    FakeScm scm(journal, {NO_ERROR, ERROR_SERVICE_DOES_NOT_EXIST});
    scm.service->states = {state(SERVICE_START_PENDING), state(SERVICE_START_PENDING), state(SERVICE_STOPPED)};
    scm.service->stop = {failed(ERROR_SERVICE_CANNOT_ACCEPT_CTRL)};
    FakeClock clock;
    ASSERT_TRUE(remove_existing_service(scm, clock));
    EXPECT_EQ(count(journal, "stop"), 2);
    EXPECT_EQ(count(journal, "delete"), 1);
}

TEST(RemoveExistingService, RefusedStopFails) {
    Journal journal;
    FakeScm scm(journal, {NO_ERROR});
    scm.service->states = {state(SERVICE_RUNNING)};
    scm.service->stop = {failed(ERROR_ACCESS_DENIED)};
    FakeClock clock;
    const Status removed = remove_existing_service(scm, clock);
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error().message(), "Failed to stop service");
    EXPECT_EQ(removed.error().os_code(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(count(journal, "delete"), 0);
    EXPECT_EQ(journal.open_handles, 0);
}

TEST(RemoveExistingService, FailedQueryBeforeStoppingFails) {
    Journal journal;
    FakeScm scm(journal, {NO_ERROR});
    scm.service->states = {query_failed(ERROR_INVALID_HANDLE)};
    FakeClock clock;
    const Status removed = remove_existing_service(scm, clock);
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error().message(), "Query service status before stopping");
    EXPECT_EQ(journal.open_handles, 0);
}

TEST(RemoveExistingService, ServiceThatNeverStopsTimesOutAfterTenSeconds) {
    struct Case {
        DWORD state;
        const char* message;
    };
    for (const Case c : {Case{SERVICE_RUNNING, "Timed out waiting for service to stop from Running"},
                         Case{SERVICE_START_PENDING, "Timed out waiting for service to stop from StartPending"},
                         Case{SERVICE_PAUSED, "Timed out waiting for service to stop from Paused"}}) {
        SCOPED_TRACE(c.message);
        Journal journal;
        FakeScm scm(journal, {NO_ERROR});
        scm.service->states = {state(c.state)};
        FakeClock clock;
        const Status removed = remove_existing_service(scm, clock);
        ASSERT_FALSE(removed);
        EXPECT_EQ(removed.error().message(), c.message);
        EXPECT_TRUE(removed.error().causes().empty());
        // Checks at 0, 100, ..., 10000 ms; the last one gives up.
        EXPECT_EQ(clock.elapsed(), 10s);
        EXPECT_EQ(count(journal, "query"), 101);
        EXPECT_EQ(count(journal, "stop"), 101);
        EXPECT_EQ(count(journal, "delete"), 0);
        EXPECT_EQ(journal.open_handles, 0);
    }
}

TEST(RemoveExistingService, TimeOutNamesTheLastStateSeen) {
    Journal journal;
    FakeScm scm(journal, {NO_ERROR});
    scm.service->states = {state(SERVICE_RUNNING), state(SERVICE_RUNNING), state(SERVICE_STOP_PENDING)};
    FakeClock clock;
    const Status removed = remove_existing_service(scm, clock);
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error().message(), "Timed out waiting for service to stop from StopPending");
    EXPECT_EQ(count(journal, "stop"), 2);
}

TEST(RemoveExistingService, DeleteAnswersThatMeanDeleted) {
    for (const DWORD code : {DWORD{ERROR_SERVICE_DOES_NOT_EXIST}, DWORD{ERROR_SERVICE_MARKED_FOR_DELETE}}) {
        SCOPED_TRACE(code);
        Journal journal;
        FakeScm scm(journal, {NO_ERROR, ERROR_SERVICE_DOES_NOT_EXIST});
        scm.service->deletion = {failed(code)};
        FakeClock clock;
        EXPECT_TRUE(remove_existing_service(scm, clock));
        EXPECT_EQ(count(journal, "open 0x4"), 1);
    }
}

TEST(RemoveExistingService, RefusedDeleteFailsWithoutWaiting) {
    Journal journal;
    FakeScm scm(journal, {NO_ERROR});
    scm.service->deletion = {failed(ERROR_ACCESS_DENIED)};
    FakeClock clock;
    const Status removed = remove_existing_service(scm, clock);
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error().message(), "Failed to delete service");
    EXPECT_EQ(count(journal, "open 0x4"), 0);
    EXPECT_EQ(journal.open_handles, 0);
}

// ---- wait_for_service_deletion --------------------------------------------

TEST(WaitForServiceDeletion, RegistrationThatStaysTimesOutAndClosesEveryProbe) {
    Journal journal;
    FakeScm scm(journal, {NO_ERROR});
    FakeClock clock;
    const Status waited = wait_for_service_deletion(scm, clock);
    ASSERT_FALSE(waited);
    EXPECT_EQ(waited.error().message(), "Timed out waiting for service deletion");
    EXPECT_EQ(clock.elapsed(), 10s);
    EXPECT_EQ(scm.accesses.size(), 101u);
    EXPECT_EQ(count(journal, "close"), 101);
    EXPECT_EQ(journal.open_handles, 0);
}

TEST(WaitForServiceDeletion, MarkedForDeleteUntilTheEndTimesOut) {
    Journal journal;
    FakeScm scm(journal, {ERROR_SERVICE_MARKED_FOR_DELETE});
    FakeClock clock;
    const Status waited = wait_for_service_deletion(scm, clock);
    ASSERT_FALSE(waited);
    EXPECT_EQ(waited.error().message(), "Timed out waiting for service deletion");
}

TEST(WaitForServiceDeletion, GoneAtTheDeadlineCheckSucceeds) {
    FakeClock clock;
    // 100 probes still marked (0 .. 9900 ms), then gone at 10000 ms: the
    // deadline check comes after the probe, so this is a success.
    class GoneAtTenSeconds final : public ScmConnection {
    public:
        explicit GoneAtTenSeconds(FakeClock& clock) : clock_(clock) {}
        Result<std::unique_ptr<ScmService>> open_service(DWORD) override {
            if (clock_.elapsed() >= 10s) return std::unexpected(win32::os_error(ERROR_SERVICE_DOES_NOT_EXIST));
            return std::unexpected(win32::os_error(ERROR_SERVICE_MARKED_FOR_DELETE));
        }

    private:
        FakeClock& clock_;
    } gone(clock);
    EXPECT_TRUE(wait_for_service_deletion(gone, clock));
    EXPECT_EQ(clock.elapsed(), 10s);
}

TEST(WaitForServiceDeletion, OtherProbeFailureIsReported) {
    Journal journal;
    FakeScm scm(journal, {ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_ACCESS_DENIED});
    FakeClock clock;
    const Status waited = wait_for_service_deletion(scm, clock);
    ASSERT_FALSE(waited);
    EXPECT_EQ(waited.error().message(), "Check service deletion");
    EXPECT_EQ(waited.error().os_code(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_THAT(scm.accesses, ElementsAre(4u, 4u));
}

// ---- start_and_wait_until_running -----------------------------------------

class StartAndWait : public ::testing::Test {
protected:
    void SetUp() override { testing::CapturingLogger::instance().clear(); }
    static bool logged(std::string_view message) { return testing::CapturingLogger::instance().contains(message); }

    Journal journal;
    std::shared_ptr<FakeService::Behaviour> behaviour = std::make_shared<FakeService::Behaviour>();
    FakeService service{journal, behaviour};
    FakeClock clock;
};

TEST_F(StartAndWait, PollsUntilRunning) {
    behaviour->states = {state(SERVICE_START_PENDING), state(SERVICE_START_PENDING), state(SERVICE_RUNNING)};
    ASSERT_TRUE(start_and_wait_until_running(service, clock));
    EXPECT_EQ(count(journal, "start"), 1);
    EXPECT_THAT(clock.sleeps, ElementsAre(100ms, 100ms));
    EXPECT_THAT(testing::CapturingLogger::instance().messages(),
                ElementsAre("Starting Windows service 'VEXL2VpnService'",
                            "Waiting for service 'VEXL2VpnService' to enter Running state...",
                            "Service 'VEXL2VpnService' successfully installed and entered Running state"));
}

TEST_F(StartAndWait, AlreadyRunningCountsAsStarted) {
    behaviour->start = {failed(ERROR_SERVICE_ALREADY_RUNNING)};
    behaviour->states = {state(SERVICE_RUNNING)};
    ASSERT_TRUE(start_and_wait_until_running(service, clock));
    EXPECT_FALSE(logged("Failed to start service: " + win32::error_text(ERROR_SERVICE_ALREADY_RUNNING)));
}

TEST_F(StartAndWait, RefusedStartFailsAndIsLogged) {
    behaviour->start = {failed(ERROR_SERVICE_DISABLED)};
    const Status started = start_and_wait_until_running(service, clock);
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().message(), "Failed to start Windows service");
    EXPECT_EQ(started.error().os_code(), static_cast<std::uint32_t>(ERROR_SERVICE_DISABLED));
    EXPECT_TRUE(logged("Failed to start service: " + win32::error_text(ERROR_SERVICE_DISABLED)));
    EXPECT_EQ(count(journal, "query"), 0);
}

TEST_F(StartAndWait, ServiceThatStopsDuringStartUpTimesOutAfterTheFullWait) {
    behaviour->states = {state(SERVICE_START_PENDING), state(SERVICE_STOPPED)};
    const Status started = start_and_wait_until_running(service, clock);
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().message(), "Timed out waiting for service to enter Running state");
    EXPECT_EQ(clock.elapsed(), 10s);
    EXPECT_EQ(count(journal, "query"), 101);
    EXPECT_TRUE(logged("Service 'VEXL2VpnService' failed to enter Running state within timeout"));
}

TEST_F(StartAndWait, FailedQueryFailsTheWait) {
    behaviour->states = {state(SERVICE_START_PENDING), query_failed(ERROR_INVALID_HANDLE)};
    const Status started = start_and_wait_until_running(service, clock);
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().message(), "Check service running");
    EXPECT_TRUE(logged("Service 'VEXL2VpnService' failed to enter Running state within timeout"));
}

// ---- registration -----------------------------------------------------------

TEST(ServiceRegistration, ImagePathIsQuotedOnlyWhenItMustBe) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"C:\\Svc\\zorv-helper.exe", L"C:\\Svc\\zorv-helper.exe"},
        {L"C:\\Program Files\\VEXL2\\zorv-helper.exe", L"\"C:\\Program Files\\VEXL2\\zorv-helper.exe\""},
        {L"C:\\a\tb\\h.exe", L"\"C:\\a\tb\\h.exe\""},
        {L"C:\\a\nb\\h.exe", L"\"C:\\a\nb\\h.exe\""},
        {L"C:\\a\vb\\h.exe", L"\"C:\\a\vb\\h.exe\""},
        {L"", L"\"\""},
        // Backslashes before an embedded quote, and before the closing one, are doubled.
        {L"C:\\we\\\"ird\\h.exe", L"\"C:\\we\\\\\\\"ird\\h.exe\""},
        {L"C:\\dir with space\\", L"\"C:\\dir with space\\\\\""},
        {L"C:\\Dienste\\h\u00e9lper.exe", L"C:\\Dienste\\h\u00e9lper.exe"},
    };
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(win32::from_wide(path));
        EXPECT_EQ(service_image_path(path), expected);
    }
}

TEST(ServiceRegistration, RegistersAnAutoStartOwnProcessServiceUnderItsName) {
    const ServiceRegistration registration =
        service_registration(std::filesystem::path(L"C:\\Program Files\\VEXL2\\zorv-helper.exe"));
    EXPECT_EQ(registration.name, L"VEXL2VpnService");
    EXPECT_EQ(registration.display_name, L"VEXL2 VPN Core Service");
    EXPECT_EQ(registration.image_path, L"\"C:\\Program Files\\VEXL2\\zorv-helper.exe\"");
    EXPECT_EQ(registration.desired_access, 0x16u);
    EXPECT_EQ(registration.service_type, 0x10u);
    EXPECT_EQ(registration.start_type, 2u);
    EXPECT_EQ(registration.error_control, 1u);
}

TEST(ServiceRegistration, CrashRecoveryRestartsThreeTimesAfterFiveSeconds) {
    const CrashRecoveryPolicy policy = crash_recovery_policy();
    EXPECT_EQ(policy.reset_period_seconds, 86400u);
    ASSERT_EQ(policy.actions.size(), 3u);
    for (const SC_ACTION& action : policy.actions) {
        EXPECT_EQ(action.Type, SC_ACTION_RESTART);
        EXPECT_EQ(action.Delay, 5000u);
    }
}

// ---- recovery ---------------------------------------------------------------

TEST(Recovery, TheServiceStartSetsActionsNonCrashFlagAndSidTypeOnItsOwnRegistration) {
    Journal journal;
    FakeScm scm(journal, {NO_ERROR});
    ASSERT_TRUE(configure_own_recovery(scm));
    EXPECT_THAT(journal.calls, ElementsAre(fmt::format("open {:#x}", SERVICE_CHANGE_CONFIG),
                                           "failure_actions reset=86400 1/5000 1/5000 1/5000",
                                           "non_crash_failures true", "sid_type 1", "close"));
    EXPECT_EQ(journal.open_handles, 0);
}

TEST(Recovery, EverySettingIsTriedAndTheFirstRefusalReported) {
    Journal journal;
    FakeScm scm(journal, {NO_ERROR});
    scm.service->recovery = Script<Status>{failed(ERROR_ACCESS_DENIED), ok(), failed(ERROR_INVALID_PARAMETER)};
    const Status outcome = configure_own_recovery(scm);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), "Set failure actions");
    EXPECT_EQ(count(journal, "sid_type 1"), 1);

    Journal unopened;
    FakeScm missing(unopened, {ERROR_SERVICE_DOES_NOT_EXIST});
    EXPECT_FALSE(configure_own_recovery(missing));
}

TEST(ServiceStateNames, NameEveryState) {
    EXPECT_EQ(service_state_name(1), "Stopped");
    EXPECT_EQ(service_state_name(2), "StartPending");
    EXPECT_EQ(service_state_name(3), "StopPending");
    EXPECT_EQ(service_state_name(4), "Running");
    EXPECT_EQ(service_state_name(5), "ContinuePending");
    EXPECT_EQ(service_state_name(6), "PausePending");
    EXPECT_EQ(service_state_name(7), "Paused");
    EXPECT_EQ(service_state_name(9), "Unknown(9)");
}

}  // namespace
}  // namespace zorv::service
