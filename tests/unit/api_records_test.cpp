#include <gtest/gtest.h>

#include <string>

#include "api/records.hpp"

namespace zorv::api {
namespace {

using nlohmann::json;

std::string parse_error(std::string_view payload) {
    auto parsed = parse_pipe_request(payload);
    return parsed ? std::string("<parsed>") : parsed.error().one_line();
}

TEST(PipeRequestParse, ObjectAndArrayFormsCarryMethodPathAndBody) {
    auto object = parse_pipe_request(R"({"path":"/healthz","method":"GET","extra":[1,{"x":2}]})");
    ASSERT_TRUE(object) << object.error().one_line();
    EXPECT_EQ(object->method, "GET");
    EXPECT_EQ(object->path, "/healthz");
    EXPECT_FALSE(object->body.has_value());

    auto array = parse_pipe_request(R"(["POST","/v1/runtime/start",{"profileId":"p"}])");
    ASSERT_TRUE(array) << array.error().one_line();
    EXPECT_EQ(array->method, "POST");
    EXPECT_EQ(array->path, "/v1/runtime/start");
    ASSERT_TRUE(array->body.has_value());
    EXPECT_EQ(*array->body, json({{"profileId", "p"}}));

    auto short_array = parse_pipe_request(R"(["GET","/healthz"])");
    ASSERT_TRUE(short_array);
    EXPECT_FALSE(short_array->body.has_value());
}

TEST(PipeRequestParse, NullBodyIsNoBody) {
    for (const char* payload : {R"({"method":"POST","path":"/x","body":null})", R"(["POST","/x",null])"}) {
        auto parsed = parse_pipe_request(payload);
        ASSERT_TRUE(parsed) << payload;
        EXPECT_FALSE(parsed->body.has_value()) << payload;
    }
}

TEST(PipeRequestParse, KeysMatchExactly) {
    EXPECT_EQ(parse_error(R"({"Method":"GET","path":"/healthz"})"), "missing field `method`");
    EXPECT_EQ(parse_error(R"({"method":"GET","PATH":"/healthz"})"), "missing field `path`");
}

TEST(PipeRequestParse, RefusesBadShapes) {
    const struct {
        const char* payload;
        const char* message;
    } cases[] = {
        {R"({})", "missing field `method`"},
        {R"({"method":"GET"})", "missing field `path`"},
        {R"({"method":"GET","method":"POST","path":"/"})", "duplicate field `method`"},
        {R"({"method":"GET","path":"/","path":"/"})", "duplicate field `path`"},
        {R"({"method":"GET","path":"/","body":1,"body":2})", "duplicate field `body`"},
        {R"({"method":5,"path":"/"})", "invalid type: integer `5`, expected a string"},
        {R"({"method":null,"path":"/"})", "invalid type: null, expected a string"},
        {R"({"method":"GET","path":["/"]})", "invalid type: sequence, expected a string"},
        {R"("GET /healthz")", "invalid type: string \"GET /healthz\", expected struct PipeRequest"},
        {R"(42)", "invalid type: integer `42`, expected struct PipeRequest"},
        {R"(["GET"])", "invalid length 1, expected struct PipeRequest with 3 elements"},
        {R"(["GET","/",null,4])", "invalid length 4, expected struct PipeRequest with 3 elements"},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_error(c.payload), c.message) << c.payload;
}

TEST(PipeRequestParse, UnknownDuplicateKeysAreIgnored) {
    auto parsed = parse_pipe_request(R"({"x":1,"x":2,"method":"GET","path":"/healthz"})");
    ASSERT_TRUE(parsed) << parsed.error().one_line();
    EXPECT_EQ(parsed->method, "GET");
}

TEST(PipeRequestParse, InvalidJsonCarriesParserMessage) {
    const std::string message = parse_error(R"({"method":"GET",)");
    EXPECT_NE(message.find("parse error"), std::string::npos) << message;
    EXPECT_EQ(message.find("[json.exception"), std::string::npos) << message;
    EXPECT_NE(parse_error("\xff").find("parse error"), std::string::npos);
    EXPECT_NE(parse_error("").find("parse error"), std::string::npos);
}

TEST(PipeRequestParse, DeepNestingIsRefusedWhileParsing) {
    const std::string deep = R"({"method":"POST","path":"/x","body":)" + std::string(100000, '[');
    EXPECT_EQ(parse_error(deep), "recursion limit exceeded");
    // Nesting well inside the limit is a normal body.
    const std::string nested = R"({"method":"POST","path":"/x","body":)" + std::string(100, '[') +
                               std::string(100, ']') + "}";
    EXPECT_TRUE(parse_pipe_request(nested));
}

TEST(PipeRequestParse, RecordsTheBodysOwnDuplicateKeysOnly) {
    auto parsed = parse_pipe_request(
        R"({"method":"POST","path":"/x","body":{"a":1,"inner":{"z":1,"z":2},"a":2,"b":0,"a":3,"b":1}})");
    ASSERT_TRUE(parsed) << parsed.error().one_line();
    EXPECT_EQ(parsed->body_duplicate_keys, (std::vector<std::string>{"a", "b"}));

    auto in_array = parse_pipe_request(R"(["POST","/x",{"trigger":"a","trigger":"b"}])");
    ASSERT_TRUE(in_array) << in_array.error().one_line();
    EXPECT_EQ(in_array->body_duplicate_keys, (std::vector<std::string>{"trigger"}));

    // An object elsewhere in the request is not the body.
    auto elsewhere = parse_pipe_request(R"({"other":{"a":1,"a":2},"method":"POST","path":"/x","body":{"a":1}})");
    ASSERT_TRUE(elsewhere);
    EXPECT_TRUE(elsewhere->body_duplicate_keys.empty());
}

std::string start_error(const json& body, const std::vector<std::string>& duplicates = {}) {
    auto decoded = decode_start_request(body, duplicates);
    return decoded ? std::string("<decoded>") : decoded.error().one_line();
}

TEST(StartRequestDecode, EmptyObjectHasEveryMemberAbsent) {
    auto decoded = decode_start_request(json::object());
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->profile_id || decoded->binary_path || decoded->config_path || decoded->config_content ||
                 decoded->source_path || decoded->client_runtime_id || decoded->operation_id);
    EXPECT_EQ(decoded->client_pid, 0u);
}

TEST(StartRequestDecode, ObjectAndArrayFormsFillTheSameMembers) {
    const json object = {{"profileId", "p"},    {"binaryPath", "b"},      {"configPath", "c"},
                         {"configContent", ""}, {"sourcePath", "s"},      {"clientPid", 4294967295u},
                         {"clientRuntimeId", "r"}, {"operationId", "o"}, {"unknown", {1, 2}}};
    const json array = json::parse(R"(["p","b","c","","s",4294967295,"r","o"])");
    for (const json& body : {object, array}) {
        auto decoded = decode_start_request(body);
        ASSERT_TRUE(decoded) << decoded.error().one_line();
        EXPECT_EQ(decoded->profile_id, "p");
        EXPECT_EQ(decoded->binary_path, "b");
        EXPECT_EQ(decoded->config_path, "c");
        EXPECT_EQ(decoded->config_content, "");
        EXPECT_EQ(decoded->source_path, "s");
        EXPECT_EQ(decoded->client_pid, 4294967295u);
        EXPECT_EQ(decoded->client_runtime_id, "r");
        EXPECT_EQ(decoded->operation_id, "o");
    }
    auto short_array = decode_start_request(json::parse(R"(["p",null])"));
    ASSERT_TRUE(short_array);
    EXPECT_EQ(short_array->profile_id, "p");
    EXPECT_FALSE(short_array->binary_path);
}

TEST(StartRequestDecode, NullMeansAbsent) {
    auto decoded = decode_start_request(json::parse(R"({"profileId":null,"clientPid":null,"operationId":null})"));
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->profile_id);
    EXPECT_FALSE(decoded->operation_id);
    EXPECT_EQ(decoded->client_pid, 0u);
}

TEST(StartRequestDecode, RefusesWrongTypes) {
    const struct {
        const char* body;
        const char* message;
    } cases[] = {
        {R"({"clientPid":"x"})", "invalid type: string \"x\", expected u32"},
        {R"({"clientPid":-1})", "invalid value: integer `-1`, expected u32"},
        {R"({"clientPid":4294967296})", "invalid value: integer `4294967296`, expected u32"},
        {R"({"clientPid":1.5})", "invalid type: floating point `1.5`, expected u32"},
        {R"({"clientPid":1.0})", "invalid type: floating point `1.0`, expected u32"},
        {R"({"clientPid":true})", "invalid type: boolean `true`, expected u32"},
        {R"({"clientPid":{}})", "invalid type: map, expected u32"},
        {R"({"profileId":7})", "invalid type: integer `7`, expected a string"},
        {R"({"configContent":false})", "invalid type: boolean `false`, expected a string"},
        {R"({"operationId":["a"]})", "invalid type: sequence, expected a string"},
        {R"({"binaryPath":"ok","sourcePath":{"a":1}})", "invalid type: map, expected a string"},
        {R"("x\ny")", "invalid type: string \"x\\ny\", expected struct StartRuntimeRequest"},
        {R"(12)", "invalid type: integer `12`, expected struct StartRuntimeRequest"},
        {R"(true)", "invalid type: boolean `true`, expected struct StartRuntimeRequest"},
        {R"(["p","b","c","x","s",1,"r","o","extra"])",
         "invalid length 9, expected struct StartRuntimeRequest with 8 elements"},
        {R"([1])", "invalid type: integer `1`, expected a string"},
    };
    for (const auto& c : cases) EXPECT_EQ(start_error(json::parse(c.body)), c.message) << c.body;
}

TEST(StartRequestDecode, RefusesADuplicateOfAKnownKey) {
    EXPECT_EQ(start_error(json::object(), {"clientPid"}), "duplicate field `clientPid`");
    EXPECT_EQ(start_error(json::object(), {"other", "profileId"}), "duplicate field `profileId`");
    EXPECT_EQ(start_error(json::object(), {"other"}), "<decoded>");
    // Through the request parser, as the router receives it.
    auto request =
        parse_pipe_request(R"({"method":"POST","path":"/v1/runtime/start","body":{"clientPid":1,"clientPid":2}})");
    ASSERT_TRUE(request);
    EXPECT_EQ(start_error(*request->body, request->body_duplicate_keys), "duplicate field `clientPid`");
}

TEST(StopRequestDecode, MembersTypesAndDuplicates) {
    auto decoded = decode_stop_request(json::parse(R"({"trigger":"t","operationId":"o","clientRuntimeId":"c"})"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->trigger, "t");
    EXPECT_EQ(decoded->operation_id, "o");
    EXPECT_EQ(decoded->client_runtime_id, "c");

    auto array = decode_stop_request(json::parse(R"(["c",null,"t"])"));
    ASSERT_TRUE(array);
    EXPECT_EQ(array->client_runtime_id, "c");
    EXPECT_FALSE(array->operation_id);
    EXPECT_EQ(array->trigger, "t");

    auto bad_type = decode_stop_request(json::parse(R"({"trigger":5})"));
    ASSERT_FALSE(bad_type);
    EXPECT_EQ(bad_type.error().one_line(), "invalid type: integer `5`, expected a string");
    auto duplicate = decode_stop_request(json::object(), {"trigger"});
    ASSERT_FALSE(duplicate);
    EXPECT_EQ(duplicate.error().one_line(), "duplicate field `trigger`");
    EXPECT_FALSE(decode_stop_request(json("stop")));
}

TEST(ResponseSerialize, StatusFirstThenCompactBodyWithSortedKeys) {
    PipeResponse response{404, {{"message", "Route not found: GET /x"}, {"error", "not_found"}}};
    EXPECT_EQ(serialize_response(response),
              R"({"status":404,"body":{"error":"not_found","message":"Route not found: GET /x"}})");
    EXPECT_EQ(serialize_response(PipeResponse{200, nullptr}), R"({"status":200,"body":null})");
    // Invalid UTF-8 inside a body text is replaced rather than thrown.
    PipeResponse broken{500, {{"message", std::string("bad \xff byte")}}};
    EXPECT_EQ(serialize_response(broken), "{\"status\":500,\"body\":{\"message\":\"bad \xEF\xBF\xBD byte\"}}");
}

TEST(RequestNormalize, MethodUpperCasedAndTrailingSlashesTrimmed) {
    EXPECT_EQ(normalize_method("post"), "POST");
    EXPECT_EQ(normalize_method("GeT"), "GET");
    EXPECT_EQ(normalize_method("put\xc3\xa9"), "PUT\xc3\xa9");
    EXPECT_EQ(normalize_path("/healthz/"), "/healthz");
    EXPECT_EQ(normalize_path("/v1/runtime/status///"), "/v1/runtime/status");
    EXPECT_EQ(normalize_path("/v1//runtime"), "/v1//runtime");
    EXPECT_EQ(normalize_path("/"), "/");
    EXPECT_EQ(normalize_path("///"), "/");
    EXPECT_EQ(normalize_path(""), "/");
}

}  // namespace
}  // namespace zorv::api

namespace zorv::api {
namespace {

TEST(ApiRecordsLimits, DecoderMessagesStayShortWhateverTheInput) {
    const std::string huge(1 << 20, 'a');
    const auto unterminated = parse_pipe_request(R"({"method":"GET","path":")" + huge);
    ASSERT_FALSE(unterminated.has_value());
    EXPECT_LT(unterminated.error().one_line().size(), 1024u);

    const auto wrong_type = decode_start_request(nlohmann::json{{"clientPid", huge}});
    ASSERT_FALSE(wrong_type.has_value());
    EXPECT_LT(wrong_type.error().one_line().size(), 1024u);
    EXPECT_NE(wrong_type.error().one_line().find("expected u32"), std::string::npos);
}

}  // namespace
}  // namespace zorv::api
