#include "sandbox_server.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "crypto.h"
#include "demo_seed.h"
#include "icons.h"
#include "store.h"
#include "wire.h"

namespace sandbox {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t MAX_RECORDED_REQUESTS = 10000;
constexpr std::size_t MAX_PENDING_APPROVALS = 10000;
constexpr auto APPROVAL_LIFETIME = std::chrono::minutes(5);
constexpr std::size_t CHALLENGE_SIZE = 32;
constexpr int LISTEN_BACKLOG = 1024;

// Exposes the listening socket so that its backlog can be raised: many agents (or the load
// benchmark) connect at once, more than the library's built-in backlog of five holds.
template <class Base>
class Listener : public Base {
public:
    using Base::Base;
    int listening_socket() const { return this->svr_sock_; }
};

// Marks a Content-Length the server added itself (see the pre-routing handler), so that the
// recorded request shows the headers as the client sent them.
constexpr const char* IMPLIED_LENGTH = "X-Sandbox-Implied-Length";

std::string message_event(const std::string& json) { return "event: message\ndata: " + json + "\n\n"; }

const std::string HEARTBEAT_EVENT = "event: heartbeat\ndata: ping\n\n";

// One open message stream. Pieces queued here are written by the stream's own worker thread,
// each in a write of its own.
struct StreamConnection {
    std::string login;
    std::string sid;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::string> queue;
    bool closed = false;
    bool frozen = false;  // black-holed: nothing more is written, the connection stays open
};

class StreamHub {
public:
    std::shared_ptr<StreamConnection> open(const std::string& login, const std::string& sid) {
        auto connection = std::make_shared<StreamConnection>();
        connection->login = login;
        connection->sid = sid;
        std::lock_guard lock(mutex_);
        connection->closed = closing_;
        connections_.push_back(connection);
        ++opened_;
        return connection;
    }

    void remove(const std::shared_ptr<StreamConnection>& connection) {
        std::lock_guard lock(mutex_);
        std::erase(connections_, connection);
    }

    void deliver(const std::string& login, const std::vector<std::string>& pieces) {
        std::lock_guard lock(mutex_);
        for (const auto& connection : connections_) {
            if (connection->login != login)
                continue;
            {
                std::lock_guard stream_lock(connection->mutex);
                connection->queue.insert(connection->queue.end(), pieces.begin(), pieces.end());
            }
            connection->wake.notify_one();
        }
    }

    // Marks the open streams of the user; returns how many. Frozen streams write nothing
    // more (pushes and heartbeats are swallowed) and keep their connection open.
    std::size_t freeze(const std::string& login) {
        return change_user(login, [](StreamConnection& connection) {
            const bool open = !connection.closed && !connection.frozen;
            connection.frozen = true;
            return open;
        });
    }

    std::size_t close_user(const std::string& login) {
        return change_user(login, [](StreamConnection& connection) {
            const bool open = !connection.closed;
            connection.closed = true;
            return open;
        });
    }

    // Ends the streams of one session (sign-out) or, with an empty sid, all of them.
    void close(const std::string& sid) {
        std::lock_guard lock(mutex_);
        for (const auto& connection : connections_) {
            if (!sid.empty() && connection->sid != sid)
                continue;
            {
                std::lock_guard stream_lock(connection->mutex);
                connection->closed = true;
            }
            connection->wake.notify_all();
        }
    }

    void set_closing(bool closing) {
        std::lock_guard lock(mutex_);
        closing_ = closing;
    }

    std::size_t open_count() const {
        std::lock_guard lock(mutex_);
        return connections_.size();
    }

    std::size_t opened_count() const {
        std::lock_guard lock(mutex_);
        return opened_;
    }

private:
    template <class Change>
    std::size_t change_user(const std::string& login, Change change) {
        std::lock_guard lock(mutex_);
        std::size_t changed = 0;
        for (const auto& connection : connections_) {
            if (connection->login != login)
                continue;
            bool counted = false;
            {
                std::lock_guard stream_lock(connection->mutex);
                counted = change(*connection);
            }
            connection->wake.notify_all();
            changed += counted ? 1 : 0;
        }
        return changed;
    }

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<StreamConnection>> connections_;
    std::size_t opened_ = 0;
    bool closing_ = false;
};

struct PendingApproval {
    std::string challenge;
    User user;
    Clock::time_point expires;
};

enum class Area { Auth, Api, Admin, Public };

struct CallContext {
    std::string login;
    std::string sid;
    std::optional<Fault> fault;
};

std::string raw_query(const httplib::Request& request) {
    const std::size_t mark = request.target.find('?');
    return mark == std::string::npos ? std::string() : request.target.substr(mark + 1);
}

RecordedRequest record_of(const httplib::Request& request) {
    RecordedRequest record;
    record.method = request.method;
    record.path = request.path;
    record.query = raw_query(request);
    const bool implied_length = request.has_header(IMPLIED_LENGTH);
    for (const auto& [name, value] : request.headers) {
        if (implied_length && (wire::iequals(name, IMPLIED_LENGTH) || wire::iequals(name, "Content-Length")))
            continue;
        // The library adds the connection's addresses as headers of its own.
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT")
            continue;
        record.headers.emplace(name, value);
    }
    record.body = request.body;
    record.received = std::chrono::system_clock::now();
    return record;
}

bool fault_matches(const Fault& fault, const std::string& path) {
    if (!fault.path.empty() && fault.path.back() == '*')
        return path.compare(0, fault.path.size() - 1, fault.path, 0, fault.path.size() - 1) == 0;
    return fault.path == path;
}

std::string text_member(const Json::Value& object, const char* key) {
    const Json::Value& value = object[key];
    return value.isString() ? value.asString() : std::string();
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (wire::iequals(key, name))
            return value;
    return {};
}

std::string RecordedRequest::cookie(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (!wire::iequals(key, "Cookie"))
            continue;
        std::string_view rest(value);
        while (!rest.empty()) {
            const std::size_t end = rest.find(';');
            std::string_view pair = rest.substr(0, end);
            while (!pair.empty() && pair.front() == ' ')
                pair.remove_prefix(1);
            const std::size_t equals = pair.find('=');
            if (equals != std::string_view::npos && pair.substr(0, equals) == name)
                return std::string(pair.substr(equals + 1));
            if (end == std::string_view::npos)
                break;
            rest.remove_prefix(end + 1);
        }
    }
    return {};
}

struct Server::Impl {
    explicit Impl(Options opts) : options(std::move(opts)) {}

    Options options;
    fs::path state_directory;
    bool owns_state_directory = false;
    std::unique_ptr<Store> store;
    crypto::TlsFiles tls_files;

    std::unique_ptr<httplib::Server> http;
    std::function<int()> listening_socket;
    std::thread serving;
    std::uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::mutex stop_mutex;
    std::condition_variable stop_signal;

    StreamHub hub;

    mutable std::mutex mutex;  // guards what follows
    std::vector<Fault> faults;
    std::deque<RecordedRequest> recorded;
    std::map<std::string, PendingApproval> approvals;
    std::map<std::string, bool> used_approvals;
    std::optional<std::string> installer;
    // The installer's signature (minisign), served beside it; none gives 404 there.
    std::optional<std::string> installer_signature;

    struct Route {
        std::string method;
        std::regex pattern;
    };
    std::vector<Route> routes;

    // --- set-up ----------------------------------------------------------------------------
    void prepare_state();
    void seed_fresh();
    void build_http();
    void add_route(const std::string& method, const std::string& pattern, Area area,
                   std::function<void(const httplib::Request&, httplib::Response&, CallContext&)> handler);

    // --- helpers ---------------------------------------------------------------------------
    std::string base_url() const {
        return std::string(options.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
    }
    std::string expand(const std::string& text) const {
        std::string result = text;
        const std::string base = base_url();
        for (std::size_t at = result.find("{base}"); at != std::string::npos; at = result.find("{base}", at + base.size()))
            result.replace(at, 6, base);
        return result;
    }
    std::string icon_url(const std::string& icon) const {
        if (icon.empty() || icon.find("://") != std::string::npos || icon.find("{base}") != std::string::npos)
            return expand(icon);
        return base_url() + "/static/icons/" + wire::percent_encode(icon) + ".png";
    }
    Json::Value message_json(const Message& message) const {
        Json::Value value = message_to_json(message);
        value["link"] = expand(message.link);
        value["body"] = expand(message.body);
        value["icon"] = icon_url(message.icon);
        return value;
    }

    void record(const httplib::Request& request) {
        std::lock_guard lock(mutex);
        recorded.push_back(record_of(request));
        if (recorded.size() > MAX_RECORDED_REQUESTS)
            recorded.pop_front();
    }

    std::optional<Fault> take_fault(const std::string& path) {
        std::lock_guard lock(mutex);
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            if (!fault_matches(*it, path))
                continue;
            Fault fault = *it;
            if (it->count > 0 && --it->count == 0)
                faults.erase(it);
            return fault;
        }
        return std::nullopt;
    }

    // Waits, but gives up at once when the server stops; false then.
    bool pause(std::chrono::milliseconds duration) {
        std::unique_lock lock(stop_mutex);
        return !stop_signal.wait_for(lock, duration, [&] { return stopping.load(); });
    }

    void deliver_message(const Message& message, const std::string& login) {
        hub.deliver(login, {message_event(wire::to_json(message_json(message)))});
    }

    // --- wire handlers --------------------------------------------------------------------
    void password_sign_in(const httplib::Request& request, httplib::Response& response);
    void certificate_sign_in(const httplib::Request& request, httplib::Response& response);
    void certificate_approve(const httplib::Request& request, httplib::Response& response);
    void sign_out(const httplib::Request& request, httplib::Response& response);
    void messages_top(const httplib::Request& request, httplib::Response& response, const CallContext& call);
    void message_stream(httplib::Response& response, const CallContext& call);
    void channels(httplib::Response& response, const CallContext& call);
    void support_links(httplib::Response& response);
    void account_page(const httplib::Request& request, httplib::Response& response);
    void register_admin_routes();
    bool admin_allowed(const httplib::Request& request, httplib::Response& response) const;
};

namespace {

void send_json(httplib::Response& response, int status, const Json::Value& body) {
    response.status = status;
    response.set_content(wire::to_json(body), "application/json; charset=utf-8");
}

// The error answer the agent reads: "status", "id", "message" and "track-id".
void send_error(httplib::Response& response, int status, const std::string& id, const std::string& message) {
    Json::Value body(Json::objectValue);
    body["status"] = status;
    body["id"] = id;
    body["message"] = message;
    body["track-id"] = wire::random_uuid();
    send_json(response, status, body);
}

// Sign-in refusals carry an error code and no "status" member: the agent then reads status 0
// and lets the first code pick the sign-in page's message.
void send_sign_in_refusal(httplib::Response& response, int http_status, const std::string& code,
                          const std::string& message) {
    Json::Value body(Json::objectValue);
    body["id"] = "AuthenticationFailed";
    body["code"] = code;
    body["message"] = message;
    body["track-id"] = wire::random_uuid();
    send_json(response, http_status, body);
}

void send_no_content(httplib::Response& response) {
    response.status = 204;
}

std::optional<Json::Value> parse_body(const httplib::Request& request, httplib::Response& response) {
    std::string error;
    auto value = wire::parse_json(request.body, &error);
    if (!value)
        send_error(response, 400, "MalformedJson", "The request body is not valid JSON: " + error);
    return value;
}

}  // namespace

void Server::Impl::prepare_state() {
    if (options.state_directory.empty()) {
        std::string pattern = (fs::temp_directory_path() / "varnel-sandbox-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a temporary state directory");
        state_directory = pattern;
        owns_state_directory = true;
    } else {
        state_directory = options.state_directory;
        std::error_code error;
        fs::create_directories(state_directory, error);
        if (error)
            throw std::runtime_error("cannot create the state directory " + state_directory.string() + ": " +
                                     error.message());
    }
    store = std::make_unique<Store>(state_directory / "state.json");
    if (!store->load())
        seed_fresh();
}

void Server::Impl::seed_fresh() {
    if (options.empty) {
        store->seed(Json::Value(Json::objectValue));
        return;
    }
    std::string text;
    if (options.seed_file.empty()) {
        text = DEMO_SEED;
    } else {
        std::ifstream in(options.seed_file, std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot read the seed file " + options.seed_file.string());
        std::stringstream buffer;
        buffer << in.rdbuf();
        text = buffer.str();
    }
    std::string error;
    const auto document = wire::parse_json(text, &error);
    if (!document)
        throw std::runtime_error("the seed is not valid JSON: " + error);
    store->seed(*document);
}

namespace {

// A canned body of `body_bytes` bytes, `body` over and over, made piece by piece as the
// client takes it.
void serve_repeated(httplib::Response& response, const Fault& fault) {
    const std::string unit = fault.body.empty() ? std::string(1, 'x') : fault.body;
    std::string block;
    while (block.size() < (std::size_t{64} << 10))
        block += unit;
    const std::uint64_t total = fault.body_bytes;
    auto piece = [block, unit, total](std::size_t offset, httplib::DataSink& sink) {
        if (offset >= total) {
            sink.done();
            return true;
        }
        // Each piece starts where the repetition stands at this offset.
        const std::size_t phase = static_cast<std::size_t>(offset % unit.size());
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.size() - phase, total - offset));
        return sink.write(block.data() + phase, length);
    };
    if (fault.chunked) {
        response.set_chunked_content_provider(
            fault.content_type, [piece](std::size_t offset, httplib::DataSink& sink) { return piece(offset, sink); });
        return;
    }
    response.set_content_provider(
        static_cast<std::size_t>(total), fault.content_type,
        [piece](std::size_t offset, std::size_t, httplib::DataSink& sink) { return piece(offset, sink); });
}

}  // namespace

void Server::Impl::add_route(
    const std::string& method, const std::string& pattern, Area area,
    std::function<void(const httplib::Request&, httplib::Response&, CallContext&)> handler) {
    routes.push_back(Route{method, std::regex(pattern)});
    auto wrapped = [this, area, handler = std::move(handler)](const httplib::Request& request,
                                                              httplib::Response& response) {
        try {
            CallContext call;
            if (area == Area::Admin) {
                if (!admin_allowed(request, response))
                    return;
            } else {
                record(request);
                call.fault = take_fault(request.path);
                if (call.fault) {
                    if (call.fault->delay.count() > 0 && !pause(call.fault->delay)) {
                        send_error(response, 503, "ServerStopping", "The server is stopping");
                        return;
                    }
                    if (call.fault->status > 0) {
                        response.status = call.fault->status;
                        if (!call.fault->location.empty())
                            response.set_header("Location", call.fault->location);
                        if (call.fault->body_bytes > 0) {
                            serve_repeated(response, *call.fault);
                            return;
                        }
                        // The content type also marks the answer as ours for the error handler.
                        response.set_content(call.fault->body, call.fault->content_type);
                        return;
                    }
                }
            }
            if (area == Area::Api) {
                const std::string authorization = request.get_header_value("Authorization");
                static const std::string scheme = "varnel.sid ";
                std::optional<std::string> login;
                if (authorization.compare(0, scheme.size(), scheme) == 0) {
                    call.sid = authorization.substr(scheme.size());
                    login = store->session_login(call.sid);
                }
                if (!login) {
                    send_error(response, 401, "Unauthorized",
                               authorization.empty() ? "The request carries no session"
                                                     : "The session is unknown or has ended");
                    return;
                }
                call.login = *login;
            }
            handler(request, response, call);
        } catch (const std::exception& error) {
            send_error(response, 500, "InternalError", error.what());
        }
    };
    if (method == "GET")
        http->Get(pattern, wrapped);
    else if (method == "POST")
        http->Post(pattern, wrapped);
    else if (method == "DELETE")
        http->Delete(pattern, wrapped);
    else if (method == "PUT")
        http->Put(pattern, wrapped);
}

bool Server::Impl::admin_allowed(const httplib::Request& request, httplib::Response& response) const {
    if (request.remote_addr != "127.0.0.1" && request.remote_addr != "::1") {
        send_error(response, 403, "Forbidden", "The admin interface answers loopback only");
        return false;
    }
    if (!options.admin_token.empty() &&
        request.get_header_value("Authorization") != "Bearer " + options.admin_token) {
        send_error(response, 401, "Unauthorized", "The admin token is missing or wrong");
        return false;
    }
    return true;
}

void Server::Impl::build_http() {
    if (options.tls) {
        tls_files = crypto::ensure_tls_files(state_directory);
        auto server = std::make_unique<Listener<httplib::SSLServer>>(tls_files.certificate.c_str(),
                                                                      tls_files.private_key.c_str());
        if (!server->is_valid())
            throw std::runtime_error("cannot load the server certificate from " + state_directory.string());
        auto* raw = server.get();
        listening_socket = [raw] { return raw->listening_socket(); };
        http = std::move(server);
    } else {
        auto server = std::make_unique<Listener<httplib::Server>>();
        auto* raw = server.get();
        listening_socket = [raw] { return raw->listening_socket(); };
        http = std::move(server);
    }
    const std::size_t threads = std::max<std::size_t>(options.threads, 4);
    http->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    http->set_tcp_nodelay(true);
    http->set_keep_alive_timeout(1);
    http->set_keep_alive_max_count(100);
    http->set_read_timeout(5, 0);
    http->set_write_timeout(5, 0);
    http->set_payload_max_length(options.max_body_size);
    routes.clear();

    // Anything the routes did not answer (unknown path, wrong method, oversized or
    // unparsable request) still gets an error answer in the agent's format.
    http->set_error_handler(httplib::Server::HandlerWithResponse([this](const httplib::Request& request,
                                                                         httplib::Response& response) {
        if (response.has_header("Content-Type"))
            return httplib::Server::HandlerResponse::Unhandled;
        if (request.path.rfind("/admin/", 0) != 0 && !request.method.empty())
            record(request);
        std::string allowed;
        bool method_known = false;
        for (const Route& route : routes) {
            if (!std::regex_match(request.path, route.pattern))
                continue;
            method_known = method_known || route.method == request.method;
            if (allowed.find(route.method) == std::string::npos)
                allowed += (allowed.empty() ? "" : ", ") + route.method;
        }
        if ((response.status == 404 || response.status == 400) && !allowed.empty() && !method_known) {
            response.set_header("Allow", allowed);
            send_error(response, 405, "MethodNotAllowed",
                       request.method + " is not allowed on " + request.path + " (allowed: " + allowed + ")");
        } else if (response.status == 404) {
            send_error(response, 404, "NotFound", "No such resource: " + request.path);
        } else if (response.status == 413) {
            send_error(response, 413, "PayloadTooLarge",
                       "The request body is larger than " + std::to_string(options.max_body_size) + " bytes");
        } else if (response.status == 400) {
            send_error(response, 400, "BadRequest", "The request could not be read");
        } else {
            send_error(response, response.status, "Error", "The request failed");
        }
        return httplib::Server::HandlerResponse::Handled;
    }));
    // A request without Content-Length or chunked body has no body (the agent posts channel
    // switches and client events that way). The library would instead read until the client
    // closes, so such requests are given an explicit length of zero before it reads.
    http->set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
        // No route reads a form: every body is taken as it was sent. The library would read
        // a form body itself and refuse one over 8 KiB (curl --data-binary sends installers
        // that way unless told otherwise), so a form is announced as plain bytes instead.
        if (request.get_header_value("Content-Type") == "application/x-www-form-urlencoded") {
            auto& writable = const_cast<httplib::Request&>(request);
            writable.headers.erase("Content-Type");
            writable.set_header("Content-Type", "application/octet-stream");
        }
        if (!request.has_header("Content-Length") && !request.has_header("Transfer-Encoding")) {
            // The library hands its own non-const request here; only the headers change.
            auto& writable = const_cast<httplib::Request&>(request);
            writable.set_header("Content-Length", "0");
            writable.set_header(IMPLIED_LENGTH, "1");
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    http->set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        send_error(response, 500, "InternalError", "The server failed to answer");
    });

    // --- authentication service ---
    add_route("POST", "/auth/authenticate-by-pass", Area::Auth,
              [this](const auto& request, auto& response, CallContext&) { password_sign_in(request, response); });
    add_route("POST", "/auth/authenticate-by-cert", Area::Auth,
              [this](const auto& request, auto& response, CallContext&) { certificate_sign_in(request, response); });
    add_route("POST", "/auth/authenticate-by-cert/approve/([^/]+)", Area::Auth,
              [this](const auto& request, auto& response, CallContext&) { certificate_approve(request, response); });
    add_route("DELETE", "/auth/sessions/(.+)", Area::Auth,
              [this](const auto& request, auto& response, CallContext&) { sign_out(request, response); });

    // --- agent API ---
    add_route("GET", "/api/v1/user/info", Area::Api, [this](const auto&, auto& response, CallContext& call) {
        const auto user = store->user(call.login);
        if (!user)
            return send_error(response, 404, "UserNotFound", "The session's user no longer exists");
        Json::Value body(Json::objectValue);
        body["user-id"] = user->user_id;
        body["token"] = user->token;
        body["name"] = user->name;
        body["middlename"] = user->middlename;
        body["lastname"] = user->lastname;
        body["login"] = user->login;
        send_json(response, 200, body);
    });
    add_route("GET", "/api/v1/links/instruction", Area::Api, [this](const auto&, auto& response, CallContext&) {
        Json::Value body(Json::objectValue);
        body["href"] = base_url() + "/help/instruction";
        send_json(response, 200, body);
    });
    add_route("GET", "/api/v1/messages/top", Area::Api, [this](const auto& request, auto& response, CallContext& call) {
        messages_top(request, response, call);
    });
    add_route("POST", "/api/v1/messages/reads", Area::Api,
              [this](const auto& request, auto& response, CallContext& call) {
                  const auto body = parse_body(request, response);
                  if (!body)
                      return;
                  if (!body->isArray())
                      return send_error(response, 400, "BadRequest", "Expected a JSON array of message ids");
                  std::vector<std::string> ids;
                  for (const Json::Value& id : *body) {
                      if (!id.isString())
                          return send_error(response, 400, "BadRequest", "Every message id must be a string");
                      ids.push_back(id.asString());
                  }
                  store->mark_read(call.login, ids);
                  send_no_content(response);
              });
    add_route("GET", "/api/v1/messages/stream", Area::Api,
              [this](const auto&, auto& response, CallContext& call) { message_stream(response, call); });
    add_route("GET", "/api/v1/channels", Area::Api,
              [this](const auto&, auto& response, CallContext& call) { channels(response, call); });
    add_route("POST", "/api/v1/channels/([^/]+)/(enable|disable)", Area::Api,
              [this](const auto& request, auto& response, CallContext& call) {
                  const std::string id = request.matches[1];
                  if (!store->set_channel(call.login, id, request.matches[2] == "enable"))
                      return send_error(response, 404, "ChannelNotFound", "No channel with the id " + id);
                  send_no_content(response);
              });
    add_route("POST", "/api/v1/client/log/([^/]+)", Area::Api,
              [this](const auto& request, auto& response, CallContext& call) {
                  const std::string word = request.matches[1];
                  if (word != "open" && word != "signin" && word != "signout" && word != "exit")
                      return send_error(response, 400, "UnknownEvent", "No client event is called " + word);
                  store->add_event(call.login, word);
                  Json::Value body(Json::objectValue);
                  body["event"] = word;
                  send_json(response, 201, body);
              });
    add_route("GET", "/api/v1/support", Area::Api,
              [this](const auto&, auto& response, CallContext&) { support_links(response); });
    add_route("GET", "/api/v1/client/update", Area::Api, [this](const auto&, auto& response, CallContext&) {
        bool offered;
        {
            std::lock_guard lock(mutex);
            offered = installer.has_value();
        }
        if (!offered)
            return send_no_content(response);
        Json::Value body(Json::objectValue);
        body["uri"] = base_url() + "/api/v1/client/installer";
        send_json(response, 200, body);
    });
    add_route("GET", "/api/v1/client/installer", Area::Api, [this](const auto&, auto& response, CallContext&) {
        std::optional<std::string> bytes;
        {
            std::lock_guard lock(mutex);
            bytes = installer;
        }
        if (!bytes)
            return send_error(response, 404, "NoUpdate", "No installer is offered");
        response.status = 200;
        response.set_content(*bytes, "application/octet-stream");
    });
    // The agent fetches the signature from the installer's address with ".minisig" added.
    add_route("GET", "/api/v1/client/installer\\.minisig", Area::Api,
              [this](const auto&, auto& response, CallContext&) {
                  std::optional<std::string> text;
                  {
                      std::lock_guard lock(mutex);
                      text = installer ? installer_signature : std::nullopt;
                  }
                  if (!text)
                      return send_error(response, 404, "NoSignature", "No signature of an installer is offered");
                  response.status = 200;
                  response.set_content(*text, "text/plain");
              });

    // --- pages and images ---
    add_route("GET", "/static/icons/([A-Za-z0-9._-]+)\\.png", Area::Public,
              [](const auto& request, auto& response, CallContext&) {
                  response.status = 200;
                  response.set_header("Cache-Control", "max-age=86400");
                  response.set_content(make_icon_png(request.matches[1]), "image/png");
              });
    add_route("GET", "/account", Area::Public,
              [this](const auto& request, auto& response, CallContext&) { account_page(request, response); });
    add_route("GET", "/help/instruction", Area::Public, [](const auto&, auto& response, CallContext&) {
        response.status = 200;
        response.set_content(
            "<!DOCTYPE html><html lang=\"ru\"><head><meta charset=\"utf-8\"><title>Инструкция</title></head>"
            "<body><h1>Как работать с агентом уведомлений</h1>"
            "<ol><li>Войдите по сертификату или по логину и паролю.</li>"
            "<li>Новые уведомления появляются в углу экрана.</li>"
            "<li>Каналы уведомлений настраиваются в разделе «Настройки».</li></ol></body></html>",
            "text/html; charset=utf-8");
    });

    register_admin_routes();
}

void Server::Impl::password_sign_in(const httplib::Request& request, httplib::Response& response) {
    const auto login = wire::query_value(raw_query(request), "login");
    if (!login || login->empty())
        return send_error(response, 400, "BadRequest", "The query parameter \"login\" is missing");
    switch (store->check_password(*login, request.body, options.max_password_attempts)) {
    case PasswordCheck::UserNotFound:
        return send_sign_in_refusal(response, 403, "UserNotFound", "Пользователь " + *login + " не найден");
    case PasswordCheck::BadPassword:
        return send_sign_in_refusal(response, 403, "BadPassword", "Неверный пароль");
    case PasswordCheck::TooManyIncorrectAttempts:
        return send_sign_in_refusal(response, 429, "TooManyIncorrectAttempts",
                                    "Слишком много неудачных попыток входа, попробуйте через 15 минут");
    case PasswordCheck::Ok:
        break;
    }
    Json::Value body(Json::objectValue);
    body["Sid"] = store->create_session(*login);
    send_json(response, 200, body);
}

void Server::Impl::certificate_sign_in(const httplib::Request& request, httplib::Response& response) {
    if (request.body.empty())
        return send_error(response, 400, "InvalidCertificate", "The request carries no certificate");
    const auto info = crypto::read_certificate(request.body);
    if (!info)
        return send_error(response, 400, "InvalidCertificate", "The body is not a DER-encoded X.509 certificate");
    if (info->expired)
        return send_error(response, 403, "CertificateExpired", "Срок действия сертификата истёк");
    if (info->not_yet_valid)
        return send_error(response, 403, "CertificateNotYetValid", "Срок действия сертификата ещё не начался");

    User user;
    user.login = !info->email.empty() ? info->email : "cert-" + info->fingerprint.substr(0, 16);
    if (const auto known = store->user(user.login)) {
        user = *known;
    } else {
        user.lastname = info->surname;
        const std::size_t blank = info->given_name.find(' ');
        user.name = info->given_name.substr(0, blank);
        if (blank != std::string::npos)
            user.middlename = info->given_name.substr(blank + 1);
        if (user.name.empty())
            user.name = info->common_name;
        user.password = wire::random_hex(16);
    }

    const std::string challenge = crypto::random_bytes(CHALLENGE_SIZE);
    std::string envelope;
    try {
        envelope = crypto::envelope_for(info->certificate.get(), challenge);
    } catch (const std::exception& error) {
        return send_error(response, 400, "UnsupportedKey",
                          std::string("A challenge cannot be encrypted for this certificate's key: ") + error.what());
    }
    const std::string token = wire::random_hex(20);
    {
        std::lock_guard lock(mutex);
        const auto now = Clock::now();
        std::erase_if(approvals, [&](const auto& entry) { return entry.second.expires < now; });
        if (approvals.size() >= MAX_PENDING_APPROVALS)
            return send_error(response, 503, "TooManyPendingSignIns", "Too many certificate sign-ins are pending");
        approvals[token] = PendingApproval{challenge, user, now + APPROVAL_LIFETIME};
    }
    Json::Value body(Json::objectValue);
    body["EncryptedKey"] = wire::base64_encode(envelope);
    body["Link"]["Href"] = base_url() + "/auth/authenticate-by-cert/approve/" + token;
    body["Link"]["Rel"] = "approve";
    send_json(response, 200, body);
}

void Server::Impl::certificate_approve(const httplib::Request& request, httplib::Response& response) {
    const std::string token = request.matches[1];
    std::optional<PendingApproval> pending;
    {
        std::lock_guard lock(mutex);
        const auto it = approvals.find(token);
        if (it == approvals.end()) {
            if (used_approvals.count(token) != 0)
                return send_error(response, 403, "ApproveLinkUsed", "This approve link has already been used");
            return send_error(response, 404, "ApproveLinkUnknown", "No such approve link");
        }
        // One attempt per link, right or wrong: a replay or a guess finds it gone.
        pending = std::move(it->second);
        approvals.erase(it);
        if (used_approvals.size() >= MAX_PENDING_APPROVALS)
            used_approvals.clear();
        used_approvals[token] = true;
    }
    if (pending->expires < Clock::now())
        return send_error(response, 403, "ApproveLinkExpired", "The approve link has expired");
    if (request.body.size() != pending->challenge.size() ||
        CRYPTO_memcmp(request.body.data(), pending->challenge.data(), pending->challenge.size()) != 0)
        return send_error(response, 403, "ChallengeMismatch", "The decrypted challenge does not match");
    if (!store->user(pending->user.login))
        store->add_user(pending->user);
    Json::Value body(Json::objectValue);
    body["Sid"] = store->create_session(pending->user.login);
    send_json(response, 200, body);
}

void Server::Impl::sign_out(const httplib::Request& request, httplib::Response& response) {
    const std::string sid = request.matches[1];
    const bool ended = store->end_session(sid);
    if (ended)
        hub.close(sid);
    Json::Value body(Json::objectValue);
    body["Success"] = ended;
    send_json(response, 200, body);
}

void Server::Impl::messages_top(const httplib::Request& request, httplib::Response& response,
                                const CallContext& call) {
    const std::string query = raw_query(request);
    const auto count_text = wire::query_value(query, "count");
    if (!count_text || count_text->empty() || count_text->size() > 4 ||
        !std::all_of(count_text->begin(), count_text->end(), [](char c) { return c >= '0' && c <= '9'; }))
        return send_error(response, 400, "BadRequest", "\"count\" must be a number from 1 to 1000");
    const int count = std::stoi(*count_text);
    if (count < 1 || count > 1000)
        return send_error(response, 400, "BadRequest", "\"count\" must be a number from 1 to 1000");

    const std::vector<Message> all = store->messages(call.login);  // newest first
    const auto position = [&](const std::string& id) {
        return std::find_if(all.begin(), all.end(), [&](const Message& m) { return m.id == id; }) - all.begin();
    };
    std::ptrdiff_t begin = 0;
    if (const auto before = wire::query_value(query, "before")) {
        const auto at = position(*before);
        if (at == static_cast<std::ptrdiff_t>(all.size()))
            return send_error(response, 404, "MessageNotFound", "No message with the id " + *before);
        begin = at + 1;
    } else if (const auto after = wire::query_value(query, "after")) {
        const auto at = position(*after);
        if (at == static_cast<std::ptrdiff_t>(all.size()))
            return send_error(response, 404, "MessageNotFound", "No message with the id " + *after);
        begin = std::max<std::ptrdiff_t>(0, at - count);
    }
    const std::ptrdiff_t end = std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(all.size()), begin + count);
    if (begin >= end)
        return send_no_content(response);

    Json::Value body(Json::objectValue);
    Json::Value& items = body["items"] = Json::Value(Json::arrayValue);
    for (auto i = begin; i < end; ++i)
        items.append(message_json(all[static_cast<std::size_t>(i)]));
    Json::Value& links = body["links"] = Json::Value(Json::arrayValue);
    const std::string page = base_url() + "/api/v1/messages/top?count=" + std::to_string(count);
    if (end < static_cast<std::ptrdiff_t>(all.size())) {
        Json::Value link(Json::objectValue);
        link["rel"] = "previous";
        link["href"] = page + "&before=" + wire::percent_encode(all[static_cast<std::size_t>(end - 1)].id);
        links.append(link);
    }
    if (begin > 0) {
        Json::Value link(Json::objectValue);
        link["rel"] = "next";
        link["href"] = page + "&after=" + wire::percent_encode(all[static_cast<std::size_t>(begin)].id);
        links.append(link);
    }
    body["count"] = static_cast<Json::UInt64>(all.size());
    send_json(response, 200, body);
}

void Server::Impl::message_stream(httplib::Response& response, const CallContext& call) {
    struct StreamState {
        std::shared_ptr<StreamConnection> connection;
        std::deque<std::string> raw;
        std::chrono::milliseconds gap{0};
        std::int64_t drop_after = -1;
        std::int64_t written = 0;
        Clock::time_point next_heartbeat;
    };
    auto state = std::make_shared<StreamState>();
    state->connection = hub.open(call.login, call.sid);
    state->next_heartbeat = Clock::now() + options.heartbeat;
    if (call.fault) {
        state->raw.assign(call.fault->raw_stream.begin(), call.fault->raw_stream.end());
        state->gap = call.fault->gap;
        state->drop_after = call.fault->drop_after_bytes;
    }
    const std::chrono::milliseconds heartbeat = options.heartbeat;

    response.status = 200;
    response.set_header("Cache-Control", "no-cache");
    // Runs on this stream's worker thread, called again after each piece until it answers false.
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, state, heartbeat](std::size_t, httplib::DataSink& sink) {
            // Like a connection whose packets stop: no byte, no FIN, until it is closed.
            const auto black_hole = [](StreamConnection& connection, std::unique_lock<std::mutex>& lock) {
                connection.wake.wait(lock, [&] { return connection.closed; });
                return false;
            };
            {
                std::unique_lock lock(state->connection->mutex);
                if (state->connection->frozen)
                    return black_hole(*state->connection, lock);
            }
            const auto write = [&](const std::string& piece) {
                std::size_t size = piece.size();
                bool drop = false;
                if (state->drop_after >= 0 && state->written + static_cast<std::int64_t>(size) >= state->drop_after) {
                    size = static_cast<std::size_t>(state->drop_after - state->written);
                    drop = true;
                }
                if (size > 0 && !sink.write(piece.data(), size))
                    return false;
                state->written += static_cast<std::int64_t>(size);
                return !drop;
            };
            if (!state->raw.empty()) {
                const std::string piece = std::move(state->raw.front());
                state->raw.pop_front();
                if (!write(piece))
                    return false;
                return state->raw.empty() || pause(state->gap);
            }
            StreamConnection& connection = *state->connection;
            std::unique_lock lock(connection.mutex);
            connection.wake.wait_until(lock, state->next_heartbeat, [&] {
                return connection.closed || connection.frozen || !connection.queue.empty();
            });
            if (connection.closed)
                return false;
            if (connection.frozen)
                return black_hole(connection, lock);
            if (!connection.queue.empty()) {
                const std::string piece = std::move(connection.queue.front());
                connection.queue.pop_front();
                lock.unlock();
                return write(piece);
            }
            lock.unlock();
            state->next_heartbeat = Clock::now() + heartbeat;
            return write(HEARTBEAT_EVENT);
        },
        [this, state](bool) { hub.remove(state->connection); });
}

void Server::Impl::channels(httplib::Response& response, const CallContext& call) {
    const std::vector<ChannelDef> list = store->channels(call.login);
    if (list.empty())
        return send_no_content(response);
    Json::Value body(Json::objectValue);
    Json::Value& items = body["items"] = Json::Value(Json::arrayValue);
    for (const ChannelDef& channel : list) {
        Json::Value item(Json::objectValue);
        item["id"] = channel.id;
        item["sender"] = channel.sender;
        item["sender-name"] = channel.sender_name;
        item["name"] = channel.name;
        item["description"] = channel.description;
        item["group"] = channel.group;
        item["icon"] = icon_url(channel.icon);
        item["enabled"] = channel.enabled;
        Json::Value& links = item["links"] = Json::Value(Json::arrayValue);
        if (!channel.link.empty()) {
            Json::Value link(Json::objectValue);
            link["rel"] = "details";
            link["href"] = expand(channel.link);
            links.append(link);
        }
        items.append(item);
    }
    send_json(response, 200, body);
}

void Server::Impl::support_links(httplib::Response& response) {
    const std::vector<LinkDef> list = store->links();
    if (list.empty())
        return send_no_content(response);
    Json::Value body(Json::objectValue);
    Json::Value& items = body["items"] = Json::Value(Json::arrayValue);
    for (const LinkDef& link : list) {
        Json::Value item(Json::objectValue);
        item["title"] = link.title;
        item["description"] = link.description;
        item["href"] = expand(link.href);
        item["icon"] = icon_url(link.icon);
        item["type"] = link.type;
        item["enabled"] = link.enabled;
        items.append(item);
    }
    send_json(response, 200, body);
}

void Server::Impl::account_page(const httplib::Request& request, httplib::Response& response) {
    const RecordedRequest record = record_of(request);
    std::optional<User> by_session;
    if (const std::string sid = record.cookie("auth.sid"); !sid.empty())
        if (const auto login = store->session_login(sid))
            by_session = store->user(*login);
    const std::optional<User> by_token = store->user_by_token(record.cookie("token"));

    const auto describe = [](const std::optional<User>& user) {
        if (!user)
            return std::string("—");
        std::string name = user->lastname + " " + user->name + " " + user->middlename;
        return wire::html_escape(name) + " (" + wire::html_escape(user->login) + ")";
    };
    std::string html =
        "<!DOCTYPE html><html lang=\"ru\"><head><meta charset=\"utf-8\"><title>Личный кабинет</title></head><body>"
        "<h1>Личный кабинет</h1>";
    if (!by_session && !by_token)
        html += "<p id=\"state\">Вы не вошли</p>";
    else
        html += "<p id=\"state\">Вы вошли</p>";
    html += "<p id=\"session\" data-login=\"" + wire::html_escape(by_session ? by_session->login : "") +
            "\">По сессии (auth.sid): " + describe(by_session) + "</p>";
    html += "<p id=\"token\" data-login=\"" + wire::html_escape(by_token ? by_token->login : "") +
            "\">По токену (token): " + describe(by_token) + "</p></body></html>";
    response.status = 200;
    response.set_header("Cache-Control", "no-store");
    response.set_content(html, "text/html; charset=utf-8");
}

void Server::Impl::register_admin_routes() {
    add_route("POST", "/admin/push", Area::Admin, [this](const auto& request, auto& response, CallContext&) {
        const auto body = parse_body(request, response);
        if (!body)
            return;
        if (!body->isObject())
            return send_error(response, 400, "BadRequest", "Expected a JSON object");
        std::string login = text_member(*body, "user");
        if (login.empty())
            login = DEMO_LOGIN;
        if (!store->user(login))
            return send_error(response, 404, "UserNotFound", "No user " + login);
        Message message = message_from_json(*body);
        if (message.organization.empty())
            message.organization = "Varnel";
        const Message stored = store->add_message(std::move(message), login, false);
        deliver_message(stored, login);
        store->persist();
        send_json(response, 201, message_json(stored));
    });
    add_route("DELETE", "/admin/messages/([^/]+)", Area::Admin, [this](const auto& request, auto& response, CallContext&) {
        std::string login = request.has_param("user") ? request.get_param_value("user") : std::string(DEMO_LOGIN);
        if (!store->remove_message(login, request.matches[1].str()))
            return send_error(response, 404, "MessageNotFound", "No such message");
        response.status = 204;
    });
    add_route("POST", "/admin/raw", Area::Admin, [this](const auto& request, auto& response, CallContext&) {
        const auto body = parse_body(request, response);
        if (!body)
            return;
        if (!body->isObject() || !(*body)["pieces"].isArray())
            return send_error(response, 400, "BadRequest", "Expected {\"pieces\": [texts]}");
        std::vector<std::string> pieces;
        for (const Json::Value& piece : (*body)["pieces"])
            if (piece.isString())
                pieces.push_back(piece.asString());
        std::string login = text_member(*body, "user");
        hub.deliver(login.empty() ? DEMO_LOGIN : login, pieces);
        send_no_content(response);
    });
    add_route("POST", "/admin/faults", Area::Admin, [this](const auto& request, auto& response, CallContext&) {
        const auto body = parse_body(request, response);
        if (!body)
            return;
        if (!body->isObject() || text_member(*body, "path").empty())
            return send_error(response, 400, "BadRequest", "A fault needs at least a \"path\"");
        Fault fault;
        fault.path = text_member(*body, "path");
        fault.status = (*body)["status"].isInt() ? (*body)["status"].asInt() : 0;
        fault.body = text_member(*body, "body");
        if (const std::string type = text_member(*body, "content-type"); !type.empty())
            fault.content_type = type;
        fault.location = text_member(*body, "location");
        fault.body_bytes = (*body)["body-bytes"].isUInt64() ? (*body)["body-bytes"].asUInt64() : 0;
        fault.chunked = (*body)["chunked"].isBool() && (*body)["chunked"].asBool();
        fault.count = (*body)["count"].isInt() ? (*body)["count"].asInt() : 1;
        fault.delay = std::chrono::milliseconds((*body)["delay-ms"].isInt() ? (*body)["delay-ms"].asInt() : 0);
        fault.drop_after_bytes =
            (*body)["drop-after-bytes"].isInt64() ? (*body)["drop-after-bytes"].asInt64() : -1;
        if ((*body)["raw"].isArray())
            for (const Json::Value& piece : (*body)["raw"])
                if (piece.isString())
                    fault.raw_stream.push_back(piece.asString());
        if ((*body)["gap-ms"].isInt())
            fault.gap = std::chrono::milliseconds((*body)["gap-ms"].asInt());
        if (fault.count == 0 || fault.status < 0 || fault.status > 999 || fault.delay.count() < 0)
            return send_error(response, 400, "BadRequest", "\"count\", \"status\" or \"delay-ms\" is out of range");
        std::lock_guard lock(mutex);
        faults.push_back(std::move(fault));
        send_no_content(response);
    });
    add_route("DELETE", "/admin/faults", Area::Admin, [this](const auto&, auto& response, CallContext&) {
        std::lock_guard lock(mutex);
        faults.clear();
        send_no_content(response);
    });
    add_route("GET", "/admin/requests", Area::Admin, [this](const auto& request, auto& response, CallContext&) {
        const auto path = wire::query_value(raw_query(request), "path");
        Json::Value body(Json::objectValue);
        Json::Value& items = body["items"] = Json::Value(Json::arrayValue);
        std::lock_guard lock(mutex);
        for (const RecordedRequest& record : recorded) {
            if (path && record.path != *path)
                continue;
            Json::Value item(Json::objectValue);
            item["method"] = record.method;
            item["path"] = record.path;
            item["query"] = record.query;
            Json::Value& headers = item["headers"] = Json::Value(Json::arrayValue);
            for (const auto& [name, value] : record.headers) {
                Json::Value header(Json::arrayValue);
                header.append(name);
                header.append(value);
                headers.append(header);
            }
            item["body-base64"] = wire::base64_encode(record.body);
            items.append(item);
        }
        send_json(response, 200, body);
    });
    add_route("DELETE", "/admin/requests", Area::Admin, [this](const auto&, auto& response, CallContext&) {
        std::lock_guard lock(mutex);
        recorded.clear();
        send_no_content(response);
    });
    add_route("POST", "/admin/reset", Area::Admin, [this](const auto&, auto& response, CallContext&) {
        hub.close("");
        seed_fresh();
        std::lock_guard lock(mutex);
        faults.clear();
        recorded.clear();
        approvals.clear();
        installer.reset();
        installer_signature.reset();
        send_no_content(response);
    });
    add_route("POST", "/admin/sessions", Area::Admin, [this](const auto& request, auto& response, CallContext&) {
        const auto body = parse_body(request, response);
        if (!body)
            return;
        std::string login = body->isObject() ? text_member(*body, "login") : std::string();
        if (login.empty())
            login = DEMO_LOGIN;
        if (!store->user(login))
            store->add_user(User{login, DEMO_PASSWORD, login, "", "", "", ""});
        Json::Value answer(Json::objectValue);
        answer["Sid"] = store->create_session(login);
        send_json(response, 201, answer);
    });
    // {"user"?}: the demo user's streams when the body is empty or names none.
    const auto stream_user = [this](const httplib::Request& request, httplib::Response& response)
        -> std::optional<std::string> {
        std::string login;
        if (!request.body.empty()) {
            const auto body = parse_body(request, response);
            if (!body)
                return std::nullopt;
            if (body->isObject())
                login = text_member(*body, "user");
        }
        return login.empty() ? std::string(DEMO_LOGIN) : login;
    };
    add_route("POST", "/admin/streams/freeze", Area::Admin,
              [this, stream_user](const auto& request, auto& response, CallContext&) {
                  const auto login = stream_user(request, response);
                  if (!login)
                      return;
                  Json::Value body(Json::objectValue);
                  body["frozen"] = static_cast<Json::UInt64>(hub.freeze(*login));
                  send_json(response, 200, body);
              });
    add_route("POST", "/admin/streams/close", Area::Admin,
              [this, stream_user](const auto& request, auto& response, CallContext&) {
                  const auto login = stream_user(request, response);
                  if (!login)
                      return;
                  Json::Value body(Json::objectValue);
                  body["closed"] = static_cast<Json::UInt64>(hub.close_user(*login));
                  send_json(response, 200, body);
              });
    add_route("GET", "/admin/streams", Area::Admin, [this](const auto&, auto& response, CallContext&) {
        Json::Value body(Json::objectValue);
        body["open"] = static_cast<Json::UInt64>(hub.open_count());
        body["opened"] = static_cast<Json::UInt64>(hub.opened_count());
        send_json(response, 200, body);
    });
    add_route("POST", "/admin/update", Area::Admin, [this](const auto& request, auto& response, CallContext&) {
        std::lock_guard lock(mutex);
        installer = request.body;
        send_no_content(response);
    });
    add_route("POST", "/admin/update/signature", Area::Admin,
              [this](const auto& request, auto& response, CallContext&) {
                  std::lock_guard lock(mutex);
                  installer_signature = request.body;
                  send_no_content(response);
              });
    add_route("DELETE", "/admin/update", Area::Admin, [this](const auto&, auto& response, CallContext&) {
        std::lock_guard lock(mutex);
        installer.reset();
        installer_signature.reset();
        send_no_content(response);
    });
}

// --- Server -----------------------------------------------------------------------------

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->port = impl_->options.port;
    impl_->prepare_state();
}

Server::~Server() {
    stop();
    if (impl_->owns_state_directory) {
        std::error_code ignored;
        fs::remove_all(impl_->state_directory, ignored);
    }
}

void Server::start() {
    if (running())
        return;
    impl_->stopping = false;
    impl_->hub.set_closing(false);
    impl_->build_http();
    int port = impl_->port;
    if (port == 0) {
        port = impl_->http->bind_to_any_port("127.0.0.1");
        if (port <= 0)
            throw std::runtime_error("cannot bind 127.0.0.1 to any port");
    } else if (!impl_->http->bind_to_port("127.0.0.1", port)) {
        throw std::runtime_error("cannot bind 127.0.0.1:" + std::to_string(port));
    }
    impl_->port = static_cast<std::uint16_t>(port);
    ::listen(impl_->listening_socket(), LISTEN_BACKLOG);
    impl_->serving = std::thread([http = impl_->http.get()] { http->listen_after_bind(); });
    // The library's stop() does nothing until its loop runs, so a stop right after start
    // would leave the loop running for ever: wait for it here.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!impl_->http->is_running() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Server::stop() {
    if (!impl_->serving.joinable())
        return;
    {
        std::lock_guard lock(impl_->stop_mutex);
        impl_->stopping = true;
    }
    impl_->stop_signal.notify_all();
    impl_->hub.set_closing(true);
    impl_->hub.close("");
    impl_->http->stop();
    impl_->serving.join();
    impl_->http.reset();
}

void Server::restart() {
    stop();
    if (!impl_->store->load())
        impl_->seed_fresh();
    start();
}

bool Server::running() const { return impl_->serving.joinable(); }
std::uint16_t Server::port() const { return impl_->port; }
std::string Server::base_url() const { return impl_->base_url(); }
std::string Server::auth_url() const { return base_url() + "/auth"; }
std::string Server::api_url() const { return base_url() + "/api"; }

std::filesystem::path Server::ca_certificate() const {
    if (!impl_->options.tls)
        return {};
    if (impl_->tls_files.ca_certificate.empty())
        impl_->tls_files = crypto::ensure_tls_files(impl_->state_directory);
    return impl_->tls_files.ca_certificate;
}

const std::filesystem::path& Server::state_directory() const { return impl_->state_directory; }

void Server::reset() {
    impl_->hub.close("");
    impl_->seed_fresh();
    std::lock_guard lock(impl_->mutex);
    impl_->faults.clear();
    impl_->recorded.clear();
    impl_->approvals.clear();
    impl_->installer.reset();
    impl_->installer_signature.reset();
}

void Server::load_seed(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read the seed file " + file.string());
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string error;
    const auto document = wire::parse_json(buffer.str(), &error);
    if (!document)
        throw std::runtime_error("the seed is not valid JSON: " + error);
    impl_->hub.close("");
    impl_->store->seed(*document);
}

void Server::add_user(const User& user) { impl_->store->add_user(user); }
std::optional<User> Server::user(const std::string& login) const { return impl_->store->user(login); }

std::string Server::create_session(const std::string& login) {
    if (!impl_->store->user(login))
        impl_->store->add_user(User{login, DEMO_PASSWORD, login, "", "", "", ""});
    return impl_->store->create_session(login);
}

void Server::end_session(const std::string& sid) {
    if (impl_->store->end_session(sid))
        impl_->hub.close(sid);
}

bool Server::has_session(const std::string& sid) const { return impl_->store->session_login(sid).has_value(); }

Message Server::push_message(Message message, const std::string& login) {
    const Message stored = impl_->store->add_message(std::move(message), login, false);
    impl_->deliver_message(stored, login);
    impl_->store->persist();
    return stored;
}

void Server::push_raw(const std::vector<std::string>& pieces, const std::string& login) {
    impl_->hub.deliver(login, pieces);
}

std::size_t Server::freeze_streams(const std::string& login) { return impl_->hub.freeze(login); }

std::size_t Server::close_streams(const std::string& login) { return impl_->hub.close_user(login); }

bool Server::remove_message(const std::string& id, const std::string& login) {
    return impl_->store->remove_message(login, id);
}

std::vector<Message> Server::messages(const std::string& login) const { return impl_->store->messages(login); }

std::map<std::string, bool> Server::channel_states(const std::string& login) const {
    return impl_->store->channel_states(login);
}

std::vector<std::string> Server::client_events(const std::string& login) const {
    return impl_->store->events(login);
}

void Server::offer_update(std::string installer, std::optional<std::string> signature) {
    std::lock_guard lock(impl_->mutex);
    impl_->installer = std::move(installer);
    impl_->installer_signature = std::move(signature);
}

void Server::withdraw_update() {
    std::lock_guard lock(impl_->mutex);
    impl_->installer.reset();
    impl_->installer_signature.reset();
}

void Server::add_fault(Fault fault) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.push_back(std::move(fault));
}

void Server::clear_faults() {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.clear();
}

std::vector<RecordedRequest> Server::requests() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->recorded.begin(), impl_->recorded.end()};
}

std::vector<RecordedRequest> Server::requests(const std::string& path) const {
    std::vector<RecordedRequest> result;
    std::lock_guard lock(impl_->mutex);
    for (const RecordedRequest& record : impl_->recorded)
        if (record.path == path)
            result.push_back(record);
    return result;
}

void Server::clear_requests() {
    std::lock_guard lock(impl_->mutex);
    impl_->recorded.clear();
}

std::size_t Server::open_streams() const { return impl_->hub.open_count(); }
std::size_t Server::streams_opened() const { return impl_->hub.opened_count(); }

}  // namespace sandbox
