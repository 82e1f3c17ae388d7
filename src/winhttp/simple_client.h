#pragma once

// A small synchronous HTTP(S) client over libcurl. Every call blocks the calling thread;
// services run requests on their worker threads. Every transfer failure is a
// agent::WinHttpException naming the failed call; a status code is never an error here.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "winhttp/proxy.h"

namespace winhttp {

// Method kinds; any other number sends GET.
enum Method : int {
    METHOD_GET = 0,
    METHOD_POST = 1,
    METHOD_PUT = 2,
    METHOD_HEAD = 3,
    METHOD_CONNECT = 4,
    METHOD_DELETE = 5,
};

// TCP keepalive on every connection: after KEEPALIVE_IDLE without data from the peer, a
// probe every KEEPALIVE_INTERVAL; KEEPALIVE_PROBES unanswered ones fail the connection. So
// a connection that died without a word (the laptop slept, a NAT forgot it, the route
// changed) fails a read within 60 s even when the request has no time-out, and the probes
// keep the NAT mapping of a quiet stream alive.
inline constexpr std::chrono::seconds KEEPALIVE_IDLE{30};
inline constexpr std::chrono::seconds KEEPALIVE_INTERVAL{10};
inline constexpr int KEEPALIVE_PROBES = 3;

// The code of agent::WinHttpException when a request's time-out of silence has passed
// (CURLE_OPERATION_TIMEDOUT).
inline constexpr std::uint32_t TRANSFER_TIMED_OUT = 28;

// The most a response body read whole may hold (an agent API answer); a caller that expects
// less (an icon, a signature) passes its own bound to read_body.
inline constexpr std::size_t BODY_LIMIT = std::size_t{16} << 20;

// "GET", "POST", ...; "GET" for an unknown kind.
const char* method_verb(int method) noexcept;

// Flags of Request::set_header, with the values callers know from WinHttpAddRequestHeaders.
inline constexpr std::uint32_t WINHTTP_ADDREQ_FLAG_ADD = 0x20000000;
inline constexpr std::uint32_t WINHTTP_ADDREQ_FLAG_ADD_IF_NEW = 0x10000000;
inline constexpr std::uint32_t WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA = 0x40000000;
inline constexpr std::uint32_t WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON = 0x01000000;
inline constexpr std::uint32_t WINHTTP_ADDREQ_FLAG_REPLACE = 0x80000000;

// Header name -> value, ordered by name compared case-sensitively; this is also the order
// in which request headers go on the wire.
using Headers = std::map<std::wstring, std::wstring>;

// The header rules of a request (and of a parsed response):
//  - name absent: inserted, whatever the flags;
//  - present + COALESCE_WITH_COMMA / COALESCE_WITH_SEMICOLON: old + "," (comma flag) or
//    ";" + new, without blanks;
//  - present + REPLACE: replaced; an empty new value removes the header;
//  - present otherwise (ADD_IF_NEW, ADD, 0): unchanged.
void set_header(Headers& headers, const std::wstring& name, const std::wstring& value,
                std::uint32_t flags);

// The body length a request announces: "Content-Length" as an unsigned decimal number;
// 0 when absent, unreadable, or not below 0xFFFFFFFF.
std::uint64_t announced_length(const Headers& headers);

// A full URL split into its parts. Only "http" and "https" are accepted (any case).
struct CrackedUrl {
    bool secure = true;      // false only for plain http
    std::uint16_t port = 0;  // from the URL, else 80 / 443
    std::wstring host;       // without brackets for IPv6 literals
    std::wstring path;       // "/" when the URL has none
    std::wstring extra;      // "?query#fragment", as far as present
};

// Throws agent::WinHttpException naming "curl_url_set": CURLE_URL_MALFORMAT for a malformed
// URL, CURLE_UNSUPPORTED_PROTOCOL for another scheme.
CrackedUrl crack_url(const std::wstring& url);
// "https://host:port" or "http://host:port" (IPv6 hosts in brackets): the key of a
// client's connection record.
std::wstring origin_of(const CrackedUrl& url);

// Ends a request from another thread. Obtained from a request (or its response), it stays
// valid and harmless after the request is gone. After cancel(), the blocked or next call of
// that request or response throws agent::WinHttpException (CURLE_ABORTED_BY_CALLBACK).
class CancelHandle {
public:
    void cancel() noexcept;
    bool cancelled() const noexcept { return cancelled_.load(); }

private:
    friend struct Transfer;
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    void* multi_ = nullptr;  // the CURLM* of the live transfer, woken by cancel()
};

struct Transfer;
struct Session;

// A received response. Owns the transfer: the body is pulled from the connection as the
// caller reads it. Dropping an unread response closes its connection.
class Response {
public:
    Response(Response&&) noexcept;
    Response& operator=(Response&&) noexcept;
    ~Response();

    // The final response's status: a 1xx block, a followed redirect or a proxy's CONNECT
    // answer do not count, except a CONNECT refused by the proxy (407, ...), which is the
    // response itself (no headers, empty body).
    std::uint32_t status_code() const;
    // Header lines of the final response: name before the first ":", value after it, not
    // trimmed; a repeated header keeps its first value; lines without ":" are skipped.
    const Headers& headers() const;

    // The rest of the body, waiting until the server has sent it all. A body longer than
    // `limit` (announced or as it arrives) is not read further: the transfer is cut and
    // agent::AgentException BAD_ANSWER ("the answer is larger than <limit> bytes") thrown,
    // as for any answer the agent cannot read.
    std::vector<std::uint8_t> read_body(std::size_t limit = BODY_LIMIT);
    // Replaces `out` with the next bytes of the body, blocking until some arrive (no
    // timeout when the request's timeout is 0). Returns false, with `out` empty, at the end
    // of the body. `out`'s capacity is reused from call to call.
    bool read_chunk(std::string& out);

    std::shared_ptr<CancelHandle> cancel_handle() const;

private:
    friend class Request;
    explicit Response(std::unique_ptr<Transfer> transfer);
    std::unique_ptr<Transfer> transfer_;
};

// One request: headers, optional body writes, then receive() once.
class Request {
public:
    Request(Request&&) noexcept;
    Request& operator=(Request&&) noexcept;
    ~Request();

    void set_header(const std::wstring& name, const std::wstring& value, std::uint32_t flags);
    const Headers& headers() const;

    // Seconds of silence allowed while resolving, connecting, sending and receiving;
    // 0 means none. Starts as the client's value. A read that waits longer throws
    // agent::WinHttpException CURLE_OPERATION_TIMEDOUT ("curl_easy_perform").
    void set_timeouts(std::uint64_t seconds);
    // The same in milliseconds (the message stream's silence limit).
    void set_timeouts(std::chrono::milliseconds limit);

    // Appends body bytes. With a "Transfer-Encoding" header each write becomes one chunk
    // (hex length, CR LF, bytes, CR LF) and receive() adds the final "0\r\n\r\n"; without
    // it the bytes are sent as they are, announced with their total length.
    void write(const void* data, std::size_t size);
    void write(std::string_view data) { write(data.data(), data.size()); }

    // Sends what is not sent yet and waits for the status and headers of the response.
    // The body stays on the connection until the response reads it. Callable once.
    Response receive();

    std::shared_ptr<CancelHandle> cancel_handle() const;

private:
    friend class SimpleClient;
    explicit Request(std::unique_ptr<Transfer> transfer);
    std::unique_ptr<Transfer> transfer_;
};

// One HTTP session: user agent, timeouts, proxy settings, extra trusted CA, and one
// connection record per origin whose connections later requests reuse. Safe to use from
// several threads at once (each request itself belongs to one thread, except its
// CancelHandle).
class SimpleClient {
public:
    // An empty user agent sends no "User-Agent" header. Timeouts start at 60 seconds.
    // Throws agent::AgentException kind 2 for NamedProxy without an address.
    static std::shared_ptr<SimpleClient> create(const std::wstring& user_agent,
                                                const ProxySettings& proxy);

    ~SimpleClient();
    SimpleClient(const SimpleClient&) = delete;
    SimpleClient& operator=(const SimpleClient&) = delete;

    // Replaces the proxy settings and drops every connection record (and the pooled
    // connections), so each server is reached and its proxy resolved anew. NamedProxy
    // without an address is refused with agent::AgentException kind 2 before anything
    // changes; a failure to set up the new session is an agent::SystemException.
    void set_proxy(const ProxySettings& proxy);
    // New proxy credentials for the client and every connection record; requests opened
    // afterwards send them (an empty user sends none).
    void set_proxy_credentials(const std::wstring& user, const std::wstring& password);
    ProxySettings proxy_settings() const;

    // Default timeout of the requests opened afterwards; 0 means none.
    void set_timeouts(std::uint64_t seconds);
    std::uint64_t timeouts() const;

    // A PEM file of CA certificates trusted besides the system store; empty removes it.
    // Throws agent::WinHttpException (CURLE_SSL_CACERT_BADFILE, "PEM_read_bio_X509") when
    // the file cannot be read or holds no certificate; the previous setting stays then.
    void set_ca_file(const std::wstring& path);

    // Throws agent::WinHttpException for a malformed URL (CURLE_URL_MALFORMAT) or another
    // scheme (CURLE_UNSUPPORTED_PROTOCOL), both naming "curl_url_set", or for a failed handle
    // setup ("curl_easy_init", "curl_easy_setopt").
    Request open_request(const std::wstring& url, int method);

    // Number of connection records (origins reached since creation or the last proxy change).
    std::size_t connection_count() const;
    // The proxy settings effective for an origin's connection record ("https://host:443");
    // false when there is no record. Records of a DefaultProxy client hold what the
    // desktop's configuration answered: NamedProxy with its address, or NoProxy (direct).
    bool connection_proxy(const std::wstring& origin, ProxySettings& out) const;

private:
    SimpleClient(const std::wstring& user_agent, const ProxySettings& proxy);
    std::shared_ptr<Session> session_;
};

}  // namespace winhttp
