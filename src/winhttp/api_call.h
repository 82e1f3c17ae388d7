#pragma once

// The pattern every call of the agent API and of the authentication service follows:
// URL = configured base + path, "Query: <url>" at INFO, the session header, an optional
// body, "Status code: <n>" at INFO, "Response body: <Base64>" at DEBUG, one success code
// (sometimes two), and anything else turned into an AgentApiException built from the
// server's error answer and logged at ERROR under the entry point's name.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "details/exception.h"
#include "winhttp/simple_client.h"

namespace Json {
class Value;
}

namespace agent::details {

// Reads the server's error answer. Logs the Base64 of its redacted_body at INFO. A body that is not JSON
// logs the reader's messages at ERROR and gives a record with only `status` = the HTTP
// status. Members: "status" (integer), "id", "message", "track-id"; every other member's
// value goes into `details` as text (objects and arrays as their compact JSON text).
ApiError parse_api_error(const std::vector<std::uint8_t>& body, std::int32_t status);

// Sets "Content-Length" to the decimal length, replacing an earlier value.
void set_content_length(winhttp::Request& request, std::uint64_t length);

// Compact JSON text (one line ending with LF), the form request bodies are sent in.
std::string to_json_text(const Json::Value& value);

// Reads JSON text with jsoncpp's strict-enough defaults. False, with the reader's messages in
// `errors`, for text that is not JSON, including nesting deeper than the reader's limit
// (1000), which jsoncpp reports by throwing: a server's answer must not escape as a
// library exception where a parse failure is expected.
bool read_json(std::string_view text, Json::Value& root, std::string& errors);

// How a successful answer's body goes into the log (at DEBUG): as Base64 of the body with
// the values of secret members (the session, tokens, passwords, the challenge, cookies)
// replaced by SECRET_MARK, or not at all (the sign-in and user-info answers: they are the
// session).
enum class AnswerLog { Redacted, None };

inline constexpr char SECRET_MARK[] = "(hidden)";

// The body as the log may show it: JSON with the values of secret members replaced by
// SECRET_MARK (at any depth); anything that is not JSON as it is.
std::string redacted_body(const std::vector<std::uint8_t>& body);
// The URL as the log may show it: the segment after "/sessions/" or "/approve/" (a session
// id, a one-time approval) replaced by SECRET_MARK.
std::wstring redacted_url(const std::wstring& url);

// What a successful call returns.
struct ApiAnswer {
    std::uint32_t status = 0;
    std::vector<std::uint8_t> body;
};

// One API call with an optional JSON body ("Content-Type: application/json" and
// "Content-Length" are set with it). An empty session id sends no "Authorization" header.
// Returns when the status is `success` (or `also_success` when not 0); any other status
// throws the AgentApiException of the answer, logged at ERROR under `function`.
// Transfer failures (agent::WinHttpException) pass through unlogged.
//
//   auto answer = call_api(client, L"agent::ChannelService::user_channels",
//                          base + L"/v1/channels", winhttp::METHOD_GET, session_id,
//                          nullptr, 200);
ApiAnswer call_api(winhttp::SimpleClient& client, const wchar_t* function,
                   const std::wstring& url, int method, const std::string& session_id,
                   const Json::Value* body, std::uint32_t success,
                   std::uint32_t also_success = 0, AnswerLog log = AnswerLog::Redacted);

// The two halves of call_api, for a caller that keeps the request's cancel handle: the
// opened request with the JSON body written (none for nullptr), and the wait for its
// answer with the status check.
winhttp::Request open_json_request(winhttp::SimpleClient& client, const wchar_t* function,
                                   const std::wstring& url, int method,
                                   const std::string& session_id, const Json::Value* body);
ApiAnswer finish_api_call(winhttp::Request& request, const wchar_t* function, std::uint32_t success,
                          std::uint32_t also_success = 0, AnswerLog log = AnswerLog::Redacted);

// The same with raw body bytes and "Content-Length" only (no "Content-Type"); an empty
// body still sends "Content-Length: 0". The authentication service calls it with an empty
// session id.
ApiAnswer call_api_raw(winhttp::SimpleClient& client, const wchar_t* function,
                       const std::wstring& url, int method, const std::string& session_id,
                       std::string_view body, std::uint32_t success,
                       std::uint32_t also_success = 0, AnswerLog log = AnswerLog::Redacted);

// The pieces of the pattern, for calls that read their body as a stream:
// logs "Query: <url>" at INFO under `function`, opens the request and sets the session
// header "Authorization: varnel.sid <id>" (coalescing with a comma) unless the id is empty.
winhttp::Request open_api_request(winhttp::SimpleClient& client, const wchar_t* function,
                                  const std::wstring& url, int method,
                                  const std::string& session_id);
// Whether the URL lies on the API base's origin: the same scheme, host (without case)
// and port. False when either is not an http(s) URL.
bool same_origin(const std::wstring& url, const std::wstring& api_base);

// open_api_request for an address the server handed out (an icon, the installer): the
// session header goes only to the API base's own origin, any other host is asked without
// it, so an address pointing elsewhere never hands the user's session to that host.
// (Redirects are libcurl's business: it keeps the header for the first host only.)
winhttp::Request open_linked_request(winhttp::SimpleClient& client, const wchar_t* function,
                                     const std::wstring& url, int method,
                                     const std::string& session_id, const std::wstring& api_base);

// Logs "Status code: <n>" at INFO under `function`.
void log_status(const wchar_t* function, std::uint32_t status);
// Logs "Response body: <Base64 of redacted_body>" at DEBUG under `function`, or only its
// size for AnswerLog::None.
void log_body(const wchar_t* function, const std::vector<std::uint8_t>& body,
              AnswerLog log = AnswerLog::Redacted);
// Builds the AgentApiException of an error answer, logs its text at ERROR under `function`
// and throws it.
[[noreturn]] void throw_api_error(const wchar_t* function, const std::vector<std::uint8_t>& body,
                                  std::uint32_t status);

}  // namespace agent::details
