#include "winhttp/transfer.h"

#include <cstdio>

#include "details/strings.h"

namespace winhttp {

using agent::WinHttpException;
using agent::details::starts_with_ascii_nocase;
using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

Transfer::~Transfer() {
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

void Transfer::fail(CURLcode code) const {
    throw WinHttpException(code, "curl_easy_perform");
}

void Transfer::check_cancelled() const {
    if (cancel->cancelled())
        fail(CURLE_ABORTED_BY_CALLBACK);
}

std::size_t Transfer::on_header(char* data, std::size_t size, std::size_t count, void* self) {
    static_cast<Transfer*>(self)->header_line(std::string_view(data, size * count));
    return size * count;
}

std::size_t Transfer::on_body(char* data, std::size_t size, std::size_t count, void* self) {
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

std::size_t Transfer::on_read(char* buffer, std::size_t size, std::size_t count, void* self) {
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

int Transfer::on_seek(void* self, curl_off_t offset, int origin) {
    auto* transfer = static_cast<Transfer*>(self);
    if (offset != 0 || origin != SEEK_SET)
        return CURL_SEEKFUNC_CANTSEEK;
    transfer->piece = 0;
    transfer->piece_offset = 0;
    return CURL_SEEKFUNC_OK;
}

void Transfer::header_line(std::string_view line) {
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

const Headers& Transfer::headers() const {
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

void Transfer::end_block() {
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

void Transfer::resume() {
    if (!paused)
        return;
    paused = false;
    CURLcode code = curl_easy_pause(easy.get(), CURLPAUSE_CONT);
    if (code != CURLE_OK)
        throw WinHttpException(code, "curl_easy_pause");
}

void Transfer::collect_done() {
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

void Transfer::build_wire_headers(bool posting) {
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

void Transfer::start() {
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

}  // namespace winhttp
