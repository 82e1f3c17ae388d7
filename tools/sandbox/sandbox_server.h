#pragma once

// The stand-in provider: a real HTTP(S) server on 127.0.0.1 that answers the authentication
// service (under "/auth") and the agent API (under "/api") the way the agent expects, serves
// the live message stream, and lets tests push messages, inject faults and read back what
// the agent sent. Tests start it in-process on an ephemeral port; `varnel-sandbox serve` runs
// the same server as a program.
//
// Every public member is safe to call from any thread while the server runs, except start(),
// stop() and restart(), which belong to the owner.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sandbox {

struct Options {
    // 0: an ephemeral port picked by the system. The server binds 127.0.0.1 only.
    std::uint16_t port = 0;
    // HTTPS with a server certificate issued by a CA generated into the state directory on
    // first start and reused afterwards (see Server::ca_certificate()).
    bool tls = false;
    // Where users, sessions, messages, read marks and channel switches are kept, so that they
    // survive a restart. Empty: a fresh temporary directory, removed with the Server.
    std::filesystem::path state_directory;
    // Demo data for a state directory that holds no state yet. Empty: the built-in demo set
    // (demo@varnel.example / demo, 45 messages, channels, support links).
    std::filesystem::path seed_file;
    // Start with no data at all (no users, no messages) instead of the seed.
    bool empty = false;
    // Interval of "heartbeat" events on open message streams.
    std::chrono::milliseconds heartbeat{15000};
    // When set, /admin/... requests need "Authorization: Bearer <token>".
    std::string admin_token;
    // Request bodies above this size are refused with 413.
    std::size_t max_body_size = 4 * 1024 * 1024;
    // Worker threads; each open message stream holds one for its lifetime.
    std::size_t threads = 320;
    // Wrong passwords in a row after which a login is locked for 15 minutes.
    int max_password_attempts = 5;
};

// A message as the agent API sends it. Empty `id` or `created` are filled in by the server
// (a fresh id; the current UTC time).
struct Message {
    std::string id;
    std::string channel;
    std::string organization;
    std::string subject;
    std::string body;
    std::string link;
    std::string icon;
    std::string created;  // "2026-12-07T09:05:07Z"
    bool read = false;
    std::uint32_t priority = 0;
};

// A user of the stand-in. Empty `token` and `user_id` are generated.
struct User {
    std::string login;
    std::string password;
    std::string name;
    std::string middlename;
    std::string lastname;
    std::string token;
    std::string user_id;
};

// Changes the answer of the next `count` requests to one path (exact request path without
// the query, e.g. "/api/v1/messages/stream"; a path ending in "*" matches by prefix).
struct Fault {
    std::string path;
    // 0: no canned answer (only the delay and stream faults below apply).
    int status = 0;
    std::string body;
    std::string content_type = "application/json";
    // Sent as the canned answer's "Location" header when not empty (a redirect).
    std::string location;
    // When not 0: the canned body is `body` repeated up to this many bytes, made as it is
    // sent (a huge answer costs the server nothing), with its length announced, or without
    // (chunked) when `chunked` is set.
    std::uint64_t body_bytes = 0;
    bool chunked = false;
    // -1: until cleared.
    int count = 1;
    // Wait this long before answering (canned or normal).
    std::chrono::milliseconds delay{0};
    // Message streams: close the connection after this many body bytes (headers not counted).
    std::int64_t drop_after_bytes = -1;
    // Message streams: send these pieces of raw text first, each in its own write, `gap` apart,
    // then go on as a normal stream. Lets tests send malformed data lines or split a line.
    std::vector<std::string> raw_stream;
    std::chrono::milliseconds gap{50};
};

struct RecordedRequest {
    std::string method;
    std::string path;   // without the query
    std::string query;  // the raw text after "?", empty when none
    std::multimap<std::string, std::string> headers;  // names as received
    std::string body;
    std::chrono::system_clock::time_point received;

    // First value of a header, case-insensitive name; empty when absent.
    std::string header(const std::string& name) const;
    // The value of one cookie of the "Cookie" header; empty when absent.
    std::string cookie(const std::string& name) const;
};

class Server {
public:
    explicit Server(Options options = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds 127.0.0.1 and serves on a thread of its own. Throws std::runtime_error when the
    // port cannot be bound or the state cannot be read.
    void start();
    // Ends every open stream, closes the port and joins the serving thread. State stays on disk.
    void stop();
    // stop() then start() on the same port, state reloaded from the state directory.
    void restart();
    bool running() const;

    std::uint16_t port() const;
    // "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>".
    std::string base_url() const;
    // base_url() + "/auth": the agent's "auth_uri".
    std::string auth_url() const;
    // base_url() + "/api": the agent's "uri".
    std::string api_url() const;
    // PEM file of the CA that issued the server certificate; empty without TLS.
    std::filesystem::path ca_certificate() const;
    const std::filesystem::path& state_directory() const;

    // --- data ---------------------------------------------------------------------------
    // The login pushes and sessions go to when none is named.
    static constexpr const char* DEMO_LOGIN = "demo@varnel.example";
    static constexpr const char* DEMO_PASSWORD = "demo";

    // Replaces all state with the seed (built-in demo set or Options::seed_file), drops
    // sessions, faults and recorded requests.
    void reset();
    // Replaces all state with the data of a seed file (JSON; see docs/sandbox.md).
    void load_seed(const std::filesystem::path& file);
    void add_user(const User& user);
    std::optional<User> user(const std::string& login) const;
    // A session as if the user had signed in; creates the user (password "demo") if unknown.
    std::string create_session(const std::string& login = DEMO_LOGIN);
    void end_session(const std::string& sid);
    bool has_session(const std::string& sid) const;

    // Adds the message to the user's list (newest) and delivers it at once to every open
    // stream of that user. Returns the message as stored (id and created filled in).
    Message push_message(Message message, const std::string& login = DEMO_LOGIN);
    // Sends raw text to every open stream of the user, each piece in its own write.
    void push_raw(const std::vector<std::string>& pieces, const std::string& login = DEMO_LOGIN);
    // Black-holes the user's open streams, as a connection whose packets stop arriving: they
    // send nothing more (pushed messages and heartbeats are lost on them), do not close,
    // and count as open, until the client goes and they are closed (close_streams(), the
    // session's end, reset() or stop()). Returns how many were frozen.
    std::size_t freeze_streams(const std::string& login = DEMO_LOGIN);
    // Ends the user's open streams (frozen ones included) as the server would: the body
    // ends. Returns how many were open.
    std::size_t close_streams(const std::string& login = DEMO_LOGIN);
    // Takes a message off the user's list, as the provider does when a service withdraws
    // it; false when the user has no message with the id.
    bool remove_message(const std::string& id, const std::string& login = DEMO_LOGIN);
    // The user's messages, newest first.
    std::vector<Message> messages(const std::string& login = DEMO_LOGIN) const;
    // Channel id -> enabled.
    std::map<std::string, bool> channel_states(const std::string& login = DEMO_LOGIN) const;
    // Client events received ("open", "signin", ...), oldest first.
    std::vector<std::string> client_events(const std::string& login = DEMO_LOGIN) const;

    // The update check answers 200 with a "uri" of the installer download while an installer
    // is offered, else 204. The download serves these bytes, and the address with ".minisig"
    // added serves the signature (404 without one).
    void offer_update(std::string installer, std::optional<std::string> signature = std::nullopt);
    void withdraw_update();

    // --- faults and inspection -------------------------------------------------------------
    void add_fault(Fault fault);
    void clear_faults();
    // Requests to /auth, /api, /account and unknown paths (not /admin), oldest first.
    std::vector<RecordedRequest> requests() const;
    // Only those to one path (exact, without query).
    std::vector<RecordedRequest> requests(const std::string& path) const;
    void clear_requests();
    // Message streams open right now.
    std::size_t open_streams() const;
    // Message streams opened since start (a reconnect counts again).
    std::size_t streams_opened() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace sandbox
