#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/win32.hpp"
#include "service/service_control.hpp"
#include "service/status_reporter.hpp"

namespace zorv::service {
namespace {

struct ControlCase {
    const char* label;
    std::uint32_t control;
    std::uint32_t event_type;
    std::optional<ControlLogRecord> log;
    ControlAction action;
    std::uint32_t return_code;
};

ControlLogRecord debug(std::string message) { return {log::Level::Debug, std::move(message)}; }
ControlLogRecord info(std::string message) { return {log::Level::Info, std::move(message)}; }

TEST(ServiceControlHandler, AnswersEveryControl) {
    const ControlCase cases[] = {
        {"stop", SERVICE_CONTROL_STOP, 0, info("SCM control event: Stop requested"), ControlAction::PublishShutdown,
         NO_ERROR},
        {"shutdown", SERVICE_CONTROL_SHUTDOWN, 0, info("SCM control event: System Shutdown requested"),
         ControlAction::PublishShutdown, NO_ERROR},
        {"interrogate", SERVICE_CONTROL_INTERROGATE, 0, debug("SCM control event: Interrogate"), ControlAction::None,
         NO_ERROR},
        {"pause", SERVICE_CONTROL_PAUSE, 0, debug("SCM control event unhandled: Pause"), ControlAction::None, 120},
        {"continue", SERVICE_CONTROL_CONTINUE, 0, debug("SCM control event unhandled: Continue"),
         ControlAction::None, 120},
        {"param change", SERVICE_CONTROL_PARAMCHANGE, 0, debug("SCM control event unhandled: ParamChange"),
         ControlAction::None, 120},
        {"preshutdown", SERVICE_CONTROL_PRESHUTDOWN, 0, debug("SCM control event unhandled: Preshutdown"),
         ControlAction::None, 120},
        {"net bind add", SERVICE_CONTROL_NETBINDADD, 0, debug("SCM control event unhandled: NetBindAdd"),
         ControlAction::None, 120},
        {"net bind remove", SERVICE_CONTROL_NETBINDREMOVE, 0, debug("SCM control event unhandled: NetBindRemove"),
         ControlAction::None, 120},
        {"net bind enable", SERVICE_CONTROL_NETBINDENABLE, 0, debug("SCM control event unhandled: NetBindEnable"),
         ControlAction::None, 120},
        {"net bind disable", SERVICE_CONTROL_NETBINDDISABLE, 0,
         debug("SCM control event unhandled: NetBindDisable"), ControlAction::None, 120},
        {"time change", SERVICE_CONTROL_TIMECHANGE, 0, debug("SCM control event unhandled: TimeChange"),
         ControlAction::None, 120},
        {"session logon", SERVICE_CONTROL_SESSIONCHANGE, 5,
         debug("SCM control event unhandled: SessionChange(SessionLogon)"), ControlAction::None, 120},
        {"power resume", SERVICE_CONTROL_POWEREVENT, 7, debug("SCM control event unhandled: PowerEvent(ResumeSuspend)"),
         ControlAction::None, 120},
        {"user defined", 130, 0, debug("SCM control event unhandled: UserDefined(130)"), ControlAction::None, 120},
        // Codes and events that cannot be decoded are refused without a record.
        {"unknown code", 0x70, 0, std::nullopt, ControlAction::None, 120},
        {"zero", 0, 0, std::nullopt, ControlAction::None, 120},
        {"above user range", 256, 0, std::nullopt, ControlAction::None, 120},
        {"session change, unknown event", SERVICE_CONTROL_SESSIONCHANGE, 0x77, std::nullopt, ControlAction::None,
         120},
        {"power event, unknown event", SERVICE_CONTROL_POWEREVENT, 0x55, std::nullopt, ControlAction::None, 120},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const ControlResponse response = handle_control_event(c.control, c.event_type);
        EXPECT_EQ(response.log, c.log);
        EXPECT_EQ(response.action, c.action);
        EXPECT_EQ(response.return_code, c.return_code);
    }
}

TEST(ServiceControlHandler, RepeatedStopIsAnsweredTheSameWay) {
    const ControlResponse first = handle_control_event(SERVICE_CONTROL_STOP);
    const ControlResponse second = handle_control_event(SERVICE_CONTROL_STOP);
    EXPECT_EQ(first.log, second.log);
    EXPECT_EQ(second.action, ControlAction::PublishShutdown);
    EXPECT_EQ(second.return_code, static_cast<std::uint32_t>(NO_ERROR));
}

struct StatusFields {
    DWORD state, type, accepted, win32_exit, specific_exit, checkpoint, wait_hint;
    friend bool operator==(const StatusFields&, const StatusFields&) = default;
};

StatusFields fields(const SERVICE_STATUS& s) {
    return {s.dwCurrentState,  s.dwServiceType,           s.dwControlsAccepted, s.dwWin32ExitCode,
            s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint};
}

TEST(ServiceStatusReports, CarryExactlyTheReportedFields) {
    EXPECT_EQ(fields(start_pending_status()), (StatusFields{2, 0x10, 0, 0, 0, 1, 10000}));
    EXPECT_EQ(fields(running_status()), (StatusFields{4, 0x10, 5, 0, 0, 0, 0}));
    EXPECT_EQ(fields(stopped_status()), (StatusFields{1, 0x10, 0, 0, 0, 0, 0}));
}

TEST(ServiceStatusReports, StopPendingCarriesACheckpointAndAHint) {
    EXPECT_EQ(fields(stop_pending_status()), (StatusFields{3, 0x10, 0, 0, 0, 1, 10000}));
}

TEST(StatusReporter, PendingStatesCountOnAndNothingFollowsStopped) {
    std::vector<StatusFields> reports;
    {
        // An interval long enough that only the reports made here are seen.
        StatusReporter reporter([&](const SERVICE_STATUS& s) { reports.push_back(fields(s)); return Status{}; },
                                std::chrono::hours(1));
        EXPECT_TRUE(reporter.pending(start_pending_status()));
        EXPECT_TRUE(reporter.settled(running_status()));
        EXPECT_TRUE(reporter.pending(stop_pending_status()));
        EXPECT_TRUE(reporter.pending(stop_pending_status()));  // the handler, then the run's stop
        EXPECT_TRUE(reporter.settled(stopped_status()));
        EXPECT_FALSE(reporter.pending(stop_pending_status()));  // a late control
    }
    EXPECT_EQ(reports, (std::vector<StatusFields>{{2, 0x10, 0, 0, 0, 1, 10000},
                                                  {4, 0x10, 5, 0, 0, 0, 0},
                                                  {3, 0x10, 0, 0, 0, 1, 10000},
                                                  {3, 0x10, 0, 0, 0, 2, 10000},
                                                  {1, 0x10, 0, 0, 0, 0, 0}}));
}

TEST(StatusReporter, CheckpointAdvancesWhileTheWorkGoesOn) {
    std::mutex mutex;
    std::vector<StatusFields> reports;
    StatusReporter reporter(
        [&](const SERVICE_STATUS& s) {
            std::lock_guard lock(mutex);
            reports.push_back(fields(s));
            return Status{};
        },
        std::chrono::milliseconds(1));
    ASSERT_TRUE(reporter.pending(start_pending_status()));
    for (int i = 0; i < 10'000; ++i) {
        {
            std::lock_guard lock(mutex);
            if (reports.size() >= 3) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(reporter.settled(running_status()));
    std::lock_guard lock(mutex);
    ASSERT_GE(reports.size(), 4u);
    for (std::size_t i = 0; i + 1 < reports.size(); ++i) {
        EXPECT_EQ(reports[i].state, 2u);
        EXPECT_EQ(reports[i].checkpoint, i + 1);
    }
    EXPECT_EQ(reports.back().state, 4u);
}

TEST(ServiceStatusReports, StoppedAfterFailureCarriesANonZeroExitCode) {
    const Error platform = win32::os_error(ERROR_ACCESS_DENIED).context("Report running");
    EXPECT_EQ(fields(stopped_after_failure_status(platform)), (StatusFields{1, 0x10, 0, 5, 0, 0, 0}));

    const Error own = Error("thread limit").context("Failed to build Tokio runtime");
    EXPECT_EQ(fields(stopped_after_failure_status(own)),
              (StatusFields{1, 0x10, 0, ERROR_SERVICE_SPECIFIC_ERROR, kServiceSpecificStartFailure, 0, 0}));
    EXPECT_NE(kServiceSpecificStartFailure, 0u);
}

}  // namespace
}  // namespace zorv::service
