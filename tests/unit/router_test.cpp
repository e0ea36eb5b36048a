#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "api/records.hpp"
#include "common/text.hpp"
#include "manager/runtime_manager.hpp"
#include "control/replies.hpp"
#include "control/router.hpp"
#include "support/capturing_logger.hpp"
#include "support/test_env.hpp"

namespace zorv::control {
namespace {

using nlohmann::json;
using testing::CapturingLogger;

constexpr std::string_view kPipe = "VEXL2VpnService.Control";

bool all_digits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

class RouterTest : public ::testing::Test {
protected:
    void SetUp() override { log().clear(); }

    static CapturingLogger& log() { return CapturingLogger::instance(); }

    // Parses a request frame's payload, normalises it and routes it, as the
    // control handler does.
    api::PipeResponse send(std::string_view payload) {
        auto request = api::parse_pipe_request(payload);
        EXPECT_TRUE(request) << payload;
        if (!request) return {};
        request->method = api::normalize_method(request->method);
        request->path = api::normalize_path(request->path);
        return dispatch(std::move(*request));
    }
    api::PipeResponse send(std::string_view method, std::string_view path,
                           std::optional<json> body = std::nullopt) {
        return dispatch(api::PipeRequest{std::string(method), std::string(path), std::move(body), {}});
    }
    // The answer, with any manager operation run at once, as the helper itself.
    api::PipeResponse dispatch(api::PipeRequest request) {
        auto routed = route_request(std::move(request), kPipe);
        if (auto* call = std::get_if<ManagerCall>(&routed)) return (*call)(*manager_, client_);
        return std::get<api::PipeResponse>(std::move(routed));
    }

    // The record logged with `message`; fails the test when there is none.
    testing::CapturedRecord logged(std::string_view message) {
        for (const auto& record : log().records())
            if (record.message == message) return record;
        ADD_FAILURE() << "not logged: " << message;
        return {};
    }
    void expect_logged(log::Level level, std::string_view message) {
        const auto record = logged(message);
        EXPECT_EQ(record.level, level) << message;
        EXPECT_EQ(record.target, "zorv_helper::pipe_server") << message;
    }

    const std::string& instance() const { return manager_->service_instance_id(); }

    testing::TestDir dir_{"router"};
    std::shared_ptr<manager::RuntimeManager> manager_ =
        manager::RuntimeManager::create(manager::ManagerOptions{.service_dir = dir_.path(), .launch_watchdog = {}});
    security::OwnIdentity client_;
};

TEST_F(RouterTest, UnknownMethodAndPathMixesAreNotFound) {
    const struct {
        const char* method;
        const char* path;
    } cases[] = {
        {"POST", "/v1/runtime/status"},
        {"GET", "/v1/runtime/start"},
        {"GET", "/v1/runtime/stop"},
        {"GET", "/v1/runtime/reset"},
        {"GET", "/v1/runtime/register_client"},
        {"POST", "/healthz"},
        {"PUT", "/healthz"},
        {"DELETE", "/v1/runtime/stop"},
        {"GET", "/HEALTHZ"},
        {"GET", "/"},
        {"GET", "/v1/runtime"},
        {"get", "/healthz"},  // the router itself compares exactly; the caller normalises
        {"", ""},
    };
    for (const auto& c : cases) {
        log().clear();
        const auto response = send(c.method, c.path);
        const std::string message = std::string("Route not found: ") + c.method + " " + c.path;
        EXPECT_EQ(api::serialize_response(response),
                  R"({"status":404,"body":{"error":"not_found","message":")" + message + R"("}})");
        expect_logged(log::Level::Warn, message);
    }
}

TEST_F(RouterTest, LowerCaseMethodsAndTrailingSlashesReachTheirRoutes) {
    const auto health = send(R"({"method":"get","path":"/healthz/"})");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body["serviceName"], kPipe);

    const auto status = send(R"({"method":"gEt","path":"/v1/runtime/status//"})");
    EXPECT_EQ(api::serialize_response(status),
              R"({"status":200,"body":{"running":false,"serviceInstanceId":")" + instance() +
                  R"(","state":"stopped"}})");

    const auto registered = send(R"(["post","/v1/runtime/register_client/"])");
    EXPECT_EQ(registered.status, 200);

    // The 404 text shows the method upper-cased and the path trimmed.
    const auto missing = send(R"({"method":"patch","path":"/v1/runtime/stop/"})");
    EXPECT_EQ(api::serialize_response(missing),
              R"({"status":404,"body":{"error":"not_found","message":"Route not found: PATCH /v1/runtime/stop"}})");
    expect_logged(log::Level::Debug, "Dispatching pipe request: PATCH /v1/runtime/stop");
}

TEST_F(RouterTest, HealthReportsPipeVerificationAndAFreshOperationId) {
    const auto first = send("GET", "/healthz");
    ASSERT_EQ(first.status, 200);
    const std::string id = first.body.value("operationId", "");
    EXPECT_TRUE(all_digits(id)) << id;
    EXPECT_EQ(api::serialize_response(first),
              R"({"status":200,"body":{"clientVerificationEnabled":true,"ok":true,"operationId":")" + id +
                  R"(","serviceName":"VEXL2VpnService.Control"}})");
    expect_logged(log::Level::Debug, "Dispatching pipe request: GET /healthz");
    expect_logged(log::Level::Debug, "Responding to /healthz");

    const auto second = send("GET", "/healthz");
    EXPECT_GT(std::stoull(second.body.value("operationId", "0")), std::stoull(id));
}

TEST_F(RouterTest, StatusOfAFreshManager) {
    const auto response = send("GET", "/v1/runtime/status", json{{"ignored", true}});
    EXPECT_EQ(api::serialize_response(response),
              R"({"status":200,"body":{"running":false,"serviceInstanceId":")" + instance() +
                  R"(","state":"stopped"}})");
    expect_logged(log::Level::Debug, "Responding to /v1/runtime/status: running=false, pid=None");
}

TEST_F(RouterTest, RegisterClientAcknowledgesWithoutTheManager) {
    const auto response = send("POST", "/v1/runtime/register_client", json{{"anything", {1, 2}}});
    const std::string id = response.body.value("operationId", "");
    EXPECT_TRUE(all_digits(id)) << id;
    EXPECT_EQ(api::serialize_response(response), R"({"status":200,"body":{"ok":true,"operationId":")" + id + R"("}})");
    expect_logged(log::Level::Info, "Processing /v1/runtime/register_client");
    // The manager still has nothing recorded.
    EXPECT_EQ(manager_->status(), manager::bare_stopped(instance()));
}

TEST_F(RouterTest, StartWithoutABodyIsAValidationError) {
    for (const char* payload : {R"({"method":"POST","path":"/v1/runtime/start"})",
                                R"({"method":"POST","path":"/v1/runtime/start","body":null})"}) {
        log().clear();
        EXPECT_EQ(api::serialize_response(send(payload)),
                  R"({"status":400,"body":{"error":"validation_error","message":"Missing request body"}})");
        expect_logged(log::Level::Warn, "Missing body in /v1/runtime/start request");
    }
}

TEST_F(RouterTest, StartBodiesThatDoNotDecodeAreValidationErrors) {
    const struct {
        const char* body;
        const char* message;
    } cases[] = {
        {R"({"clientPid":"12"})", R"(invalid type: string \"12\", expected u32)"},
        {R"({"clientPid":-4})", "invalid value: integer `-4`, expected u32"},
        {R"({"profileId":1})", "invalid type: integer `1`, expected a string"},
        {R"({"configContent":{"inbounds":[]}})", "invalid type: map, expected a string"},
        {R"({"clientPid":1,"clientPid":1})", "duplicate field `clientPid`"},
        {R"({"configPath":"a","x":0,"configPath":"b"})", "duplicate field `configPath`"},
        {R"("start")", R"(invalid type: string \"start\", expected struct StartRuntimeRequest)"},
        {R"(7)", "invalid type: integer `7`, expected struct StartRuntimeRequest"},
    };
    for (const auto& c : cases) {
        log().clear();
        const auto response = send(std::string(R"({"method":"POST","path":"/v1/runtime/start","body":)") + c.body + "}");
        EXPECT_EQ(api::serialize_response(response),
                  std::string(R"({"status":400,"body":{"error":"validation_error","message":")") + c.message + "\"}}")
            << c.body;
        const std::string logged_message = json::parse("\"" + std::string(c.message) + "\"").get<std::string>();
        expect_logged(log::Level::Warn, "Invalid /v1/runtime/start payload: " + logged_message);
    }
}

TEST_F(RouterTest, DecodedStartBodiesReachTheManager) {
    const struct {
        const char* body;
        const char* processing;
    } cases[] = {
        {R"({})", "Processing /v1/runtime/start (op_id=None, profile_id=None, client_pid=0)"},
        {R"({"profileId":"work","operationId":"op-7","clientPid":4242,"unknown":[1]})",
         R"(Processing /v1/runtime/start (op_id=Some("op-7"), profile_id=Some("work"), client_pid=4242))"},
        {R"({"profileId":null,"operationId":null,"clientPid":null})",
         "Processing /v1/runtime/start (op_id=None, profile_id=None, client_pid=0)"},
        {R"(["p",null,null,null,null,9,"r","op-a"])",
         R"(Processing /v1/runtime/start (op_id=Some("op-a"), profile_id=Some("p"), client_pid=9))"},
    };
    for (const auto& c : cases) {
        log().clear();
        const auto response = send(std::string(R"({"method":"POST","path":"/v1/runtime/start","body":)") + c.body + "}");
        expect_logged(log::Level::Info, c.processing);
        // The service folder holds no core, so the start sequence refuses.
        ASSERT_EQ(response.status, 500) << c.body;
        const std::string message = response.body.value("message", "");
        EXPECT_FALSE(message.empty());
        EXPECT_EQ(api::serialize_response(response),
                  R"({"status":500,"body":{"error":"runtime_start_failed","message":)" + json(message).dump() + "}}");
        const auto failure = logged("Runtime start failed: " + message);
        EXPECT_EQ(failure.level, log::Level::Error);
    }
}

TEST_F(RouterTest, StopWithAndWithoutUsableBodies) {
    const struct {
        std::optional<json> body;
        std::vector<std::string> duplicates;
        const char* processing;
        std::optional<std::string> operation_id;
    } cases[] = {
        {std::nullopt, {}, "Processing /v1/runtime/stop (trigger='api-stop', op_id=None, client_runtime_id=None)", {}},
        {json{{"trigger", "tray"}, {"operationId", "op-1"}, {"clientRuntimeId", "c-1"}},
         {},
         R"(Processing /v1/runtime/stop (trigger='tray', op_id=Some("op-1"), client_runtime_id=Some("c-1")))",
         "op-1"},
        {json::parse(R"(["c-2","op-2",null])"),
         {},
         R"(Processing /v1/runtime/stop (trigger='api-stop', op_id=Some("op-2"), client_runtime_id=Some("c-2")))",
         "op-2"},
        // Bodies of the wrong shape are dropped silently.
        {json{{"trigger", 5}, {"operationId", "op-3"}, {"clientRuntimeId", "c-3"}},
         {},
         "Processing /v1/runtime/stop (trigger='api-stop', op_id=None, client_runtime_id=None)",
         {}},
        {json{{"trigger", "a"}, {"operationId", "op-4"}},
         {"trigger"},
         "Processing /v1/runtime/stop (trigger='api-stop', op_id=None, client_runtime_id=None)",
         {}},
        {json("stop"), {}, "Processing /v1/runtime/stop (trigger='api-stop', op_id=None, client_runtime_id=None)", {}},
        {json(12), {}, "Processing /v1/runtime/stop (trigger='api-stop', op_id=None, client_runtime_id=None)", {}},
        {json{{"trigger", "line\nbreak"}},
         {},
         R"(Processing /v1/runtime/stop (trigger='line\nbreak', op_id=None, client_runtime_id=None))",
         {}},
    };
    for (const auto& c : cases) {
        log().clear();
        const auto response =
            dispatch(api::PipeRequest{"POST", "/v1/runtime/stop", c.body, c.duplicates});
        expect_logged(log::Level::Info, c.processing);
        expect_logged(log::Level::Info, "Runtime stopped successfully (state='stopped')");
        for (const auto& record : log().records())
            EXPECT_NE(record.level, log::Level::Warn) << record.message;

        ASSERT_EQ(response.status, 200);
        const std::string op = response.body.value("lastOperationId", "");
        if (c.operation_id) EXPECT_EQ(op, *c.operation_id);
        else EXPECT_TRUE(all_digits(op)) << op;
        const auto stopped_at = response.body.value("stoppedAt", std::int64_t{0});
        EXPECT_GT(stopped_at, 1'600'000'000'000);
        EXPECT_EQ(api::serialize_response(response),
                  R"({"status":200,"body":{"lastOperationId":")" + op + R"(","running":false,"serviceInstanceId":")" +
                      instance() + R"(","state":"stopped","stoppedAt":)" + std::to_string(stopped_at) + "}}");
    }
}

TEST_F(RouterTest, ResetTakesOnlyATextOperationIdOfAnObjectBody) {
    const struct {
        std::optional<json> body;
        std::optional<std::string> operation_id;
    } cases[] = {
        {std::nullopt, {}},
        {json{{"operationId", "op-r"}, {"other", 1}}, "op-r"},
        {json{{"operationId", 5}}, {}},
        {json{{"operationId", nullptr}}, {}},
        {json::array({"op-x"}), {}},
        {json("op-y"), {}},
    };
    for (const auto& c : cases) {
        log().clear();
        const auto response = send("POST", "/v1/runtime/reset", c.body);
        expect_logged(log::Level::Info,
                      "Processing /v1/runtime/reset (op_id=" + text::option_form(c.operation_id) + ")");
        ASSERT_EQ(response.status, 200);
        const std::string op = response.body.value("lastOperationId", "");
        if (c.operation_id) EXPECT_EQ(op, *c.operation_id);
        else EXPECT_TRUE(all_digits(op)) << op;
        const auto stopped_at = response.body.value("stoppedAt", std::int64_t{0});
        EXPECT_EQ(api::serialize_response(response),
                  R"({"status":200,"body":{"lastOperationId":")" + op + R"(","running":false,"serviceInstanceId":")" +
                      instance() + R"(","state":"stopped","stoppedAt":)" + std::to_string(stopped_at) + "}}");
        // The reset record is what a later status reports.
        EXPECT_EQ(send("GET", "/v1/runtime/status").body, response.body);
    }
}

}  // namespace
}  // namespace zorv::control
