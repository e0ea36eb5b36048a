#include "api/records.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <span>
#include <unordered_set>

#include <fmt/format.h>

#include "common/text.hpp"

namespace zorv::api {

namespace {

using nlohmann::json;

// Deeper documents are refused while parsing: copying, comparing and writing a
// nlohmann value recurse, and a frame may hold millions of brackets.
constexpr std::size_t kMaxNesting = 128;

struct NestingTooDeep : std::exception {
    const char* what() const noexcept override { return "recursion limit exceeded"; }
};

// ---- Decoder messages -------------------------------------------------------

// Decoder messages reach the log and the reply: a client must not be able to
// make them megabytes long.
constexpr std::size_t kMaxQuotedText = 256;

std::string shortened(std::string_view text) {
    if (text.size() <= kMaxQuotedText) return std::string(text);
    return text::sanitize_utf8(text.substr(0, kMaxQuotedText)) + "...";
}

// What a value is, in the words of the decoder messages.
std::string describe(const json& value) {
    switch (value.type()) {
        case json::value_t::null: return "null";
        case json::value_t::boolean: return fmt::format("boolean `{}`", value.get<bool>());
        case json::value_t::number_unsigned: return fmt::format("integer `{}`", value.get<std::uint64_t>());
        case json::value_t::number_integer: return fmt::format("integer `{}`", value.get<std::int64_t>());
        case json::value_t::number_float: return fmt::format("floating point `{}`", value.dump());
        case json::value_t::string: {
            const std::string& content = value.get_ref<const std::string&>();
            return "string " + text::quoted(shortened(content));
        }
        case json::value_t::array: return "sequence";
        case json::value_t::object: return "map";
        default: return "binary";
    }
}

Error invalid_type(const json& value, std::string_view expected) {
    return Error(fmt::format("invalid type: {}, expected {}", describe(value), expected));
}
Error missing_field(std::string_view key) { return Error(fmt::format("missing field `{}`", key)); }
Error duplicate_field(std::string_view key) { return Error(fmt::format("duplicate field `{}`", key)); }

// ---- Member decoding --------------------------------------------------------

// Optional text member: absent and null are "none".
Result<std::optional<std::string>> optional_text(const json* value) {
    if (value == nullptr || value->is_null()) return std::optional<std::string>{};
    if (!value->is_string()) return fail(invalid_type(*value, "a string"));
    return std::optional<std::string>(value->get_ref<const std::string&>());
}

// Unsigned 32-bit member: absent and null leave the default.
Result<std::uint32_t> unsigned32(const json* value, std::uint32_t fallback) {
    if (value == nullptr || value->is_null()) return fallback;
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (number > 0xFFFFFFFFull) return fail(fmt::format("invalid value: integer `{}`, expected u32", number));
        return static_cast<std::uint32_t>(number);
    }
    if (value->is_number_integer())
        return fail(fmt::format("invalid value: integer `{}`, expected u32", value->get<std::int64_t>()));
    return fail(invalid_type(*value, "u32"));
}

// The members of a record in declaration order; object or array form.
class Members {
public:
    Members(const json& record, std::span<const std::string_view> names) : record_(record), names_(names) {}

    const json* get(std::size_t index) const {
        if (record_.is_array()) return index < record_.size() ? &record_[index] : nullptr;
        const auto found = record_.find(names_[index]);
        return found == record_.end() ? nullptr : &*found;
    }

private:
    const json& record_;
    std::span<const std::string_view> names_;
};

// Checks shared by every record: object or array of a fitting length, and no
// known key given twice.
Status check_record_shape(const json& record, std::string_view record_name,
                          std::span<const std::string_view> names, std::size_t required,
                          const std::vector<std::string>& duplicate_keys) {
    if (record.is_object()) {
        for (const std::string_view name : names)
            if (std::find(duplicate_keys.begin(), duplicate_keys.end(), name) != duplicate_keys.end())
                return fail(duplicate_field(name));
        return {};
    }
    if (record.is_array()) {
        if (record.size() < required || record.size() > names.size())
            return fail(fmt::format("invalid length {}, expected struct {} with {} elements", record.size(),
                                    record_name, names.size()));
        return {};
    }
    return fail(invalid_type(record, fmt::format("struct {}", record_name)));
}

constexpr std::array<std::string_view, 3> kPipeRequestKeys{"method", "path", "body"};
constexpr std::array<std::string_view, 8> kStartKeys{"profileId",  "binaryPath", "configPath",
                                                     "configContent", "sourcePath", "clientPid",
                                                     "clientRuntimeId", "operationId"};
constexpr std::array<std::string_view, 3> kStopKeys{"clientRuntimeId", "operationId", "trigger"};

// ---- Parsing with duplicate tracking ---------------------------------------

// Follows the parser through the document and notes the keys that matter:
// those of the request record itself and those of its body's object.
class KeyTracker {
public:
    bool on_event(nlohmann::json::parse_event_t event, const json& parsed) {
        using Event = nlohmann::json::parse_event_t;
        switch (event) {
            case Event::object_start: open(true); break;
            case Event::array_start: open(false); break;
            case Event::object_end:
            case Event::array_end:
                frames_.pop_back();
                element_done();
                break;
            case Event::key: on_key(parsed.get_ref<const std::string&>()); break;
            case Event::value: element_done(); break;
        }
        return true;
    }

    const std::optional<std::string>& request_duplicate() const { return request_duplicate_; }
    std::vector<std::string> take_body_duplicates() { return std::move(body_duplicates_); }

private:
    enum class Role { Request, Body, Other };
    struct Frame {
        bool is_object = false;
        Role role = Role::Other;
        std::unordered_set<std::string> keys;  // only for the request and body objects
        std::string last_key;           // only for the request object
        std::size_t elements = 0;       // arrays: members finished so far
    };

    void open(bool is_object) {
        if (frames_.size() >= kMaxNesting) throw NestingTooDeep();
        Role role = Role::Other;
        if (frames_.empty()) {
            role = Role::Request;
        } else if (frames_.size() == 1) {
            const Frame& request = frames_.back();
            const bool body_slot = request.is_object ? request.last_key == "body" : request.elements == 2;
            if (body_slot) role = Role::Body;
        }
        frames_.push_back(Frame{is_object, role, {}, {}, 0});
    }

    void element_done() {
        if (!frames_.empty() && !frames_.back().is_object) ++frames_.back().elements;
    }

    void on_key(const std::string& key) {
        Frame& frame = frames_.back();
        if (frame.role == Role::Other) return;
        if (frame.role == Role::Request) frame.last_key = key;
        // Hashed: a hostile frame may carry a million keys.
        if (frame.keys.insert(key).second) return;
        if (frame.role == Role::Request) {
            const bool known = std::find(kPipeRequestKeys.begin(), kPipeRequestKeys.end(), key) != kPipeRequestKeys.end();
            if (known && !request_duplicate_) request_duplicate_ = key;
        } else if (body_duplicate_set_.insert(key).second) {
            body_duplicates_.push_back(key);
        }
    }

    std::vector<Frame> frames_;
    std::optional<std::string> request_duplicate_;
    std::vector<std::string> body_duplicates_;
    std::unordered_set<std::string> body_duplicate_set_;
};

// The parser's own description, without its "[json.exception...] " tag.
std::string parser_message(const std::exception& error) {
    std::string_view text = error.what();
    if (text.starts_with("[json.exception.")) {
        const auto end = text.find("] ");
        if (end != std::string_view::npos) text.remove_prefix(end + 2);
    }
    // The parser quotes what it last read, which may be megabytes of a string.
    return shortened(text);
}

Result<std::string> required_text(const json* value, std::string_view key) {
    if (value == nullptr) return fail(missing_field(key));
    if (!value->is_string()) return fail(invalid_type(*value, "a string"));
    return value->get_ref<const std::string&>();
}

}  // namespace

Result<PipeRequest> parse_pipe_request(std::string_view payload) {
    KeyTracker tracker;
    json document;
    try {
        document = json::parse(payload.begin(), payload.end(),
                               [&tracker](int, json::parse_event_t event, json& parsed) {
                                   return tracker.on_event(event, parsed);
                               });
    } catch (const NestingTooDeep& error) {
        return fail(error.what());
    } catch (const json::exception& error) {
        return fail(parser_message(error));
    }

    if (tracker.request_duplicate()) return fail(duplicate_field(*tracker.request_duplicate()));
    if (auto shape = check_record_shape(document, "PipeRequest", kPipeRequestKeys, 2, {}); !shape)
        return fail(shape.error());

    const Members members(document, kPipeRequestKeys);
    PipeRequest request;
    auto method = required_text(members.get(0), "method");
    if (!method) return fail(method.error());
    auto path = required_text(members.get(1), "path");
    if (!path) return fail(path.error());
    request.method = std::move(*method);
    request.path = std::move(*path);

    // Moved, never copied: the body may be large.
    json* body = nullptr;
    if (document.is_array()) {
        if (document.size() > 2) body = &document[2];
    } else if (const auto found = document.find("body"); found != document.end()) {
        body = &*found;
    }
    if (body != nullptr && !body->is_null()) {
        request.body = std::move(*body);
        request.body_duplicate_keys = tracker.take_body_duplicates();
    }
    return request;
}

Result<StartRuntimeRequest> decode_start_request(const json& body, const std::vector<std::string>& duplicate_keys) {
    if (auto shape = check_record_shape(body, "StartRuntimeRequest", kStartKeys, 0, duplicate_keys); !shape)
        return fail(shape.error());
    const Members members(body, kStartKeys);
    StartRuntimeRequest request;
    const std::array<std::optional<std::string>*, 8> texts{
        &request.profile_id, &request.binary_path, &request.config_path, &request.config_content,
        &request.source_path, nullptr, &request.client_runtime_id, &request.operation_id};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (texts[i] == nullptr) {
            auto pid = unsigned32(members.get(i), 0);
            if (!pid) return fail(pid.error());
            request.client_pid = *pid;
            continue;
        }
        auto text = optional_text(members.get(i));
        if (!text) return fail(text.error());
        *texts[i] = std::move(*text);
    }
    return request;
}

Result<StopRuntimeRequest> decode_stop_request(const json& body, const std::vector<std::string>& duplicate_keys) {
    if (auto shape = check_record_shape(body, "StopRuntimeRequest", kStopKeys, 0, duplicate_keys); !shape)
        return fail(shape.error());
    const Members members(body, kStopKeys);
    StopRuntimeRequest request;
    const std::array<std::optional<std::string>*, 3> texts{&request.client_runtime_id, &request.operation_id,
                                                           &request.trigger};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        auto text = optional_text(members.get(i));
        if (!text) return fail(text.error());
        *texts[i] = std::move(*text);
    }
    return request;
}

std::string serialize_response(const PipeResponse& response) {
    // Invalid UTF-8 in a body text (an OS message, say) is replaced, never thrown.
    return fmt::format(R"({{"status":{},"body":{}}})", response.status,
                       response.body.dump(-1, ' ', false, json::error_handler_t::replace));
}

std::string normalize_method(std::string_view method) { return text::ascii_upper(method); }

std::string normalize_path(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    return path.empty() ? std::string("/") : std::string(path);
}

}  // namespace zorv::api
