#include "model/auth_service.h"

#include <json/value.h>
#include <openssl/crypto.h>

#include <cerrno>

#include "crypto/certificate.h"
#include "crypto/decrypt.h"
#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"
#include "model/client_lock.h"
#include "model/json_answer.h"
#include "model/secret_text.h"
#include "winhttp/api_call.h"
#include "winhttp/simple_client.h"

namespace agent {

namespace {

constexpr wchar_t AUTHENTICATE[] = L"agent::AuthService::authenticate";
constexpr wchar_t SIGNOUT[] = L"agent::AuthService::signout";

std::string_view as_text(const std::vector<std::uint8_t>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string read_sid(const std::vector<std::uint8_t>& body) {
    const Json::Value root = details::parse_json_answer(body, AUTHENTICATE);
    std::string sid = root.isObject() ? root["Sid"].asString() : std::string();
    AGENT_INFO(AUTHENTICATE) << (sid.empty() ? "No session in the answer" : "Session received");
    return sid;
}

// Where the decrypted challenge may go: over TLS, or over plain HTTP only when the
// authentication service itself is configured so (a local stand-in provider).
bool is_allowed_approve_link(const std::wstring& link, const std::wstring& auth_uri) {
    if (details::starts_with_ascii_nocase(link, L"https://"))
        return true;
    return details::starts_with_ascii_nocase(link, L"http://") && details::starts_with_ascii_nocase(auth_uri, L"http://");
}

// Zeroes the plain challenge whatever becomes of it.
struct Wiped {
    std::vector<std::uint8_t>& bytes;
    ~Wiped() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

}  // namespace

AuthService::AuthService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring auth_uri)
    : client_(std::move(client)), auth_uri_(std::move(auth_uri)) {}

std::string AuthService::authenticate(const crypto::Certificate& certificate, crypto::IPinPrompt* prompt) {
    const std::vector<std::uint8_t> der = certificate.encoded();
    AGENT_DEBUG(AUTHENTICATE) << "Certificate content: " << details::base64_encode(der);
    const auto client = details::lock_http_client(client_, AUTHENTICATE);

    const auto challenge = details::call_api_raw(*client, AUTHENTICATE, auth_uri_ + L"/authenticate-by-cert",
                                                 winhttp::METHOD_POST, {}, as_text(der), 200);
    const Json::Value root = details::parse_json_answer(challenge.body, AUTHENTICATE);
    const std::wstring encrypted = details::json_wide(root, "EncryptedKey");
    const std::wstring approve = root.isObject() ? details::json_wide(root["Link"], "Href") : std::wstring();
    AGENT_INFO(AUTHENTICATE) << "ApproveLink: " << details::redacted_url(approve);
    // The key decrypts whatever it is given: only a plausible challenge, for a link that
    // keeps it secret, is ever sent back. Otherwise a server could have the user's key open
    // any document encrypted to the certificate and receive the plain text.
    if (!is_allowed_approve_link(approve, auth_uri_)) {
        AGENT_ERROR(AUTHENTICATE) << "The approve link is not an https:// address; nothing is decrypted or sent";
        throw CryptoException(EPROTO, "authenticate-by-cert");
    }
    std::vector<std::uint8_t> plain = crypto::decrypt(certificate, details::base64_decode(encrypted), prompt);
    const Wiped wiped{plain};
    if (plain.size() > MAX_CHALLENGE) {
        AGENT_ERROR(AUTHENTICATE) << "The decrypted challenge is " << plain.size() << " bytes (at most "
                                  << MAX_CHALLENGE << " are a challenge); nothing is sent";
        throw CryptoException(EMSGSIZE, "authenticate-by-cert");
    }
    const auto answer = details::call_api_raw(*client, AUTHENTICATE, approve, winhttp::METHOD_POST, {},
                                              as_text(plain), 200, 0, details::AnswerLog::None);
    return read_sid(answer.body);
}

std::string AuthService::authenticate(const std::wstring& login, const std::wstring& password) {
    const auto client = details::lock_http_client(client_, AUTHENTICATE);
    const std::wstring url = auth_uri_ + L"/authenticate-by-pass?login=" + details::encode_query_value(login);
    const std::string body = details::wide_to_utf8(password);
    const auto answer = details::call_api_raw(*client, AUTHENTICATE, url, winhttp::METHOD_POST, {}, body, 200, 0,
                                              details::AnswerLog::None);
    return read_sid(answer.body);
}

bool AuthService::signout(const std::wstring& session_id) {
    const auto client = details::lock_http_client(client_, SIGNOUT);
    // Built by hand rather than with call_api_raw: the query line would show the session id.
    AGENT_INFO(SIGNOUT) << "Query: " << details::redacted_url(auth_uri_ + L"/sessions/" + session_id);
    winhttp::Request request = client->open_request(auth_uri_ + L"/sessions/" + session_id, winhttp::METHOD_DELETE);
    details::set_content_length(request, 0);
    winhttp::Response response = request.receive();
    const std::vector<std::uint8_t> body = response.read_body();
    const std::uint32_t status = response.status_code();
    details::log_status(SIGNOUT, status);
    details::log_body(SIGNOUT, body);
    if (status != 200)
        details::throw_api_error(SIGNOUT, body, status);
    const Json::Value root = details::parse_json_answer(body, SIGNOUT);
    return details::json_flag(root, "Success");
}

}  // namespace agent
