#pragma once

#include <optional>
#include <string>

// The desktop's keyring: the Secret Service on the session bus (GNOME Keyring, KWallet's
// Secret Service, KeePassXC) through libsecret. Only a service that runs is used: asking
// never starts one. A locked collection is unlocked by the service's own prompt.
// Calls block the calling thread for the D-Bus round trip (and a prompt, when one is shown).
namespace agent::details::keyring {

// What one secret of the program is: its kind ("session", "proxy"), where it belongs (the
// host of the agent API, the proxy's address) and whose it is (empty: anyone's, for a lookup).
struct Key {
    std::string kind;
    std::string host;
    std::string user;
};

// Whether a Secret Service runs on the session bus now.
bool available() noexcept;

// Stores the secret under the key (replacing one stored before). False with the reason in
// `error` when the service refuses, the user declines its prompt, or none answers.
bool store(const Key& key, const std::string& label, const std::string& secret, std::string& error);

// The secret stored under the key; nothing, with `error` empty, when none is.
std::optional<std::string> lookup(const Key& key, std::string& error);

// Removes every secret under the key. True when none is left.
bool clear(const Key& key, std::string& error);

}  // namespace agent::details::keyring
