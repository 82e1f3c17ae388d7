#include "winhttp/simple_client.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <limits>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "details/exception.h"
#include "details/strings.h"
#include "winhttp/transfer.h"

namespace winhttp {

using agent::WinHttpException;
using agent::details::starts_with_ascii_nocase;
using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

static_assert(TRANSFER_TIMED_OUT == CURLE_OPERATION_TIMEDOUT);

namespace {

// Origins of URL beginnings already cracked ("https://host:port" for "https://Host").
constexpr std::size_t ORIGIN_CACHE_SIZE = 64;

struct UrlDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

// curl_global_init is not thread-safe; the first client does it, before any thread uses curl.
void global_init() {
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (result != CURLE_OK)
        throw WinHttpException(result, "curl_global_init");
}

// Seconds as a silence limit; anything beyond a year is as good as none.
std::chrono::milliseconds seconds_to_limit(std::uint64_t seconds) {
    constexpr std::uint64_t YEAR = 366ull * 24 * 3600;
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::min(seconds, YEAR)) * 1000);
}

// curl sets the idle time and the interval; the count of unanswered probes is the
// system's (9 by default) unless we set it on the socket ourselves.
int on_socket_created(void*, curl_socket_t socket, curlsocktype purpose) {
    if (purpose == CURLSOCKTYPE_IPCXN) {
        const int probes = KEEPALIVE_PROBES;
        // A socket that refuses keeps the system's count: still found, only later.
        ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    }
    return CURL_SOCKOPT_OK;
}

}  // namespace

// ---- free functions --------------------------------------------------------------------

const char* method_verb(int method) noexcept {
    switch (method) {
    case METHOD_POST:
        return "POST";
    case METHOD_PUT:
        return "PUT";
    case METHOD_HEAD:
        return "HEAD";
    case METHOD_CONNECT:
        return "CONNECT";
    case METHOD_DELETE:
        return "DELETE";
    default:
        return "GET";
    }
}

void set_header(Headers& headers, const std::wstring& name, const std::wstring& value, std::uint32_t flags) {
    auto found = headers.find(name);
    if (found == headers.end()) {
        headers.emplace(name, value);
        return;
    }
    if (flags & (WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA | WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON)) {
        found->second += (flags & WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA) ? L',' : L';';
        found->second += value;
        return;
    }
    if (flags & WINHTTP_ADDREQ_FLAG_REPLACE) {
        if (value.empty())
            headers.erase(found);
        else
            found->second = value;
    }
}

std::uint64_t announced_length(const Headers& headers) {
    auto found = headers.find(L"Content-Length");
    if (found == headers.end() || found->second.empty())
        return 0;
    std::uint64_t value = 0;
    for (wchar_t c : found->second) {
        if (c < L'0' || c > L'9')
            return 0;
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
        if (value >= 0xFFFFFFFFull)
            return 0;
    }
    return value;
}

CrackedUrl crack_url(const std::wstring& url) {
    std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    if (!handle)
        throw WinHttpException(CURLE_OUT_OF_MEMORY, "curl_url");
    const std::string text = wide_to_utf8(url);
    if (text.find_first_of(" \t\r\n") != std::string::npos ||
        curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        throw WinHttpException(CURLE_URL_MALFORMAT, "curl_url_set");
    auto part = [&handle](CURLUPart which, unsigned flags = 0) {
        char* value = nullptr;
        std::string result;
        if (curl_url_get(handle.get(), which, &value, flags) == CURLUE_OK && value)
            result = value;
        curl_free(value);
        return result;
    };
    const std::string scheme = part(CURLUPART_SCHEME);
    CrackedUrl cracked;
    if (scheme == "http")
        cracked.secure = false;
    else if (scheme != "https")
        throw WinHttpException(CURLE_UNSUPPORTED_PROTOCOL, "curl_url_set");
    std::string host = part(CURLUPART_HOST);
    if (host.empty())
        throw WinHttpException(CURLE_URL_MALFORMAT, "curl_url_set");
    if (host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    cracked.host = utf8_to_wide(host);
    const std::string port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    cracked.port = static_cast<std::uint16_t>(std::stoul(port.empty() ? "0" : port));
    std::string path = part(CURLUPART_PATH);
    cracked.path = utf8_to_wide(path.empty() ? "/" : path);
    const std::string query = part(CURLUPART_QUERY);
    const std::string fragment = part(CURLUPART_FRAGMENT);
    if (!query.empty())
        cracked.extra += L"?" + utf8_to_wide(query);
    if (!fragment.empty())
        cracked.extra += L"#" + utf8_to_wide(fragment);
    return cracked;
}

std::wstring origin_of(const CrackedUrl& url) {
    std::wstring host = url.host.find(L':') != std::wstring::npos ? L"[" + url.host + L"]" : url.host;
    return (url.secure ? L"https://" : L"http://") + host + L":" + std::to_wstring(url.port);
}

void CancelHandle::cancel() noexcept {
    cancelled_.store(true);
    std::lock_guard lock(mutex_);
    if (multi_ != nullptr)
        curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

// ---- Response --------------------------------------------------------------------------

Response::Response(std::unique_ptr<Transfer> transfer) : transfer_(std::move(transfer)) {}
Response::Response(Response&&) noexcept = default;
Response& Response::operator=(Response&&) noexcept = default;
Response::~Response() = default;

std::uint32_t Response::status_code() const {
    assert(transfer_ && "src/winhttp/simple_client");
    return transfer_->status;
}

const Headers& Response::headers() const {
    assert(transfer_ && "src/winhttp/simple_client");
    return transfer_->headers();
}

std::vector<std::uint8_t> Response::read_body(std::size_t limit) {
    assert(transfer_ && "src/winhttp/simple_client");
    Transfer& transfer = *transfer_;
    const auto too_large = [limit] {
        return agent::AgentException(agent::AgentException::BAD_ANSWER,
                                     "the answer is larger than " + std::to_string(limit) + " bytes");
    };
    std::vector<std::uint8_t> body;
    curl_off_t length = -1;
    curl_easy_getinfo(transfer.easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length > 0 && static_cast<std::uint64_t>(length) > limit)
        throw too_large();
    if (transfer.early.size() > limit)
        throw too_large();
    // Reserving only claims address space, but an announcement is just the server's word:
    // at most the limit, and a refused reservation is no failure.
    if (length > 0 && !transfer.finished) {
        try {
            body.reserve(static_cast<std::size_t>(length));
        } catch (const std::bad_alloc&) {
        }
    }
    body.assign(transfer.early.begin(), transfer.early.end());
    transfer.early.clear();
    transfer.body_sink = &body;
    transfer.body_limit = limit;
    try {
        // Bytes curl kept while paused come next, even when the transfer has ended.
        transfer.resume();
        if (!transfer.finished)
            transfer.drive([] { return false; });
    } catch (...) {
        transfer.body_sink = nullptr;
        throw;
    }
    transfer.body_sink = nullptr;
    if (transfer.body_over_limit)
        throw too_large();
    if (transfer.result != CURLE_OK)
        transfer.fail(transfer.result);
    return body;
}

bool Response::read_chunk(std::string& out) {
    assert(transfer_ && "src/winhttp/simple_client");
    Transfer& transfer = *transfer_;
    out.clear();
    if (!transfer.early.empty()) {
        transfer.check_cancelled();
        out.swap(transfer.early);
        return true;
    }
    transfer.chunk_sink = &out;
    try {
        transfer.resume();
        if (!transfer.finished)
            transfer.drive([&out] { return !out.empty(); });
    } catch (...) {
        transfer.chunk_sink = nullptr;
        throw;
    }
    transfer.chunk_sink = nullptr;
    if (!out.empty())
        return true;
    if (transfer.result != CURLE_OK)
        transfer.fail(transfer.result);
    return false;
}

std::shared_ptr<CancelHandle> Response::cancel_handle() const {
    return transfer_->cancel;
}

// ---- Request ---------------------------------------------------------------------------

Request::Request(std::unique_ptr<Transfer> transfer) : transfer_(std::move(transfer)) {}
Request::Request(Request&&) noexcept = default;
Request& Request::operator=(Request&&) noexcept = default;
Request::~Request() = default;

namespace {

// A received request has handed its transfer to the response; using it again is the
// caller's mistake, reported like a send on a finished request.
Transfer& live(const std::unique_ptr<Transfer>& transfer) {
    if (!transfer || transfer->received)
        throw WinHttpException(CURLE_SEND_ERROR, "curl_easy_send");
    return *transfer;
}

}  // namespace

void Request::set_header(const std::wstring& name, const std::wstring& value, std::uint32_t flags) {
    winhttp::set_header(live(transfer_).request_headers, name, value, flags);
}

const Headers& Request::headers() const {
    static const Headers none;
    return transfer_ ? transfer_->request_headers : none;
}

void Request::set_timeouts(std::uint64_t seconds) {
    live(transfer_).timeout = seconds_to_limit(seconds);
}

void Request::set_timeouts(std::chrono::milliseconds limit) {
    live(transfer_).timeout = std::max(limit, std::chrono::milliseconds(0));
}

void Request::write(const void* data, std::size_t size) {
    Transfer& transfer = live(transfer_);
    // An empty chunk would end a chunked body early; there is nothing to send anyway.
    if (size == 0)
        return;
    transfer.pieces.emplace_back(static_cast<const char*>(data), size);
}

Response Request::receive() {
    Transfer& transfer = live(transfer_);
    transfer.received = true;
    transfer.check_cancelled();
    transfer.start();
    transfer.drive([&transfer] { return transfer.headers_done; });
    if (!transfer.headers_done)
        transfer.fail(transfer.result != CURLE_OK ? transfer.result : CURLE_GOT_NOTHING);
    return Response(std::move(transfer_));
}

std::shared_ptr<CancelHandle> Request::cancel_handle() const {
    if (!transfer_)
        throw WinHttpException(CURLE_SEND_ERROR, "curl_easy_send");
    return transfer_->cancel;
}

// ---- SimpleClient ----------------------------------------------------------------------

namespace {

// libproxy names SOCKS proxies "socks://"; curl wants the version.
std::string curl_proxy_address(const std::wstring& address) {
    std::string text = wide_to_utf8(address);
    if (text.rfind("socks://", 0) == 0)
        text = "socks5://" + text.substr(8);
    return text;
}

}  // namespace

std::shared_ptr<SimpleClient> SimpleClient::create(const std::wstring& user_agent, const ProxySettings& proxy) {
    return std::shared_ptr<SimpleClient>(new SimpleClient(user_agent, proxy));
}

SimpleClient::SimpleClient(const std::wstring& user_agent, const ProxySettings& proxy) {
    check_proxy_settings(proxy);
    global_init();
    session_ = std::make_shared<Session>();
    session_->user_agent = wide_to_utf8(user_agent);
    session_->proxy = proxy;
    session_->share = std::make_shared<Share>();
}

SimpleClient::~SimpleClient() = default;

void SimpleClient::set_proxy(const ProxySettings& proxy) {
    check_proxy_settings(proxy);
    auto share = std::make_shared<Share>();
    std::lock_guard lock(session_->mutex);
    session_->proxy = proxy;
    // Requests still running keep the old pool alive until they end.
    session_->share = std::move(share);
    session_->connections.clear();
}

void SimpleClient::set_proxy_credentials(const std::wstring& user, const std::wstring& password) {
    std::lock_guard lock(session_->mutex);
    session_->proxy.user = user;
    session_->proxy.password = password;
    for (auto& [origin, connection] : session_->connections) {
        connection.proxy.user = user;
        connection.proxy.password = password;
    }
}

ProxySettings SimpleClient::proxy_settings() const {
    std::lock_guard lock(session_->mutex);
    return session_->proxy;
}

void SimpleClient::set_timeouts(std::uint64_t seconds) {
    std::lock_guard lock(session_->mutex);
    session_->timeout = seconds;
}

std::uint64_t SimpleClient::timeouts() const {
    std::lock_guard lock(session_->mutex);
    return session_->timeout;
}

void SimpleClient::set_ca_file(const std::wstring& path) {
    if (path.empty()) {
        std::lock_guard lock(session_->mutex);
        session_->ca.reset();
        return;
    }
    auto bundle = std::make_shared<CaBundle>();
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_file(wide_to_utf8(path).c_str(), "r"));
    while (bio) {
        X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (!certificate)
            break;
        bundle->certificates.emplace_back(certificate);
    }
    ERR_clear_error();  // the end of the file reads as an error
    if (bundle->certificates.empty())
        throw WinHttpException(CURLE_SSL_CACERT_BADFILE, "PEM_read_bio_X509");
    std::lock_guard lock(session_->mutex);
    session_->ca = std::move(bundle);
}

namespace {

// The length of "scheme://authority" at the start of the URL, or 0 when it does not start
// like that (crack_url then has the last word).
std::size_t authority_length(std::wstring_view url) {
    const std::size_t colon = url.find(L"://");
    if (colon == std::wstring_view::npos || colon == 0 || colon > 5)
        return 0;
    const std::size_t end = url.find_first_of(L"/?#", colon + 3);
    return end == std::wstring_view::npos ? url.size() : end;
}

// Nothing crack_url would refuse: no blank, no control character.
bool plain_text(std::wstring_view text) {
    for (wchar_t c : text)
        if (c <= L' ' || c == 0x7F)
            return false;
    return true;
}

}  // namespace

namespace {

// The connection record of the URL's origin, made (and its proxy resolved) when there is
// none yet. Cracks the URL: throws for a malformed one.
Connection connection_for(Session& session, const std::wstring& url, std::size_t prefix) {
    const CrackedUrl cracked = crack_url(url);
    const std::wstring origin = origin_of(cracked);
    Connection connection;
    bool known = false;
    ProxySettings settings;
    {
        std::lock_guard lock(session.mutex);
        if (prefix > 0) {
            if (session.origins.size() >= ORIGIN_CACHE_SIZE)
                session.origins.clear();
            KnownOrigin entry{cracked, origin};
            entry.url.path.clear();
            entry.url.extra.clear();
            session.origins.emplace(url.substr(0, prefix), std::move(entry));
        }
        auto found = session.connections.find(origin);
        if (found != session.connections.end()) {
            connection = found->second;
            known = true;
        }
        settings = session.proxy;
    }
    if (known)
        return connection;
    connection.url = cracked;
    const std::wstring scheme = cracked.secure ? L"https" : L"http";
    ProxySettings& effective = connection.proxy;
    if (settings.mode == NamedProxy && !bypasses_proxy(settings.bypass, cracked.host)) {
        effective.mode = NamedProxy;
        effective.url = proxy_for_scheme(settings.url, scheme);
    } else if (settings.mode == DefaultProxy) {
        // Asked outside the lock: a PAC script or WPAD may take a while.
        effective = resolve_system_proxy(origin + L"/");
        connection.chosen_by_desktop = true;
    } else {
        effective.mode = NoProxy;
    }
    std::lock_guard lock(session.mutex);
    // The settings may have changed meanwhile; the record then belongs to old ones.
    if (session.proxy == settings) {
        effective.user = session.proxy.user;
        effective.password = session.proxy.password;
        auto [it, inserted] = session.connections.emplace(origin, connection);
        assert(inserted || it->second.url.host == cracked.host);
        (void)inserted;
        connection = it->second;
    }
    return connection;
}

}  // namespace

Request SimpleClient::open_request(const std::wstring& url, int method) {
    auto transfer = std::make_unique<Transfer>();
    transfer->session = session_;
    transfer->method = method;
    transfer->url = wide_to_utf8(url);

    // The usual case, under one lock: a URL beginning seen before, an origin with a
    // connection record. The origin of a URL depends only on its beginning, so a URL is
    // cracked in full only when its beginning is new.
    const std::wstring_view text(url);
    const std::size_t prefix = authority_length(text);
    ProxySettings proxy;  // what this request's origin goes through
    bool chosen_by_desktop = false;
    bool ready = false;
    if (prefix > 0 && plain_text(text)) {
        std::lock_guard lock(session_->mutex);
        const auto origin = session_->origins.find(text.substr(0, prefix));
        if (origin != session_->origins.end()) {
            const auto connection = session_->connections.find(origin->second.origin);
            if (connection != session_->connections.end()) {
                proxy = connection->second.proxy;
                chosen_by_desktop = connection->second.chosen_by_desktop;
                transfer->share = session_->share;
                transfer->ca = session_->ca;
                transfer->timeout = seconds_to_limit(session_->timeout);
                ready = true;
            }
        }
    }
    if (!ready) {
        const Connection connection = connection_for(*session_, url, prefix);
        proxy = connection.proxy;
        chosen_by_desktop = connection.chosen_by_desktop;
        std::lock_guard lock(session_->mutex);
        transfer->share = session_->share;
        transfer->ca = session_->ca;
        transfer->timeout = seconds_to_limit(session_->timeout);
    }
    transfer->easy = session_->take_easy(transfer->share);

    CURL* handle = transfer->easy.get();
    setopt(handle, CURLOPT_URL, transfer->url.c_str());
    setopt(handle, CURLOPT_NOSIGNAL, 1L);
    setopt(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    // What starts over TLS stays over TLS: a redirect to plain http:// fails the request
    // (CURLE_UNSUPPORTED_PROTOCOL) instead of sending the rest in the clear.
    const bool secure = starts_with_ascii_nocase(std::string_view(transfer->url), "https://");
    setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    setopt(handle, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
    setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    setopt(handle, CURLOPT_TCP_KEEPIDLE, static_cast<long>(KEEPALIVE_IDLE.count()));
    setopt(handle, CURLOPT_TCP_KEEPINTVL, static_cast<long>(KEEPALIVE_INTERVAL.count()));
    setopt(handle, CURLOPT_SOCKOPTFUNCTION, &on_socket_created);
    setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    setopt(handle, CURLOPT_HEADERFUNCTION, &Transfer::on_header);
    setopt(handle, CURLOPT_HEADERDATA, transfer.get());
    setopt(handle, CURLOPT_WRITEFUNCTION, &Transfer::on_body);
    setopt(handle, CURLOPT_WRITEDATA, transfer.get());
    if (!session_->user_agent.empty())
        setopt(handle, CURLOPT_USERAGENT, session_->user_agent.c_str());
    if (transfer->ca) {
        setopt(handle, CURLOPT_SSL_CTX_FUNCTION, &CaBundle::add_to_context);
        setopt(handle, CURLOPT_SSL_CTX_DATA, const_cast<CaBundle*>(transfer->ca.get()));
        // The cached system store is shared between handles; ours gets extra certificates.
        setopt(handle, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    }

    if (proxy.mode == NamedProxy) {
        setopt(handle, CURLOPT_PROXY, curl_proxy_address(proxy.url).c_str());
        // The bypass list was applied when the record was made; the environment has no say.
        setopt(handle, CURLOPT_NOPROXY, "");
        if (!proxy.user.empty()) {
            setopt(handle, CURLOPT_PROXYUSERNAME, wide_to_utf8(proxy.user).c_str());
            setopt(handle, CURLOPT_PROXYPASSWORD, wide_to_utf8(proxy.password).c_str());
            // The proxy the user named gets them at once; one the desktop chose only in
            // answer to its own 407 (curl asks first when more than one method is allowed).
            setopt(handle, CURLOPT_PROXYAUTH, static_cast<long>(chosen_by_desktop ? CURLAUTH_ANY : CURLAUTH_BASIC));
            transfer->proxy_auth_retry = chosen_by_desktop;
        }
    } else {
        // An empty proxy also keeps curl from reading http_proxy and friends.
        setopt(handle, CURLOPT_PROXY, "");
        setopt(handle, CURLOPT_NOPROXY, "*");
    }
    return Request(std::move(transfer));
}

std::size_t SimpleClient::connection_count() const {
    std::lock_guard lock(session_->mutex);
    return session_->connections.size();
}

bool SimpleClient::connection_proxy(const std::wstring& origin, ProxySettings& out) const {
    std::lock_guard lock(session_->mutex);
    auto found = session_->connections.find(origin);
    if (found == session_->connections.end())
        return false;
    out = found->second.proxy;
    return true;
}

}  // namespace winhttp
