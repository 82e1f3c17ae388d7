#include "model/agent_client.h"

#include <json/value.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

#include "details/configuration.h"
#include "details/exception.h"
#include "details/io.h"
#include "details/logger.h"
#include "details/os.h"
#include "details/path.h"
#include "details/strings.h"
#include "model/auth_service.h"
#include "model/channel_service.h"
#include "model/events.h"
#include "model/json_answer.h"
#include "model/message_archive.h"
#include "model/message_service.h"
#include "model/session_file.h"
#include "model/session_store.h"
#include "model/update_service.h"
#include "model/uri_service.h"
#include "winhttp/api_call.h"
#include "winhttp/simple_client.h"

namespace agent {

namespace {

constexpr wchar_t CREATE[] = L"agent::AgentClient::create";
constexpr wchar_t AUTHENTICATE[] = L"agent::AgentClient::authenticate";
constexpr wchar_t SIGNOUT[] = L"agent::AgentClient::signout";
constexpr wchar_t GET_USER_INFO[] = L"agent::AgentClient::get_user_info";
constexpr wchar_t GET_INSTRUCTION[] = L"agent::AgentClient::get_instruction";
// Read marks the server has not been told of when the program ended, for the next start.
constexpr wchar_t READ_MARKS_FILE_NAME[] = L"unsent_read_marks";

// The client is created with the configured proxy; a hand-edited "config" naming a proxy
// without an address must not keep the program from starting, so it falls back to the
// desktop's settings until the user fixes the proxy page.
std::shared_ptr<winhttp::SimpleClient> create_http_client(const std::wstring& user_agent,
                                                           const winhttp::ProxySettings& proxy) {
    try {
        return winhttp::SimpleClient::create(user_agent, proxy);
    } catch (const AgentException& e) {
        if (e.kind() != AgentException::PROXY_WITHOUT_ADDRESS)
            throw;
        AGENT_ERROR(CREATE) << e.description() << " (the desktop's proxy settings are used)";
        winhttp::ProxySettings fallback;
        fallback.mode = winhttp::DefaultProxy;
        return winhttp::SimpleClient::create(user_agent, fallback);
    }
}

}  // namespace

namespace details {

std::wstring build_user_agent(const std::wstring& client, const std::wstring& os_description) {
    return std::wstring(L"Varnel.Agent/") + AGENT_VERSION + L" (" + os_description + L"; uid:" + client + L")";
}

}  // namespace details

AgentClient::AgentClient(std::shared_ptr<IConfiguration> configuration) : configuration_(std::move(configuration)) {}

AgentClient::~AgentClient() = default;

std::unique_ptr<AgentClient> AgentClient::create(std::shared_ptr<IConfiguration> configuration) {
    if (!configuration)
        throw std::invalid_argument("Configuration for agent client is absent");

    const std::wstring user_agent = details::build_user_agent(configuration->client, details::get_os_description());
    AGENT_INFO(CREATE) << "Agent: " << user_agent;

    std::unique_ptr<AgentClient> agent(new AgentClient(configuration));
    agent->http_client_ = create_http_client(user_agent, configuration->proxy);
    if (!configuration->ca_file.empty()) {
        try {
            agent->http_client_->set_ca_file(configuration->ca_file);
        } catch (const Exception& e) {
            AGENT_ERROR(CREATE) << "ca_file " << configuration->ca_file << ": " << e.description();
        }
    }

    agent->api_base_ = configuration->uri;
    const std::weak_ptr<winhttp::SimpleClient> client = agent->http_client_;
    agent->auth_service_ = std::make_unique<AuthService>(client, configuration->auth_uri);
    agent->channel_service_ = std::make_unique<ChannelService>(client, agent->api_base_);
    agent->message_service_ = std::make_unique<MessageService>(client, agent->api_base_);
    if (configuration->stream_silence_limit != 0)
        agent->message_service_->set_silence_limit(std::chrono::seconds(configuration->stream_silence_limit));
    agent->message_service_->keep_read_queue_in(details::path::join(configuration->path, READ_MARKS_FILE_NAME));
    agent->update_service_ = std::make_unique<UpdateService>(client, configuration->path, agent->api_base_);
    agent->uri_service_ = std::make_unique<UriService>(client, agent->api_base_);
    agent->events_logger_ = std::make_unique<EventsLogger>(client, agent->api_base_);

    agent->session_store_ = std::make_unique<SessionStore>(configuration->path, configuration->client,
                                                           details::host_of(configuration->uri),
                                                           configuration->use_keyring);
    agent->archive_ = MessageArchive::in_memory();
    agent->restore_session();
    return agent;
}

void AgentClient::restore_session() {
    const auto saved = session_store_->load();
    if (!saved)
        return;
    token_ = saved->token;
    has_session_ = true;
    assign_session_id(saved->session_id);
    // The archive a remembered sign-in left (whoever's it is: a sign-out deletes it).
    archive_ = MessageArchive::open(archive_file(), L"");
}

std::wstring AgentClient::archive_file() const {
    return MessageArchive::file_for(configuration_->path, configuration_->uri);
}

void AgentClient::assign_session_id(const std::wstring& session_id) {
    session_id_ = session_id;
    channel_service_->set_session_id(session_id);
    message_service_->set_session_id(session_id);
    update_service_->set_session_id(session_id);
    uri_service_->set_session_id(session_id);
    events_logger_->set_session_id(session_id);
}

void AgentClient::authenticate(const crypto::Certificate& certificate, bool remember, crypto::IPinPrompt* prompt) {
    finish_authentication(auth_service_->authenticate(certificate, prompt), remember);
}

void AgentClient::authenticate(const std::wstring& login, const std::wstring& password, bool remember) {
    finish_authentication(auth_service_->authenticate(login, password), remember);
    configuration_->last_email = login;
    save_configuration();
}

void AgentClient::finish_authentication(const std::string& session_id, bool remember) {
    has_session_ = true;
    remember_ = remember;
    save_failure_.clear();
    uri_service_->set_remembered(remember);
    assign_session_id(details::utf8_to_wide(session_id));

    const details::UserInfo info = get_user_info();
    token_ = info.token;
    if (remember)
        save_session(info.user_id);
    // Nothing of an unremembered session goes to disk, its messages neither (a remembered
    // session that stays in its store keeps its archive, as it keeps its file).
    if (remember)
        archive_ = MessageArchive::open(archive_file(), info.user_id.empty() ? L"-" : info.user_id);
    else
        archive_ = MessageArchive::in_memory();

    const std::wstring instruction = get_instruction();
    if (!instruction.empty()) {
        configuration_->instruction = instruction;
        save_configuration();
    }
    events_logger_->send_event(EVENT_SIGNIN);
}

void AgentClient::note_save_failure(const std::wstring& file, const Exception& failure) {
    AGENT_ERROR(AUTHENTICATE) << "Not saved: " << file << ": " << failure.description();
    // What the user asked to be remembered is not: the window says so once.
    if (remember_ && save_failure_.empty())
        save_failure_ = L"Вход выполнен, но не запомнен: не удалось записать файл «" + file + L"» (" +
                        failure.message() + L"). При следующем запуске нужно будет войти снова.";
}

void AgentClient::save_configuration() {
    // The sign-in stands whatever the disk says: failing it would leave an open session on
    // the server for every retry.
    try {
        configuration_->save();
    } catch (const Exception& e) {
        note_save_failure(details::path::join(configuration_->path, L"config"), e);
    }
}

std::wstring AgentClient::take_save_failure() {
    return std::exchange(save_failure_, std::wstring());
}

void AgentClient::save_session(const std::wstring& user) {
    try {
        session_store_->save({session_id_, token_}, user);
    } catch (const std::length_error& e) {
        // Written anyway it would restore as another session; signed in for this run only.
        AGENT_ERROR(AUTHENTICATE) << "Sid is not saved: " << e.what();
    } catch (const SystemException& e) {
        note_save_failure(session_store_->file(), e);
    }
}

void AgentClient::signout() {
    // What the leaving user read goes with their session, if it can go in a moment.
    message_service_->drop_read_queue();
    events_logger_->send_event(EVENT_SIGNOUT);
    has_session_ = false;
    UriService::clear_service_links();
    session_store_->remove();
    // The messages of the leaving user go with them.
    archive_ = MessageArchive::in_memory();
    MessageArchive::remove_file(archive_file());
    configuration_->reset_silent_mode();
    const bool result = auth_service_->signout(session_id_);
    AGENT_DEBUG(SIGNOUT) << "Signout result: " << (result ? 1 : 0);
    session_id_.clear();
    token_.clear();
}

details::UserInfo AgentClient::get_user_info() {
    // The answer carries the user's token: it never goes into the log.
    const auto answer = details::call_api(*http_client_, GET_USER_INFO, api_base_ + L"/v1/user/info",
                                          winhttp::METHOD_GET, details::wide_to_utf8(session_id_), nullptr, 200, 0,
                                          details::AnswerLog::None);
    return details::UserInfo::parse_user_info(answer.body);
}

std::wstring AgentClient::get_instruction() {
    const auto answer = details::call_api(*http_client_, GET_INSTRUCTION, api_base_ + L"/v1/links/instruction",
                                          winhttp::METHOD_GET, details::wide_to_utf8(session_id_), nullptr, 200);
    return details::json_wide(details::parse_json_answer(answer.body, GET_INSTRUCTION), "href");
}

void AgentClient::set_proxy(const winhttp::ProxySettings& proxy) {
    if (proxy.mode == winhttp::NamedProxy && proxy.url.empty())
        throw AgentException(AgentException::PROXY_WITHOUT_ADDRESS);
    http_client_->set_proxy(proxy);
    configuration_->proxy = proxy;
    uri_service_->set_proxy(proxy);
    // The stream holds its connection open for as long as the server keeps it: without a
    // new one it would go on through the old proxy (or none) until the next drop.
    message_service_->reconnect_message_stream();
}

void AgentClient::set_proxy_credentials(const std::wstring& user, const std::wstring& password) {
    http_client_->set_proxy_credentials(user, password);
    configuration_->proxy.user = user;
    configuration_->proxy.password = password;
    uri_service_->set_proxy(configuration_->proxy);
}

}  // namespace agent
