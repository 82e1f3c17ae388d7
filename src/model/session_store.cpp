#include "model/session_store.h"

#include <cerrno>

#include <json/json.h>

#include "details/exception.h"
#include "details/io.h"
#include "details/keyring.h"
#include "details/logger.h"
#include "details/path.h"
#include "details/strings.h"
#include "winhttp/api_call.h"

namespace agent {

namespace {

constexpr wchar_t FUNCTION[] = L"agent::SessionStore";
constexpr char KIND[] = "session";
constexpr char LABEL[] = "Варнел.Агент: вход";

std::string secret_text(const details::SavedSession& session) {
    Json::Value value(Json::objectValue);
    value["session_id"] = details::wide_to_utf8(session.session_id);
    value["token"] = details::wide_to_utf8(session.token);
    return details::to_json_text(value);
}

std::optional<details::SavedSession> session_of(const std::string& text) {
    Json::Value value;
    std::string errors;
    if (!details::read_json(text, value, errors) || !value.isObject() || !value["session_id"].isString() ||
        !value["token"].isString())
        return std::nullopt;
    details::SavedSession session;
    session.session_id = details::utf8_to_wide(value["session_id"].asString());
    session.token = details::utf8_to_wide(value["token"].asString());
    if (session.session_id.empty())
        return std::nullopt;
    return session;
}

}  // namespace

SessionStore::SessionStore(std::wstring directory, std::wstring client, std::wstring api_host, bool use_keyring)
    : directory_(std::move(directory)),
      client_(std::move(client)),
      host_(details::wide_to_utf8(api_host)),
      use_keyring_(use_keyring) {}

std::wstring SessionStore::file() const {
    return details::path::join(directory_, FILE_NAME);
}

std::optional<details::SavedSession> SessionStore::load() {
    const bool keyring = use_keyring_ && details::keyring::available();
    if (keyring) {
        std::string error;
        if (const auto text = details::keyring::lookup({KIND, host_, ""}, error)) {
            if (auto session = session_of(*text))
                return session;
            AGENT_ERROR(FUNCTION) << "The session in the keyring is not readable";
        } else if (!error.empty()) {
            AGENT_WARN(FUNCTION) << "The keyring cannot be read (" << error << ")";
        }
    }
    // Nobody has signed in with the session remembered yet: nothing to restore, no error.
    const std::wstring path = file();
    if (!details::io::exist_file(path))
        return std::nullopt;
    std::optional<details::SavedSession> saved;
    try {
        saved = details::decode_session(client_, details::io::read_file(path));
    } catch (const std::exception& e) {
        AGENT_ERROR(L"agent::AgentClient::create") << "Sid cannot be read: " << e.what();
        return std::nullopt;
    }
    if (!saved || !keyring)
        return saved;
    // A keyring runs now: the session moves there, and the file (readable by anyone who
    // can read the folder, the client id beside it) goes.
    std::string error;
    if (details::keyring::store({KIND, host_, ""}, LABEL, secret_text(*saved), error)) {
        details::io::delete_file(path);
        AGENT_INFO(FUNCTION) << "The session moved from " << path << " into the keyring";
    } else {
        AGENT_WARN(FUNCTION) << "The session stays in " << path << " (the keyring: " << error << ")";
    }
    return saved;
}

void SessionStore::save(const details::SavedSession& session, const std::wstring& user) {
    std::string error = use_keyring_ ? "no keyring runs on this desktop" : "secret_store = file";
    if (use_keyring_ && details::keyring::available()) {
        details::keyring::clear({KIND, host_, ""}, error);
        if (details::keyring::store({KIND, host_, details::wide_to_utf8(user)}, LABEL, secret_text(session), error)) {
            // An older copy in the file would come back once the keyring goes.
            if (details::io::exist_file(file()))
                details::io::delete_file(file());
            return;
        }
    }
    save_to_file(session);
    AGENT_WARN(FUNCTION) << "The session is kept in " << file() << " (" << error << ")";
}

void SessionStore::save_to_file(const details::SavedSession& session) {
    const std::vector<std::uint8_t> content = details::encode_session(client_, session.session_id, session.token);
    if (!details::path::make_directories(directory_, 0700))
        throw SystemException(ENOTDIR, "mkdir");
    details::io::write_file_or_throw(file(), content.data(), content.size());
}

void SessionStore::remove() {
    if (use_keyring_ && details::keyring::available()) {
        std::string error;
        if (!details::keyring::clear({KIND, host_, ""}, error)) {
            AGENT_ERROR(FUNCTION) << "The session stays in the keyring: " << error;
        }
    }
    if (details::io::exist_file(file()))
        details::io::delete_file(file());
}

}  // namespace agent
