#pragma once

// Everything the stand-in provider remembers: users, sessions, messages, read marks,
// channel switches and client events. Each change is written at once to one JSON file in
// the state directory (write to a temporary file, then rename), so a restarted server
// finds its sessions and messages again.

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <json/json.h>

#include "sandbox_server.h"

namespace sandbox {

struct ChannelDef {
    std::string id;
    std::string sender;
    std::string sender_name;
    std::string name;
    std::string description;
    // Channels sharing a group are a radio group: enabling one disables the others.
    std::string group;
    std::string icon;
    std::string link;
    bool enabled = true;
};

struct LinkDef {
    std::string title;
    std::string description;
    std::string href;
    std::string icon;
    std::string type;  // "product" tiles or plain "link"s
    bool enabled = true;
};

// Outcome of a password check; the codes are those the sign-in page tells apart.
enum class PasswordCheck { Ok, UserNotFound, BadPassword, TooManyIncorrectAttempts };

class Store {
public:
    explicit Store(std::filesystem::path file);
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Reads the file; false when there is none. A damaged file throws std::runtime_error.
    bool load();
    // Replaces all data with a seed document (see docs/sandbox.md) and writes it.
    // Throws std::runtime_error for a document of the wrong shape.
    void seed(const Json::Value& document);

    void add_user(User user);
    std::optional<User> user(const std::string& login) const;
    std::optional<User> user_by_token(const std::string& token) const;
    PasswordCheck check_password(const std::string& login, const std::string& password, int max_attempts);

    std::string create_session(const std::string& login);
    // The login of a live session.
    std::optional<std::string> session_login(const std::string& sid) const;
    bool end_session(const std::string& sid);

    // Without `persist` the caller writes the state file afterwards with persist(), so a
    // pushed message reaches the open streams before the whole state is written out.
    Message add_message(Message message, const std::string& login, bool persist = true);
    void persist() const;
    // Newest first.
    std::vector<Message> messages(const std::string& login) const;
    // Marks the user's messages with these ids read; unknown ids are ignored.
    void mark_read(const std::string& login, const std::vector<std::string>& ids);
    // Takes the message off the user's list; false when there was none with the id.
    bool remove_message(const std::string& login, const std::string& id);

    std::vector<ChannelDef> channels(const std::string& login) const;
    // False when the user has no such channel.
    bool set_channel(const std::string& login, const std::string& id, bool enabled);
    std::map<std::string, bool> channel_states(const std::string& login) const;

    std::vector<LinkDef> links() const;

    void add_event(const std::string& login, const std::string& word);
    std::vector<std::string> events(const std::string& login) const;

private:
    struct UserData {
        User user;
        std::vector<Message> messages;  // oldest first
        std::map<std::string, bool> channels;
        std::vector<std::string> events;
        int failed_attempts = 0;
        std::chrono::steady_clock::time_point locked_until{};
    };

    UserData& ensure_user(const User& user);
    void save() const;
    Json::Value to_document() const;
    void from_document(const Json::Value& document);

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::map<std::string, UserData> users_;
    std::map<std::string, std::string> sessions_;
    std::vector<ChannelDef> channels_;
    std::vector<LinkDef> links_;
};

Json::Value message_to_json(const Message& message);
Message message_from_json(const Json::Value& value);

}  // namespace sandbox
