#pragma once

#include <memory>
#include <string>

#include "model/user_info.h"
#include "winhttp/proxy.h"

namespace winhttp {
class SimpleClient;
}

namespace agent {

class Exception;
class IConfiguration;
class AuthService;
class ChannelService;
class MessageService;
class UpdateService;
class UriService;
class EventsLogger;
class SessionStore;
class MessageArchive;

namespace crypto {
class Certificate;
class IPinPrompt;
}  // namespace crypto

// The one object through which the shell and the pages reach the provider: the shared HTTP
// client with the program's user agent, one instance of each service, and the session.
//
// Every agent API request carries "Authorization: varnel.sid <session id>"; whenever the
// session id changes, every service that keeps a copy gets the new one in the same step.
//
// The session fields are plain fields: authenticate, create and signout write them and the
// shell never runs those at the same time as each other or as the message stream.
class AgentClient {
public:
    // Builds the client and restores the session saved in "sid" of the configuration's
    // directory, when one is there and belongs to this installation. Throws
    // std::invalid_argument("Configuration for agent client is absent") for a null pointer.
    static std::unique_ptr<AgentClient> create(std::shared_ptr<IConfiguration> configuration);

    ~AgentClient();
    AgentClient(const AgentClient&) = delete;
    AgentClient& operator=(const AgentClient&) = delete;

    // Sign-in. A failure of the authentication service leaves the client as it was; a later
    // failure of the server (user info) leaves the session in memory and skips the rest (no
    // file, no event). With `remember` the session is written to "sid"; without, an existing
    // file stays as it is. A file that cannot be written (a full disk, a read-only folder)
    // does not fail the sign-in: it is logged, and with `remember` take_save_failure() says
    // it once. The prompt is asked for the certificate key's PIN when it has one.
    void authenticate(const crypto::Certificate& certificate, bool remember, crypto::IPinPrompt* prompt = nullptr);
    // Also stores the login as `last_email` in the configuration.
    void authenticate(const std::wstring& login, const std::wstring& password, bool remember);

    // Sends "signout", forgets the session, empties the link cache, deletes "sid", resets
    // silent mode, then closes the session on the server. When the server call throws,
    // everything before it has happened and `session_id`/`token` keep their values.
    void signout();

    // The text for the user when what the last sign-in was asked to remember could not be
    // written; empty otherwise, and empty once taken.
    std::wstring take_save_failure();
    // Saves the configuration; a failure is logged (and noted for take_save_failure after a
    // remembered sign-in) instead of thrown.
    void save_configuration();

    // GET "/v1/user/info".
    details::UserInfo get_user_info();
    // GET "/v1/links/instruction": its "href", empty when absent.
    std::wstring get_instruction();

    // NamedProxy without an address throws AgentException kind 2 and changes nothing.
    // Otherwise the HTTP client takes the settings (dropping its cached connections), the
    // configuration's `proxy` gets a copy and a running message stream reconnects through
    // the new settings; the caller saves the configuration.
    void set_proxy(const winhttp::ProxySettings& proxy);
    void set_proxy_credentials(const std::wstring& user, const std::wstring& password);

    bool has_session() const noexcept { return has_session_; }
    const std::wstring& session_id() const noexcept { return session_id_; }
    const std::wstring& token() const noexcept { return token_; }
    const std::shared_ptr<IConfiguration>& configuration() const noexcept { return configuration_; }
    const std::shared_ptr<winhttp::SimpleClient>& http_client() const noexcept { return http_client_; }

    AuthService& auth_service() noexcept { return *auth_service_; }
    ChannelService& channel_service() noexcept { return *channel_service_; }
    MessageService& message_service() noexcept { return *message_service_; }
    UpdateService& update_service() noexcept { return *update_service_; }
    UriService& uri_service() noexcept { return *uri_service_; }
    EventsLogger& events_logger() noexcept { return *events_logger_; }
    // The signed-in user's message archive: on disk for a remembered session (restored or
    // signed in), in memory otherwise; a sign-out deletes it. Never null.
    std::shared_ptr<MessageArchive> archive() const { return archive_; }

private:
    explicit AgentClient(std::shared_ptr<IConfiguration> configuration);

    void restore_session();
    std::wstring archive_file() const;
    void assign_session_id(const std::wstring& session_id);
    // Steps after the authentication service answered.
    void finish_authentication(const std::string& session_id, bool remember);
    void save_session(const std::wstring& user);
    void note_save_failure(const std::wstring& file, const Exception& failure);

    std::shared_ptr<IConfiguration> configuration_;
    std::wstring session_id_;
    std::wstring token_;
    bool has_session_ = false;
    bool remember_ = false;
    std::wstring save_failure_;
    std::wstring api_base_;
    std::shared_ptr<winhttp::SimpleClient> http_client_;
    std::unique_ptr<AuthService> auth_service_;
    std::unique_ptr<ChannelService> channel_service_;
    std::unique_ptr<MessageService> message_service_;
    std::unique_ptr<UpdateService> update_service_;
    std::unique_ptr<UriService> uri_service_;
    std::unique_ptr<EventsLogger> events_logger_;
    std::unique_ptr<SessionStore> session_store_;
    std::shared_ptr<MessageArchive> archive_;
};

namespace details {

// "Varnel.Agent/1.1.0.198 (<OS description>; uid:<client id>)".
std::wstring build_user_agent(const std::wstring& client, const std::wstring& os_description);

}  // namespace details

}  // namespace agent
