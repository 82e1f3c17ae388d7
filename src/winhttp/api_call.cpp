#include "winhttp/api_call.h"

#include <memory>
#include <sstream>

#include <json/json.h>

#include "details/logger.h"
#include "details/strings.h"

namespace agent::details {

namespace {

// A member's value as text: strings as they are, other scalars as jsoncpp writes them,
// objects and arrays as their compact JSON text.
std::wstring member_text(const Json::Value& value) {
    if (value.isString())
        return utf8_to_wide(value.asString());
    if (value.isObject() || value.isArray()) {
        std::string text = to_json_text(value);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        return utf8_to_wide(text);
    }
    if (value.isNull())
        return L"";
    return utf8_to_wide(value.asString());
}

std::int32_t member_int(const Json::Value& value) {
    if (value.isInt())
        return value.asInt();
    if (value.isUInt() || value.isDouble() || value.isBool()) {
        // Out-of-range numbers would make jsoncpp throw; clamp them instead.
        const double number = value.asDouble();
        if (number >= 2147483647.0)
            return 2147483647;
        if (number <= -2147483648.0)
            return -2147483647 - 1;
        return static_cast<std::int32_t>(number);
    }
    if (value.isString()) {
        try {
            return static_cast<std::int32_t>(std::stol(value.asString()));
        } catch (const std::exception&) {
            return 0;
        }
    }
    return 0;
}

// Names of members whose values are secrets, compared in lower case without "-" and "_";
// names ending in "token", "password" or "secret" are secrets too.
bool is_secret_name(std::string name) {
    std::string plain;
    for (char c : name)
        if (c != '-' && c != '_')
            plain += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    static const char* const names[] = {"sid",  "authsid", "session",       "sessionid", "pin", "challenge",
                                        "encryptedkey", "encryptedrnd", "authorization", "cookie", "setcookie"};
    for (const char* secret : names)
        if (plain == secret)
            return true;
    for (const std::string_view tail : {"token", "password", "secret"})
        if (plain.size() >= tail.size() && plain.compare(plain.size() - tail.size(), tail.size(), tail) == 0)
            return true;
    return false;
}

std::wstring redacted_segments(const std::wstring& url);

void hide_secrets(Json::Value& value) {
    if (value.isString()) {
        // An address may carry a secret of its own (an approval, a session in the path).
        const std::wstring text = utf8_to_wide(value.asString());
        const std::wstring shown = redacted_segments(text);
        if (shown != text)
            value = wide_to_utf8(shown);
        return;
    }
    if (value.isObject()) {
        for (const std::string& name : value.getMemberNames()) {
            Json::Value& member = value[name];
            if (is_secret_name(name) && !member.isNull())
                member = SECRET_MARK;
            else
                hide_secrets(member);
        }
    } else if (value.isArray()) {
        for (Json::Value& element : value)
            hide_secrets(element);
    }
}

// The path segment after these is a secret of its own (a session id, a one-time approval).
constexpr std::wstring_view SECRET_SEGMENTS[] = {L"/sessions/", L"/approve/"};

}  // namespace

std::string redacted_body(const std::vector<std::uint8_t>& body) {
    Json::Value root;
    std::string errors;
    if (!read_json({reinterpret_cast<const char*>(body.data()), body.size()}, root, errors))
        return std::string(body.begin(), body.end());
    hide_secrets(root);
    std::string text = to_json_text(root);
    text.pop_back();
    return text;
}

std::wstring redacted_url(const std::wstring& url) {
    return redacted_segments(url);
}

namespace {

std::wstring redacted_segments(const std::wstring& url) {
    std::wstring shown = url;
    for (const std::wstring_view segment : SECRET_SEGMENTS) {
        const std::size_t at = shown.find(segment);
        if (at == std::wstring::npos)
            continue;
        const std::size_t begin = at + segment.size();
        const std::size_t end = shown.find_first_of(L"/?#", begin);
        shown.replace(begin, (end == std::wstring::npos ? shown.size() : end) - begin, utf8_to_wide(SECRET_MARK));
    }
    return shown;
}

}  // namespace

std::string to_json_text(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value) + "\n";
}

bool read_json(std::string_view text, Json::Value& root, std::string& errors) {
    static const Json::CharReaderBuilder builder = [] {
        Json::CharReaderBuilder defaults;
        defaults["collectComments"] = false;
        return defaults;
    }();
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    try {
        return reader->parse(text.data(), text.data() + text.size(), &root, &errors);
    } catch (const Json::Exception& error) {
        errors = error.what();
        return false;
    }
}

ApiError parse_api_error(const std::vector<std::uint8_t>& body, std::int32_t status) {
    AGENT_INFO(L"agent::details::parse_api_error") << base64_encode(redacted_body(body));
    ApiError error;
    Json::Value root;
    std::string messages;
    if (!read_json({reinterpret_cast<const char*>(body.data()), body.size()}, root, messages)) {
        AGENT_ERROR(L"agent::details::parse_api_error") << messages;
        error.status = status;
        return error;
    }
    if (!root.isObject()) {
        // Not an error answer of the server's form: keep the HTTP status, and the elements
        // of an array as details.
        error.status = status;
        if (root.isArray())
            for (const Json::Value& element : root)
                error.details.push_back(member_text(element));
        return error;
    }
    for (const std::string& name : root.getMemberNames()) {
        const Json::Value& value = root[name];
        if (name == "id")
            error.id = value.isString() ? value.asString() : wide_to_utf8(member_text(value));
        else if (name == "message")
            error.message = member_text(value);
        else if (name == "track-id")
            error.track_id = value.isString() ? value.asString() : wide_to_utf8(member_text(value));
        else if (name == "status")
            error.status = member_int(value);
        else
            error.details.push_back(member_text(value));
    }
    return error;
}

void set_content_length(winhttp::Request& request, std::uint64_t length) {
    request.set_header(L"Content-Length", std::to_wstring(length), winhttp::WINHTTP_ADDREQ_FLAG_REPLACE);
}

winhttp::Request open_api_request(winhttp::SimpleClient& client, const wchar_t* function, const std::wstring& url,
                                  int method, const std::string& session_id) {
    AGENT_INFO(function) << "Query: " << redacted_url(url);
    winhttp::Request request = client.open_request(url, method);
    if (!session_id.empty())
        request.set_header(L"Authorization", L"varnel.sid " + utf8_to_wide(session_id),
                           winhttp::WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA);
    return request;
}

bool same_origin(const std::wstring& url, const std::wstring& api_base) {
    try {
        winhttp::CrackedUrl a = winhttp::crack_url(url);
        winhttp::CrackedUrl b = winhttp::crack_url(api_base);
        a.host = to_lower_ascii(std::move(a.host));
        b.host = to_lower_ascii(std::move(b.host));
        return winhttp::origin_of(a) == winhttp::origin_of(b);
    } catch (const WinHttpException&) {
        return false;
    }
}

winhttp::Request open_linked_request(winhttp::SimpleClient& client, const wchar_t* function, const std::wstring& url,
                                     int method, const std::string& session_id, const std::wstring& api_base) {
    if (session_id.empty() || same_origin(url, api_base))
        return open_api_request(client, function, url, method, session_id);
    AGENT_INFO(function) << "Not the agent API's origin, asked without the session: " << redacted_url(url);
    return open_api_request(client, function, url, method, {});
}

void log_status(const wchar_t* function, std::uint32_t status) {
    AGENT_INFO(function) << "Status code: " << status;
}

void log_body(const wchar_t* function, const std::vector<std::uint8_t>& body, AnswerLog log) {
    if (log == AnswerLog::None) {
        AGENT_DEBUG(function) << "Response body: not logged (" << body.size() << " bytes)";
        return;
    }
    AGENT_DEBUG(function) << "Response body: " << base64_encode(redacted_body(body));
}

void throw_api_error(const wchar_t* function, const std::vector<std::uint8_t>& body, std::uint32_t status) {
    AgentApiException error(parse_api_error(body, static_cast<std::int32_t>(status)));
    AGENT_ERROR(function) << error.what();
    throw error;
}

ApiAnswer finish_api_call(winhttp::Request& request, const wchar_t* function, std::uint32_t success,
                          std::uint32_t also_success, AnswerLog log) {
    winhttp::Response response = request.receive();
    ApiAnswer answer;
    answer.status = response.status_code();
    const bool succeeded = answer.status == success || (also_success != 0 && answer.status == also_success);
    try {
        answer.body = response.read_body();
    } catch (const WinHttpException& e) {
        // A refusal is still the refusal when the connection drops after its head: a proxy
        // that wants credentials answers a request with a body 407 and resets the
        // connection without reading the body (tinyproxy does). Any other answer whose body
        // fails (a time limit reached, a server gone) fails with that.
        if (answer.status != 407)
            throw;
        AGENT_WARN(function) << "The answer's body was cut off: " << e.description();
    }
    log_status(function, answer.status);
    log_body(function, answer.body, succeeded ? log : AnswerLog::Redacted);
    if (!succeeded)
        throw_api_error(function, answer.body, answer.status);
    return answer;
}

winhttp::Request open_json_request(winhttp::SimpleClient& client, const wchar_t* function, const std::wstring& url,
                                   int method, const std::string& session_id, const Json::Value* body) {
    winhttp::Request request = open_api_request(client, function, url, method, session_id);
    if (body != nullptr) {
        const std::string text = to_json_text(*body);
        request.set_header(L"Content-Type", L"application/json", winhttp::WINHTTP_ADDREQ_FLAG_REPLACE);
        set_content_length(request, text.size());
        request.write(text);
    }
    return request;
}

ApiAnswer call_api(winhttp::SimpleClient& client, const wchar_t* function, const std::wstring& url, int method,
                   const std::string& session_id, const Json::Value* body, std::uint32_t success,
                   std::uint32_t also_success, AnswerLog log) {
    winhttp::Request request = open_json_request(client, function, url, method, session_id, body);
    return finish_api_call(request, function, success, also_success, log);
}

ApiAnswer call_api_raw(winhttp::SimpleClient& client, const wchar_t* function, const std::wstring& url, int method,
                       const std::string& session_id, std::string_view body, std::uint32_t success,
                       std::uint32_t also_success, AnswerLog log) {
    winhttp::Request request = open_api_request(client, function, url, method, session_id);
    set_content_length(request, body.size());
    request.write(body);
    return finish_api_call(request, function, success, also_success, log);
}

}  // namespace agent::details
