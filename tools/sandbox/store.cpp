#include "store.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "wire.h"

namespace sandbox {

namespace fs = std::filesystem;

namespace {

constexpr auto LOCK_TIME = std::chrono::minutes(15);

std::string text_of(const Json::Value& object, const char* key) {
    const Json::Value& value = object[key];
    return value.isString() ? value.asString() : std::string();
}

bool bool_of(const Json::Value& object, const char* key, bool fallback) {
    const Json::Value& value = object[key];
    return value.isBool() ? value.asBool() : fallback;
}

void require_object(const Json::Value& value, const char* what) {
    if (!value.isObject())
        throw std::runtime_error(std::string(what) + " must be a JSON object");
}

const Json::Value& array_of(const Json::Value& object, const char* key) {
    static const Json::Value empty(Json::arrayValue);
    const Json::Value& value = object[key];
    if (value.isNull())
        return empty;
    if (!value.isArray())
        throw std::runtime_error(std::string("\"") + key + "\" must be an array");
    return value;
}

Json::Value user_to_json(const User& user) {
    Json::Value value(Json::objectValue);
    value["login"] = user.login;
    value["password"] = user.password;
    value["name"] = user.name;
    value["middlename"] = user.middlename;
    value["lastname"] = user.lastname;
    value["token"] = user.token;
    value["user-id"] = user.user_id;
    return value;
}

User user_from_json(const Json::Value& value) {
    require_object(value, "a user");
    User user{text_of(value, "login"),    text_of(value, "password"), text_of(value, "name"),
              text_of(value, "middlename"), text_of(value, "lastname"), text_of(value, "token"),
              text_of(value, "user-id")};
    if (user.login.empty())
        throw std::runtime_error("a user needs a \"login\"");
    return user;
}

Json::Value channel_to_json(const ChannelDef& channel) {
    Json::Value value(Json::objectValue);
    value["id"] = channel.id;
    value["sender"] = channel.sender;
    value["sender-name"] = channel.sender_name;
    value["name"] = channel.name;
    value["description"] = channel.description;
    value["group"] = channel.group;
    value["icon"] = channel.icon;
    value["href"] = channel.link;
    value["enabled"] = channel.enabled;
    return value;
}

ChannelDef channel_from_json(const Json::Value& value) {
    require_object(value, "a channel");
    ChannelDef channel{text_of(value, "id"),   text_of(value, "sender"), text_of(value, "sender-name"),
                       text_of(value, "name"), text_of(value, "description"), text_of(value, "group"),
                       text_of(value, "icon"), text_of(value, "href"),   bool_of(value, "enabled", true)};
    if (channel.id.empty())
        throw std::runtime_error("a channel needs an \"id\"");
    return channel;
}

Json::Value link_to_json(const LinkDef& link) {
    Json::Value value(Json::objectValue);
    value["title"] = link.title;
    value["description"] = link.description;
    value["href"] = link.href;
    value["icon"] = link.icon;
    value["type"] = link.type;
    value["enabled"] = link.enabled;
    return value;
}

LinkDef link_from_json(const Json::Value& value) {
    require_object(value, "a link");
    return LinkDef{text_of(value, "title"), text_of(value, "description"), text_of(value, "href"),
                   text_of(value, "icon"),  text_of(value, "type"),        bool_of(value, "enabled", true)};
}

void sort_by_created(std::vector<Message>& messages) {
    std::stable_sort(messages.begin(), messages.end(),
                     [](const Message& a, const Message& b) { return a.created < b.created; });
}

}  // namespace

Json::Value message_to_json(const Message& message) {
    Json::Value value(Json::objectValue);
    value["id"] = message.id;
    value["channel"] = message.channel;
    value["organization"] = message.organization;
    value["subject"] = message.subject;
    value["body"] = message.body;
    value["link"] = message.link;
    value["icon"] = message.icon;
    value["created"] = message.created;
    value["read"] = message.read;
    value["priority"] = message.priority;
    return value;
}

Message message_from_json(const Json::Value& value) {
    require_object(value, "a message");
    Message message{text_of(value, "id"),      text_of(value, "channel"), text_of(value, "organization"),
                    text_of(value, "subject"), text_of(value, "body"),    text_of(value, "link"),
                    text_of(value, "icon"),    text_of(value, "created"), bool_of(value, "read", false),
                    0};
    const Json::Value& priority = value["priority"];
    if (priority.isUInt())
        message.priority = priority.asUInt();
    return message;
}

Store::Store(fs::path file) : file_(std::move(file)) {}

bool Store::load() {
    std::ifstream in(file_, std::ios::binary);
    if (!in)
        return false;
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    const auto document = wire::parse_json(text.str(), &error);
    if (!document)
        throw std::runtime_error("the state file " + file_.string() + " is damaged: " + error);
    std::lock_guard lock(mutex_);
    from_document(*document);
    return true;
}

void Store::seed(const Json::Value& document) {
    require_object(document, "the seed");
    std::map<std::string, UserData> users;
    std::vector<ChannelDef> channels;
    std::vector<LinkDef> links;
    for (const Json::Value& value : array_of(document, "channels"))
        channels.push_back(channel_from_json(value));
    for (const Json::Value& value : array_of(document, "links"))
        links.push_back(link_from_json(value));
    for (const Json::Value& value : array_of(document, "users")) {
        User user = user_from_json(value);
        if (user.token.empty())
            user.token = wire::random_hex(16);
        if (user.user_id.empty())
            user.user_id = wire::random_uuid();
        UserData& data = users[user.login];
        data.user = user;
        for (const ChannelDef& channel : channels)
            data.channels[channel.id] = channel.enabled;
    }
    for (const Json::Value& value : array_of(document, "messages")) {
        const Message message = message_from_json(value);
        const std::string owner = text_of(value, "user");
        if (!owner.empty() && users.find(owner) == users.end())
            throw std::runtime_error("a message names the unknown user \"" + owner + "\"");
        for (auto& [login, data] : users) {
            if (!owner.empty() && owner != login)
                continue;
            Message copy = message;
            if (copy.id.empty() || owner.empty())
                copy.id = wire::random_uuid();
            if (copy.created.empty())
                copy.created = wire::now_utc_text();
            data.messages.push_back(std::move(copy));
        }
    }
    for (auto& [login, data] : users)
        sort_by_created(data.messages);

    std::lock_guard lock(mutex_);
    users_ = std::move(users);
    sessions_.clear();
    channels_ = std::move(channels);
    links_ = std::move(links);
    save();
}

Store::UserData& Store::ensure_user(const User& user) {
    auto [it, inserted] = users_.try_emplace(user.login);
    UserData& data = it->second;
    if (inserted) {
        data.user = user;
        if (data.user.token.empty())
            data.user.token = wire::random_hex(16);
        if (data.user.user_id.empty())
            data.user.user_id = wire::random_uuid();
        for (const ChannelDef& channel : channels_)
            data.channels[channel.id] = channel.enabled;
    }
    return data;
}

void Store::add_user(User user) {
    std::lock_guard lock(mutex_);
    auto it = users_.find(user.login);
    if (it != users_.end()) {
        if (user.token.empty())
            user.token = it->second.user.token;
        if (user.user_id.empty())
            user.user_id = it->second.user.user_id;
        it->second.user = user;
    } else {
        ensure_user(user);
    }
    save();
}

std::optional<User> Store::user(const std::string& login) const {
    std::lock_guard lock(mutex_);
    const auto it = users_.find(login);
    if (it == users_.end())
        return std::nullopt;
    return it->second.user;
}

std::optional<User> Store::user_by_token(const std::string& token) const {
    std::lock_guard lock(mutex_);
    for (const auto& [login, data] : users_)
        if (!token.empty() && data.user.token == token)
            return data.user;
    return std::nullopt;
}

PasswordCheck Store::check_password(const std::string& login, const std::string& password, int max_attempts) {
    std::lock_guard lock(mutex_);
    const auto it = users_.find(login);
    if (it == users_.end())
        return PasswordCheck::UserNotFound;
    UserData& data = it->second;
    const auto now = std::chrono::steady_clock::now();
    if (now < data.locked_until)
        return PasswordCheck::TooManyIncorrectAttempts;
    if (data.user.password == password) {
        data.failed_attempts = 0;
        return PasswordCheck::Ok;
    }
    if (++data.failed_attempts >= max_attempts) {
        data.failed_attempts = 0;
        data.locked_until = now + LOCK_TIME;
        return PasswordCheck::TooManyIncorrectAttempts;
    }
    return PasswordCheck::BadPassword;
}

std::string Store::create_session(const std::string& login) {
    std::lock_guard lock(mutex_);
    if (users_.find(login) == users_.end())
        throw std::runtime_error("unknown user " + login);
    std::string sid = wire::random_hex(20);
    sessions_[sid] = login;
    save();
    return sid;
}

std::optional<std::string> Store::session_login(const std::string& sid) const {
    std::lock_guard lock(mutex_);
    const auto it = sessions_.find(sid);
    if (it == sessions_.end())
        return std::nullopt;
    return it->second;
}

bool Store::end_session(const std::string& sid) {
    std::lock_guard lock(mutex_);
    if (sessions_.erase(sid) == 0)
        return false;
    save();
    return true;
}

Message Store::add_message(Message message, const std::string& login, bool persist) {
    std::lock_guard lock(mutex_);
    const auto it = users_.find(login);
    if (it == users_.end())
        throw std::runtime_error("unknown user " + login);
    if (message.id.empty())
        message.id = wire::random_uuid();
    if (message.created.empty())
        message.created = wire::now_utc_text();
    it->second.messages.push_back(message);
    if (persist)
        save();
    return message;
}

void Store::persist() const {
    std::lock_guard lock(mutex_);
    save();
}

std::vector<Message> Store::messages(const std::string& login) const {
    std::lock_guard lock(mutex_);
    const auto it = users_.find(login);
    if (it == users_.end())
        return {};
    return {it->second.messages.rbegin(), it->second.messages.rend()};
}

void Store::mark_read(const std::string& login, const std::vector<std::string>& ids) {
    std::lock_guard lock(mutex_);
    const auto it = users_.find(login);
    if (it == users_.end())
        return;
    for (Message& message : it->second.messages)
        if (std::find(ids.begin(), ids.end(), message.id) != ids.end())
            message.read = true;
    save();
}

bool Store::remove_message(const std::string& login, const std::string& id) {
    std::lock_guard lock(mutex_);
    const auto it = users_.find(login);
    if (it == users_.end())
        return false;
    auto& messages = it->second.messages;
    const auto found = std::find_if(messages.begin(), messages.end(), [&](const Message& m) { return m.id == id; });
    if (found == messages.end())
        return false;
    messages.erase(found);
    save();
    return true;
}

std::vector<ChannelDef> Store::channels(const std::string& login) const {
    std::lock_guard lock(mutex_);
    std::vector<ChannelDef> result = channels_;
    const auto it = users_.find(login);
    if (it != users_.end())
        for (ChannelDef& channel : result) {
            const auto state = it->second.channels.find(channel.id);
            if (state != it->second.channels.end())
                channel.enabled = state->second;
        }
    return result;
}

bool Store::set_channel(const std::string& login, const std::string& id, bool enabled) {
    std::lock_guard lock(mutex_);
    const auto user = users_.find(login);
    const auto channel = std::find_if(channels_.begin(), channels_.end(),
                                      [&](const ChannelDef& c) { return c.id == id; });
    if (user == users_.end() || channel == channels_.end())
        return false;
    auto& states = user->second.channels;
    states[id] = enabled;
    if (enabled && !channel->group.empty())
        for (const ChannelDef& other : channels_)
            if (other.group == channel->group && other.id != id)
                states[other.id] = false;
    save();
    return true;
}

std::map<std::string, bool> Store::channel_states(const std::string& login) const {
    std::map<std::string, bool> states;
    for (const ChannelDef& channel : channels(login))
        states[channel.id] = channel.enabled;
    return states;
}

std::vector<LinkDef> Store::links() const {
    std::lock_guard lock(mutex_);
    return links_;
}

void Store::add_event(const std::string& login, const std::string& word) {
    std::lock_guard lock(mutex_);
    const auto it = users_.find(login);
    if (it == users_.end())
        return;
    it->second.events.push_back(word);
    save();
}

std::vector<std::string> Store::events(const std::string& login) const {
    std::lock_guard lock(mutex_);
    const auto it = users_.find(login);
    if (it == users_.end())
        return {};
    return it->second.events;
}

Json::Value Store::to_document() const {
    Json::Value document(Json::objectValue);
    document["version"] = 1;
    Json::Value& users = document["users"] = Json::Value(Json::arrayValue);
    for (const auto& [login, data] : users_) {
        Json::Value user = user_to_json(data.user);
        Json::Value& messages = user["messages"] = Json::Value(Json::arrayValue);
        for (const Message& message : data.messages)
            messages.append(message_to_json(message));
        Json::Value& states = user["channel-states"] = Json::Value(Json::objectValue);
        for (const auto& [id, enabled] : data.channels)
            states[id] = enabled;
        Json::Value& events = user["events"] = Json::Value(Json::arrayValue);
        for (const std::string& event : data.events)
            events.append(event);
        users.append(std::move(user));
    }
    Json::Value& sessions = document["sessions"] = Json::Value(Json::objectValue);
    for (const auto& [sid, login] : sessions_)
        sessions[sid] = login;
    Json::Value& channels = document["channels"] = Json::Value(Json::arrayValue);
    for (const ChannelDef& channel : channels_)
        channels.append(channel_to_json(channel));
    Json::Value& links = document["links"] = Json::Value(Json::arrayValue);
    for (const LinkDef& link : links_)
        links.append(link_to_json(link));
    return document;
}

void Store::from_document(const Json::Value& document) {
    require_object(document, "the state");
    std::map<std::string, UserData> users;
    for (const Json::Value& value : array_of(document, "users")) {
        UserData data;
        data.user = user_from_json(value);
        for (const Json::Value& message : array_of(value, "messages"))
            data.messages.push_back(message_from_json(message));
        const Json::Value& states = value["channel-states"];
        if (states.isObject())
            for (const std::string& id : states.getMemberNames())
                data.channels[id] = states[id].isBool() && states[id].asBool();
        for (const Json::Value& event : array_of(value, "events"))
            if (event.isString())
                data.events.push_back(event.asString());
        users[data.user.login] = std::move(data);
    }
    std::map<std::string, std::string> sessions;
    const Json::Value& stored = document["sessions"];
    if (stored.isObject())
        for (const std::string& sid : stored.getMemberNames())
            if (stored[sid].isString() && users.count(stored[sid].asString()) != 0)
                sessions[sid] = stored[sid].asString();
    std::vector<ChannelDef> channels;
    for (const Json::Value& value : array_of(document, "channels"))
        channels.push_back(channel_from_json(value));
    std::vector<LinkDef> links;
    for (const Json::Value& value : array_of(document, "links"))
        links.push_back(link_from_json(value));

    users_ = std::move(users);
    sessions_ = std::move(sessions);
    channels_ = std::move(channels);
    links_ = std::move(links);
}

void Store::save() const {
    const std::string text = wire::to_json(to_document());
    const fs::path temporary = fs::path(file_).concat(".tmp");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out)
            throw std::runtime_error("cannot write the state file " + temporary.string());
    }
    std::error_code error;
    fs::rename(temporary, file_, error);
    if (error)
        throw std::runtime_error("cannot replace the state file " + file_.string() + ": " + error.message());
}

}  // namespace sandbox
