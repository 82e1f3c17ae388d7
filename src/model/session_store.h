#pragma once

#include <optional>
#include <string>

#include "model/session_file.h"

// Where a remembered session is kept: the desktop's keyring when one runs (its item names
// the agent API's host and the user), else the enciphered file "sid" of the data folder, as
// before. A session found in the file while a keyring runs moves into the keyring and the
// file goes. Both front ends (the tray program, the command line) keep it here.
namespace agent {

class SessionStore {
public:
    // `directory` is the data folder (with its trailing "/"), `client` the installation's
    // id (the file's key), `api_host` the host of the agent API.
    SessionStore(std::wstring directory, std::wstring client, std::wstring api_host, bool use_keyring = true);

    // The remembered session, or nothing. Never throws; what goes wrong is logged.
    std::optional<details::SavedSession> load();

    // Remembers the session of the user. Kept in the keyring when one runs and takes it;
    // otherwise in the file, with one WARN saying so. Throws SystemException when the file
    // cannot be written either, std::length_error when the session id does not fit the
    // file's length byte.
    void save(const details::SavedSession& session, const std::wstring& user);

    // Forgets the remembered session, in the keyring and in the file.
    void remove();

    // The file a session falls back to.
    std::wstring file() const;

    static constexpr wchar_t FILE_NAME[] = L"sid";

private:
    void save_to_file(const details::SavedSession& session);

    std::wstring directory_;
    std::wstring client_;
    std::string host_;
    bool use_keyring_;
};

}  // namespace agent
