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

namespace winhttp {

using agent::WinHttpException;
using agent::details::starts_with_ascii_nocase;
using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

static_assert(TRANSFER_TIMED_OUT == CURLE_OPERATION_TIMEDOUT);

namespace {

// Redirects are followed as a browser would; a longer chain is the server's fault.
constexpr long MAX_REDIRECTS = 10;
// A pulled chunk stops growing past this; the rest waits in curl for the next pull, so a
// reader's buffer stays small and warm in the cache whatever the server sends at once.
constexpr std::size_t CHUNK_LIMIT = 64u << 10;
// Multi handles are kept for reuse: making one costs a socket pair (for the wakeup). Easy
// handles too: making and freeing one cost a quarter of a small request.
constexpr std::size_t MULTI_POOL_SIZE = 8;
constexpr std::size_t EASY_POOL_SIZE = 8;
// Origins of URL beginnings already cracked ("https://host:port" for "https://Host").
constexpr std::size_t ORIGIN_CACHE_SIZE = 64;

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ShareDeleter {
    void operator()(CURLSH* handle) const { curl_share_cleanup(handle); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct X509Deleter {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

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

template <typename T>
void setopt(CURL* easy, CURLoption option, T value) {
    CURLcode result = curl_easy_setopt(easy, option, value);
    if (result != CURLE_OK)
        throw WinHttpException(result, "curl_easy_setopt");
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

// The connection pool, DNS cache and TLS sessions of one proxy configuration; shared by
// every transfer of a client, which may run on several threads.
struct Share {
    Share() : handle(curl_share_init()) {
        if (!handle)
            throw agent::SystemException(ENOMEM, "curl_share_init");
        curl_share_setopt(handle.get(), CURLSHOPT_LOCKFUNC, &Share::lock);
        curl_share_setopt(handle.get(), CURLSHOPT_UNLOCKFUNC, &Share::unlock);
        curl_share_setopt(handle.get(), CURLSHOPT_USERDATA, this);
        for (curl_lock_data data : {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION}) {
            CURLSHcode code = curl_share_setopt(handle.get(), CURLSHOPT_SHARE, data);
            if (code != CURLSHE_OK)
                throw agent::SystemException(code, "curl_share_setopt");
        }
    }
    Share(const Share&) = delete;
    Share& operator=(const Share&) = delete;

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<Share*>(self)->mutexes[data].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<Share*>(self)->mutexes[data].unlock();
    }

    std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes;
    std::unique_ptr<CURLSH, ShareDeleter> handle;
};

// Certificates trusted besides the system store, added to each new TLS context.
struct CaBundle {
    std::vector<std::unique_ptr<X509, X509Deleter>> certificates;

    static CURLcode add_to_context(CURL*, void* ssl_ctx, void* self) {
        X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ssl_ctx));
        for (const auto& certificate : static_cast<const CaBundle*>(self)->certificates)
            X509_STORE_add_cert(store, certificate.get());
        // A certificate already in the store is reported as an error; it changes nothing.
        ERR_clear_error();
        return CURLE_OK;
    }
};

struct Connection {
    CrackedUrl url;
    ProxySettings proxy;  // what this origin goes through: NoProxy or NamedProxy
    // The proxy is the desktop's choice (its settings, PAC, WPAD), not one the user named:
    // the user's credentials go to it only once it has asked for them.
    bool chosen_by_desktop = false;
};

// An easy handle at rest, still attached to the share it last used.
struct IdleEasy {
    std::shared_ptr<Share> share;  // declared first, released last
    EasyHandle easy;
};

// The origin of the beginning of a URL, scheme and authority as written.
struct KnownOrigin {
    CrackedUrl url;  // path and extra left empty
    std::wstring origin;
};

struct Session {
    mutable std::mutex mutex;
    std::string user_agent;
    std::uint64_t timeout = 60;
    ProxySettings proxy;
    std::shared_ptr<Share> share;
    std::shared_ptr<const CaBundle> ca;
    std::map<std::wstring, Connection> connections;
    std::map<std::wstring, KnownOrigin, std::less<>> origins;

    std::mutex pool_mutex;
    std::vector<CURLM*> idle_multis;
    std::vector<IdleEasy> idle_easies;

    ~Session() {
        for (CURLM* multi : idle_multis)
            curl_multi_cleanup(multi);
    }

    // An easy handle with every option at its default, attached to the share. One that
    // rested on an older share (before a proxy change) is freed instead.
    EasyHandle take_easy(const std::shared_ptr<Share>& wanted) {
        std::vector<IdleEasy> stale;
        {
            std::lock_guard lock(pool_mutex);
            while (!idle_easies.empty()) {
                IdleEasy idle = std::move(idle_easies.back());
                idle_easies.pop_back();
                if (idle.share == wanted) {
                    // Options go back to their defaults; the share stays attached.
                    curl_easy_reset(idle.easy.get());
                    return std::move(idle.easy);
                }
                stale.push_back(std::move(idle));
            }
        }
        EasyHandle easy(curl_easy_init());
        if (!easy)
            throw WinHttpException(CURLE_FAILED_INIT, "curl_easy_init");
        setopt(easy.get(), CURLOPT_SHARE, wanted->handle.get());
        return easy;
    }

    void give_back(EasyHandle easy, std::shared_ptr<Share> used) {
        IdleEasy idle{std::move(used), std::move(easy)};
        std::lock_guard lock(pool_mutex);
        if (idle_easies.size() < EASY_POOL_SIZE)
            idle_easies.push_back(std::move(idle));
    }

    CURLM* take_multi() {
        {
            std::lock_guard lock(pool_mutex);
            if (!idle_multis.empty()) {
                CURLM* multi = idle_multis.back();
                idle_multis.pop_back();
                return multi;
            }
        }
        CURLM* multi = curl_multi_init();
        if (!multi)
            throw WinHttpException(CURLM_OUT_OF_MEMORY, "curl_multi_init");
        return multi;
    }

    void give_back(CURLM* multi) {
        std::lock_guard lock(pool_mutex);
        if (idle_multis.size() < MULTI_POOL_SIZE) {
            idle_multis.push_back(multi);
            return;
        }
        curl_multi_cleanup(multi);
    }
};

// Everything of one request and its response: the easy handle, the multi handle that
// drives it on the caller's thread, the body to send and the answer as it arrives.
struct Transfer {
    // Declared first, destroyed last: the easy handle refers to them.
    std::shared_ptr<Session> session;
    std::shared_ptr<Share> share;
    std::shared_ptr<const CaBundle> ca;

    std::shared_ptr<CancelHandle> cancel = std::make_shared<CancelHandle>();
    EasyHandle easy;
    CURLM* multi = nullptr;
    bool attached = false;
    Slist wire_headers;

    std::string url;
    int method = METHOD_GET;
    std::chrono::milliseconds timeout{60000};  // of silence; 0: none
    Headers request_headers;
    bool received = false;

    // Body writes, each one piece; when we frame chunks ourselves the framing is inside.
    std::vector<std::string> pieces;
    std::size_t piece = 0;
    std::size_t piece_offset = 0;
    bool self_framed = false;

    // The answer. Header blocks of 1xx answers and followed redirects are dropped.
    bool headers_done = false;
    bool finished = false;
    CURLcode result = CURLE_OK;
    std::uint32_t status = 0;
    // Header lines are kept as they came ("name:value\n" each) and made into the wide
    // collection only when someone asks for it: most callers only want the status.
    std::string response_lines;
    mutable Headers response_headers;
    mutable bool headers_built = false;
    std::uint32_t block_status = 0;
    std::string block_lines;
    bool block_has_location = false;
    bool block_asks_proxy_auth = false;
    long redirects = 0;
    // A proxy the desktop chose gets the credentials only after its first 407: curl then
    // asks again by itself, and that first answer is not the response.
    bool proxy_auth_retry = false;

    // Body bytes go straight into the reader's buffer. Bytes that come before anyone reads
    // (a small body arrives with its headers) are kept here up to CHUNK_LIMIT; past that
    // they are left with curl: the transfer pauses until a reader comes.
    std::string early;
    bool paused = false;
    std::string* chunk_sink = nullptr;
    std::vector<std::uint8_t>* body_sink = nullptr;
    std::size_t body_limit = 0;
    bool body_over_limit = false;
    bool progressed = false;

    Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    ~Transfer() {
        if (multi != nullptr) {
            {
                std::lock_guard lock(cancel->mutex_);
                cancel->multi_ = nullptr;
            }
            if (attached)
                curl_multi_remove_handle(multi, easy.get());
            session->give_back(multi);
        }
        if (easy)
            session->give_back(std::move(easy), share);
    }

    [[noreturn]] void fail(CURLcode code) const { throw WinHttpException(code, "curl_easy_perform"); }

    void check_cancelled() const {
        if (cancel->cancelled())
            fail(CURLE_ABORTED_BY_CALLBACK);
    }

    static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self) {
        static_cast<Transfer*>(self)->header_line(std::string_view(data, size * count));
        return size * count;
    }

    static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self) {
        auto* transfer = static_cast<Transfer*>(self);
        const std::size_t length = size * count;
        transfer->progressed = true;
        // Bodies of dropped header blocks (redirects) are not the caller's.
        if (!transfer->headers_done)
            return length;
        if (transfer->body_sink != nullptr) {
            if (length > transfer->body_limit - transfer->body_sink->size()) {
                // Nothing more is taken: returning less than given ends the transfer.
                transfer->body_over_limit = true;
                return 0;
            }
            transfer->body_sink->insert(transfer->body_sink->end(), data, data + length);
        } else if (transfer->chunk_sink != nullptr && transfer->chunk_sink->size() < CHUNK_LIMIT) {
            transfer->chunk_sink->append(data, length);
        } else if (transfer->chunk_sink == nullptr && !transfer->paused &&
                   transfer->early.size() + length <= CHUNK_LIMIT) {
            transfer->early.append(data, length);
        } else {
            transfer->paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        return length;
    }

    static std::size_t on_read(char* buffer, std::size_t size, std::size_t count, void* self) {
        auto* transfer = static_cast<Transfer*>(self);
        transfer->progressed = true;
        const std::size_t room = size * count;
        while (transfer->piece < transfer->pieces.size()) {
            const std::string& current = transfer->pieces[transfer->piece];
            const std::size_t left = current.size() - transfer->piece_offset;
            if (left == 0) {
                ++transfer->piece;
                transfer->piece_offset = 0;
                continue;
            }
            // One piece per call: curl makes each call's bytes one chunk when it frames.
            const std::size_t n = std::min(left, room);
            std::copy_n(current.data() + transfer->piece_offset, n, buffer);
            transfer->piece_offset += n;
            return n;
        }
        return 0;
    }

    static int on_seek(void* self, curl_off_t offset, int origin) {
        auto* transfer = static_cast<Transfer*>(self);
        if (offset != 0 || origin != SEEK_SET)
            return CURL_SEEKFUNC_CANTSEEK;
        transfer->piece = 0;
        transfer->piece_offset = 0;
        return CURL_SEEKFUNC_OK;
    }

    void header_line(std::string_view line) {
        progressed = true;
        if (headers_done)
            return;  // trailers of a chunked body
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.remove_suffix(1);
        if (starts_with_ascii_nocase(line, "HTTP/")) {
            block_lines.clear();
            block_has_location = false;
            block_asks_proxy_auth = false;
            block_status = 0;
            std::size_t blank = line.find(' ');
            if (blank != std::string_view::npos) {
                unsigned value = 0;
                std::size_t i = blank + 1;
                for (; i < line.size() && i < blank + 4 && line[i] >= '0' && line[i] <= '9'; ++i)
                    value = value * 10 + static_cast<unsigned>(line[i] - '0');
                block_status = value;
            }
            return;
        }
        if (line.empty()) {
            end_block();
            return;
        }
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return;
        std::string_view name = line.substr(0, colon);
        if (name.size() == 8 && starts_with_ascii_nocase(name, "location"))
            block_has_location = true;
        if (name.size() == 18 && starts_with_ascii_nocase(name, "proxy-authenticate"))
            block_asks_proxy_auth = true;
        block_lines.append(line).push_back('\n');
    }

    const Headers& headers() const {
        if (headers_built)
            return response_headers;
        std::string_view rest(response_lines);
        while (!rest.empty()) {
            const std::size_t end = rest.find('\n');
            const std::string_view line = rest.substr(0, end);
            rest.remove_prefix(end + 1);
            const std::size_t colon = line.find(':');
            set_header(response_headers, utf8_to_wide(line.substr(0, colon)), utf8_to_wide(line.substr(colon + 1)),
                       WINHTTP_ADDREQ_FLAG_ADD_IF_NEW);
        }
        headers_built = true;
        return response_headers;
    }

    void end_block() {
        if (block_status >= 100 && block_status < 200)
            return;
        if (block_status == 407 && block_asks_proxy_auth && proxy_auth_retry) {
            proxy_auth_retry = false;
            return;
        }
        // curl goes on to the Location of a 3xx answer (but 304) by itself.
        if (block_status >= 300 && block_status < 400 && block_status != 304 && block_has_location &&
            redirects < MAX_REDIRECTS) {
            ++redirects;
            return;
        }
        status = block_status;
        response_lines = std::move(block_lines);
        headers_done = true;
    }

    // Hands the bytes curl kept while paused to the sink now set, and lets the transfer go on.
    void resume() {
        if (!paused)
            return;
        paused = false;
        CURLcode code = curl_easy_pause(easy.get(), CURLPAUSE_CONT);
        if (code != CURLE_OK)
            throw WinHttpException(code, "curl_easy_pause");
    }

    void collect_done() {
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE || message->easy_handle != easy.get())
                continue;
            finished = true;
            result = message->data.result;
        }
        if (!finished || headers_done)
            return;
        // The transfer ended before a final header block: a proxy that refused the tunnel
        // has answered the CONNECT itself, and that answer is the response.
        long connect_code = 0;
        curl_easy_getinfo(easy.get(), CURLINFO_HTTP_CONNECTCODE, &connect_code);
        if (result != CURLE_OK && connect_code >= 300) {
            status = static_cast<std::uint32_t>(connect_code);
            response_lines.clear();
            headers_done = true;
            result = CURLE_OK;
            return;
        }
        if (result == CURLE_OK) {
            long code = 0;
            curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &code);
            status = static_cast<std::uint32_t>(code);
            response_lines = std::move(block_lines);
            headers_done = true;
        }
    }

    // Runs the transfer until `ready` holds or it ends; throws on cancel, on silence longer
    // than the timeout, and on failures of the multi interface.
    template <typename Ready>
    void drive(Ready ready) {
        using clock = std::chrono::steady_clock;
        auto last_progress = clock::now();
        for (;;) {
            check_cancelled();
            progressed = false;
            int running = 0;
            CURLMcode code = curl_multi_perform(multi, &running);
            if (code != CURLM_OK)
                throw WinHttpException(code, "curl_multi_perform");
            collect_done();
            if (finished || ready())
                return;
            const auto now = clock::now();
            if (progressed)
                last_progress = now;
            int wait_ms = 1000;
            if (timeout.count() > 0) {
                const auto limit = last_progress + timeout;
                if (now >= limit)
                    fail(CURLE_OPERATION_TIMEDOUT);
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - now).count() + 1;
                wait_ms = static_cast<int>(std::min<long long>(left, 1000));
            }
            code = curl_multi_poll(multi, nullptr, 0, wait_ms, nullptr);
            if (code != CURLM_OK)
                throw WinHttpException(code, "curl_multi_poll");
        }
    }

    void build_wire_headers(bool posting) {
        const bool chunked = request_headers.count(L"Transfer-Encoding") != 0;
        std::uint64_t written = 0;
        for (const std::string& piece_text : pieces)
            written += piece_text.size();
        Slist list;
        auto append = [&list](const std::string& line) {
            curl_slist* grown = curl_slist_append(list.get(), line.c_str());
            if (!grown)
                throw WinHttpException(CURLE_OUT_OF_MEMORY, "curl_slist_append");
            list.release();
            list.reset(grown);
        };
        for (const auto& [name, value] : request_headers) {
            std::string name_text = wide_to_utf8(name);
            std::string value_text = wide_to_utf8(value);
            if (name_text.empty() || name_text.find_first_of(":\r\n") != std::string::npos ||
                value_text.find_first_of("\r\n") != std::string::npos)
                throw WinHttpException(CURLE_BAD_FUNCTION_ARGUMENT, "curl_slist_append");
            // The announced length goes out only when it is the length really sent; curl
            // announces the true one otherwise.
            if (name == L"Content-Length" &&
                (chunked || announced_length(request_headers) != written || (!posting && written != 0)))
                continue;
            // "Name;" is curl's way of sending a header with an empty value.
            append(value_text.empty() ? name_text + ";" : name_text + ":" + value_text);
        }
        // Headers curl would add on its own that the caller did not ask for.
        if (request_headers.count(L"Accept") == 0)
            append("Accept:");
        if (request_headers.count(L"Expect") == 0)
            append("Expect:");
        if (posting && request_headers.count(L"Content-Type") == 0)
            append("Content-Type:");
        wire_headers = std::move(list);
    }

    void start() {
        const bool has_body = !pieces.empty();
        const bool posting = has_body || method == METHOD_POST || method == METHOD_PUT;
        if (request_headers.count(L"Transfer-Encoding") != 0) {
            // curl frames each piece itself when the coding names "chunked"; any other coding
            // gets the same framing from us, sent as it is.
            const std::string coding = wide_to_utf8(agent::details::to_lower_ascii(request_headers[L"Transfer-Encoding"]));
            if (coding.find("chunked") == std::string::npos) {
                self_framed = true;
                for (std::string& piece_text : pieces) {
                    char size[24];
                    std::snprintf(size, sizeof size, "%zx\r\n", piece_text.size());
                    piece_text = size + piece_text + "\r\n";
                }
                pieces.emplace_back("0\r\n\r\n");
            }
        }
        build_wire_headers(posting);
        CURL* handle = easy.get();
        setopt(handle, CURLOPT_HTTPHEADER, wire_headers.get());
        const char* verb = method_verb(method);
        if (method == METHOD_HEAD && !has_body) {
            setopt(handle, CURLOPT_NOBODY, 1L);
        } else if (posting) {
            const bool chunked = request_headers.count(L"Transfer-Encoding") != 0;
            curl_off_t total = 0;
            for (const std::string& piece_text : pieces)
                total += static_cast<curl_off_t>(piece_text.size());
            setopt(handle, CURLOPT_POST, 1L);
            setopt(handle, CURLOPT_READFUNCTION, &Transfer::on_read);
            setopt(handle, CURLOPT_READDATA, this);
            setopt(handle, CURLOPT_SEEKFUNCTION, &Transfer::on_seek);
            setopt(handle, CURLOPT_SEEKDATA, this);
            setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, chunked ? curl_off_t{-1} : total);
            if (method != METHOD_POST)
                setopt(handle, CURLOPT_CUSTOMREQUEST, verb);
        } else if (method != METHOD_GET) {
            setopt(handle, CURLOPT_CUSTOMREQUEST, verb);
        }
        if (timeout.count() > 0)
            setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min<std::int64_t>(timeout.count(), 0x7fffffff)));
        multi = session->take_multi();
        {
            std::lock_guard lock(cancel->mutex_);
            cancel->multi_ = multi;
        }
        CURLMcode code = curl_multi_add_handle(multi, handle);
        if (code != CURLM_OK)
            throw WinHttpException(code, "curl_multi_add_handle");
        attached = true;
    }
};

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
