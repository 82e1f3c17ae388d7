#pragma once

// Inside the transport only: one request on the wire (Transfer) and what the client's
// transfers share (the session with its pools, connection shares and trusted certificates).

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "details/exception.h"
#include "winhttp/simple_client.h"

namespace winhttp {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ShareDeleter {
    void operator()(CURLSH* handle) const { curl_share_cleanup(handle); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct X509Deleter {
    void operator()(X509* cert) const { X509_free(cert); }
};

using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

template <typename T>
void setopt(CURL* easy, CURLoption option, T value) {
    CURLcode result = curl_easy_setopt(easy, option, value);
    if (result != CURLE_OK)
        throw agent::WinHttpException(result, "curl_easy_setopt");
}

// Redirects are followed as a browser would; a longer chain is the server's fault.
constexpr long MAX_REDIRECTS = 10;
// A pulled chunk stops growing past this; the rest waits in curl for the next pull, so a
// reader's buffer stays small and warm in the cache whatever the server sends at once.
constexpr std::size_t CHUNK_LIMIT = 64u << 10;
// Multi handles are kept for reuse: making one costs a socket pair (for the wakeup). Easy
// handles too: making and freeing one cost a quarter of a small request.
constexpr std::size_t MULTI_POOL_SIZE = 8;
constexpr std::size_t EASY_POOL_SIZE = 8;

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
            throw agent::WinHttpException(CURLE_FAILED_INIT, "curl_easy_init");
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
            throw agent::WinHttpException(CURLM_OUT_OF_MEMORY, "curl_multi_init");
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
    // The handles go back to the session's pools.
    ~Transfer();

    [[noreturn]] void fail(CURLcode code) const;
    void check_cancelled() const;

    // curl's callbacks; `self` is the transfer.
    static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t on_read(char* buffer, std::size_t size, std::size_t count, void* self);
    static int on_seek(void* self, curl_off_t offset, int origin);

    void header_line(std::string_view line);
    const Headers& headers() const;
    void end_block();
    // Hands the bytes curl kept while paused to the sink now set, and lets the transfer go on.
    void resume();
    void collect_done();

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
                throw agent::WinHttpException(code, "curl_multi_perform");
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
                throw agent::WinHttpException(code, "curl_multi_poll");
        }
    }

    void build_wire_headers(bool posting);
    void start();
};

}  // namespace winhttp
