#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace winhttp {
class SimpleClient;
}

namespace agent {

namespace crypto {
class Certificate;
class IPinPrompt;
}  // namespace crypto

// The client of the authentication service: opens a session with a certificate (a
// challenge only the holder of the private key can answer) or a login and password, and
// closes it. Sends no session header; the user agent and proxy are the shared client's.
class AuthService {
public:
    AuthService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring auth_uri);

    // The largest plain challenge sent back: a challenge is a few dozen random bytes, and
    // anything larger is a document the server wants opened with the user's key.
    static constexpr std::size_t MAX_CHALLENGE = 1024;

    // Two steps: POST the certificate's DER to "/authenticate-by-cert", decrypt the
    // "EncryptedKey" answer with the certificate's key, POST the plain bytes to the "Href"
    // the answer names. Returns the "Sid" (UTF-8). The "Href" must be https:// (or http://
    // when the authentication service itself is configured as plain http://, a local
    // stand-in), and the plain challenge at most MAX_CHALLENGE bytes: otherwise nothing is
    // sent, the plain bytes are wiped, and CryptoException (EPROTO, EMSGSIZE) is thrown, the
    // certificate error for the user. A status other than 200 throws AgentApiException; a
    // non-JSON answer std::runtime_error; transport, Base64 and decryption failures pass
    // through. The prompt is asked for the key's PIN when it has one (null: as if cancelled).
    std::string authenticate(const crypto::Certificate& certificate, crypto::IPinPrompt* prompt = nullptr);

    // POST "/authenticate-by-pass?login=<login, percent-encoded>" with the password in
    // UTF-8 as the raw body. Returns the "Sid".
    std::string authenticate(const std::wstring& login, const std::wstring& password);

    // DELETE "/sessions/<id>". Returns the answer's "Success" (absent or null: false).
    bool signout(const std::wstring& session_id);

private:
    std::weak_ptr<winhttp::SimpleClient> client_;
    std::wstring auth_uri_;
};

}  // namespace agent
