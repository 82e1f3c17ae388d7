// The HTTP client against plain libcurl doing the same work on the same local server, side
// by side in each iteration. "ratio" compares the best run of each side (the least disturbed
// on a shared machine), "ratio_total" the sums; the targets are about "ratio":
//   SequentialSmallGets  client time / curl time        target <= 1.2
//   LargeBody            client / curl throughput       target >= 0.9
//   StreamedChunks       client / curl throughput       target >= 0.8, allocs_per_read ~ 0

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "winhttp/simple_client.h"

#include "alloc_counter.h"

namespace {

constexpr std::size_t LARGE_BODY = 200u << 20;
constexpr int SMALL_GETS = 1000;
constexpr int STREAM_CHUNKS = 100000;

// A keep-alive HTTP/1.1 server on 127.0.0.1 with prepared answers, fast enough that the
// clients are what is measured.
class BenchServer {
public:
    BenchServer() {
        small_ = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
        large_head_ = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(LARGE_BODY) + "\r\n\r\n";
        block_.assign(1u << 20, 'x');
        chunks_ = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
        for (int i = 0; i < STREAM_CHUNKS; ++i)
            chunks_ += "14\r\nevent: heartbeat\n\n\n\n\r\n";
        chunks_ += "0\r\n\r\n";

        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 64) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] {
            for (;;) {
                int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0)
                    return;
                ++accepted_;
                std::lock_guard lock(mutex_);
                fds_.push_back(fd);
                workers_.emplace_back([this, fd] { serve(fd); });
            }
        });
    }

    ~BenchServer() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        acceptor_.join();
        std::lock_guard lock(mutex_);
        for (int fd : fds_)
            ::shutdown(fd, SHUT_RDWR);
        for (std::thread& worker : workers_)
            worker.join();
        for (int fd : fds_)
            ::close(fd);
    }

    int accepted() const { return accepted_.load(); }
    std::string url(const char* path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::wstring wide_url(const char* path) const {
        std::string text = url(path);
        return std::wstring(text.begin(), text.end());
    }

private:
    void send_all(int fd, const char* data, std::size_t size) {
        while (size > 0) {
            ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
            if (sent <= 0)
                return;
            data += sent;
            size -= static_cast<std::size_t>(sent);
        }
    }

    void serve(int fd) {
        std::string buffer;
        char data[4096];
        for (;;) {
            std::size_t end;
            while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
                ssize_t got = ::recv(fd, data, sizeof data, 0);
                if (got <= 0)
                    return;
                buffer.append(data, static_cast<std::size_t>(got));
            }
            const bool large = buffer.compare(0, 9, "GET /big ") == 0;
            const bool chunks = buffer.compare(0, 12, "GET /chunks ") == 0;
            buffer.erase(0, end + 4);
            if (large) {
                send_all(fd, large_head_.data(), large_head_.size());
                for (std::size_t sent = 0; sent < LARGE_BODY; sent += block_.size())
                    send_all(fd, block_.data(), block_.size());
            } else if (chunks) {
                send_all(fd, chunks_.data(), chunks_.size());
            } else {
                send_all(fd, small_.data(), small_.size());
            }
        }
    }

    std::string small_, large_head_, block_, chunks_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> accepted_{0};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::vector<int> fds_;
};

BenchServer& server() {
    static BenchServer instance;
    return instance;
}

std::shared_ptr<winhttp::SimpleClient> direct_client() {
    winhttp::ProxySettings settings;
    settings.mode = winhttp::NoProxy;
    return winhttp::SimpleClient::create(L"bench", settings);
}

struct Curl {
    Curl() : handle(curl_easy_init()) {
        curl_easy_setopt(handle, CURLOPT_PROXY, "");
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_USERAGENT, "bench");
    }
    ~Curl() { curl_easy_cleanup(handle); }
    Curl(const Curl&) = delete;
    Curl& operator=(const Curl&) = delete;
    CURL* handle;
};

std::size_t append_to_vector(char* data, std::size_t size, std::size_t count, void* target) {
    auto* body = static_cast<std::vector<std::uint8_t>*>(target);
    body->insert(body->end(), data, data + size * count);
    return size * count;
}

// What a stream reader does with each piece: take it into its reused buffer.
std::size_t take_chunk(char* data, std::size_t size, std::size_t count, void* target) {
    auto* chunk = static_cast<std::string*>(target);
    chunk->assign(data, size * count);
    benchmark::DoNotOptimize(chunk->data());
    return size * count;
}

// CPU time of the calling thread: what the work costs, whatever else the machine runs.
double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void SequentialSmallGets(benchmark::State& state) {
    const std::string url = server().url("/v1/channels");
    const std::wstring wide = server().wide_url("/v1/channels");
    auto client = direct_client();
    Curl curl;
    std::vector<std::uint8_t> sink;
    curl_easy_setopt(curl.handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.handle, CURLOPT_WRITEFUNCTION, &append_to_vector);
    curl_easy_setopt(curl.handle, CURLOPT_WRITEDATA, &sink);
    double curl_time = 0, client_time = 0;
    // The two alternate in batches of 100 so that a busy machine slows both alike; the
    // fastest batch of each side is the least disturbed measure of its own cost.
    double best_curl = 1e9, best_client = 1e9;
    for (auto _ : state) {
        double elapsed = 0;
        for (int batch = 0; batch < SMALL_GETS / 100; ++batch) {
            auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < 100; ++i) {
                sink.clear();
                if (curl_easy_perform(curl.handle) != CURLE_OK)
                    state.SkipWithError("curl failed");
            }
            const double curl_batch = seconds_since(start);
            curl_time += curl_batch;
            best_curl = std::min(best_curl, curl_batch);

            start = std::chrono::steady_clock::now();
            for (int i = 0; i < 100; ++i) {
                std::vector<std::uint8_t> body = client->open_request(wide, winhttp::METHOD_GET).receive().read_body();
                benchmark::DoNotOptimize(body.data());
            }
            const double client_batch = seconds_since(start);
            elapsed += client_batch;
            best_client = std::min(best_client, client_batch);
        }
        client_time += elapsed;
        state.SetIterationTime(elapsed);
    }
    state.counters["curl_ms_per_1000"] = curl_time * 1000 / static_cast<double>(state.iterations());
    state.counters["client_ms_per_1000"] = client_time * 1000 / static_cast<double>(state.iterations());
    state.counters["ratio_total"] = client_time / curl_time;
    state.counters["ratio"] = best_client / best_curl;
    // Two connections in all: one for curl, one for the client.
    state.counters["tcp_connections"] = server().accepted();
}

void LargeBody(benchmark::State& state) {
    const std::string url = server().url("/big");
    const std::wstring wide = server().wide_url("/big");
    auto client = direct_client();
    Curl curl;
    std::vector<std::uint8_t> sink;
    curl_easy_setopt(curl.handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.handle, CURLOPT_WRITEFUNCTION, &append_to_vector);
    curl_easy_setopt(curl.handle, CURLOPT_WRITEDATA, &sink);
    double curl_time = 0, client_time = 0, best_curl = 1e9, best_client = 1e9;
    double curl_cpu = 0, client_cpu = 0;
    for (auto _ : state) {
        // Both collect the body into a fresh vector sized from the announced length.
        double cpu = thread_cpu_seconds();
        auto start = std::chrono::steady_clock::now();
        sink = std::vector<std::uint8_t>();
        sink.reserve(LARGE_BODY);
        if (curl_easy_perform(curl.handle) != CURLE_OK || sink.size() != LARGE_BODY)
            state.SkipWithError("curl failed");
        const double curl_once = seconds_since(start);
        curl_cpu += thread_cpu_seconds() - cpu;
        curl_time += curl_once;
        best_curl = std::min(best_curl, curl_once);
        sink = std::vector<std::uint8_t>();

        cpu = thread_cpu_seconds();
        start = std::chrono::steady_clock::now();
        std::vector<std::uint8_t> body = client->open_request(wide, winhttp::METHOD_GET).receive().read_body();
        const double elapsed = seconds_since(start);
        client_cpu += thread_cpu_seconds() - cpu;
        if (body.size() != LARGE_BODY)
            state.SkipWithError("client read a short body");
        client_time += elapsed;
        best_client = std::min(best_client, elapsed);
        state.SetIterationTime(elapsed);
    }
    const double megabytes = static_cast<double>(LARGE_BODY) / (1 << 20) * static_cast<double>(state.iterations());
    state.counters["curl_MB_per_s"] = megabytes / curl_time;
    state.counters["client_MB_per_s"] = megabytes / client_time;
    state.counters["ratio_total"] = curl_time / client_time;
    state.counters["ratio"] = best_curl / best_client;
    state.counters["cpu_ratio"] = curl_cpu / client_cpu;
}

void StreamedChunks(benchmark::State& state) {
    const std::string url = server().url("/chunks");
    const std::wstring wide = server().wide_url("/chunks");
    auto client = direct_client();
    Curl curl;
    std::string curl_chunk;
    curl_easy_setopt(curl.handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.handle, CURLOPT_WRITEFUNCTION, &take_chunk);
    curl_easy_setopt(curl.handle, CURLOPT_WRITEDATA, &curl_chunk);
    double curl_time = 0, client_time = 0, best_curl = 1e9, best_client = 1e9;
    double curl_cpu = 0, client_cpu = 0;
    long reads = 0, allocations_in_reads = 0;
    std::size_t bytes = 0;
    std::string chunk;
    for (auto _ : state) {
        double cpu = thread_cpu_seconds();
        auto start = std::chrono::steady_clock::now();
        if (curl_easy_perform(curl.handle) != CURLE_OK)
            state.SkipWithError("curl failed");
        curl_cpu += thread_cpu_seconds() - cpu;
        const double curl_once = seconds_since(start);
        curl_time += curl_once;
        best_curl = std::min(best_curl, curl_once);

        cpu = thread_cpu_seconds();
        start = std::chrono::steady_clock::now();
        winhttp::Request request = client->open_request(wide, winhttp::METHOD_GET);
        request.set_timeouts(0);
        winhttp::Response response = request.receive();
        const long before = allocation_count();
        while (response.read_chunk(chunk)) {
            ++reads;
            bytes += chunk.size();
        }
        allocations_in_reads += allocation_count() - before;
        const double elapsed = seconds_since(start);
        client_cpu += thread_cpu_seconds() - cpu;
        client_time += elapsed;
        best_client = std::min(best_client, elapsed);
        state.SetIterationTime(elapsed);
    }
    if (bytes != static_cast<std::size_t>(state.iterations()) * STREAM_CHUNKS * 20)
        state.SkipWithError("client read a wrong amount");
    state.counters["curl_ms"] = curl_time * 1000 / static_cast<double>(state.iterations());
    state.counters["client_ms"] = client_time * 1000 / static_cast<double>(state.iterations());
    state.counters["ratio_total"] = curl_time / client_time;
    state.counters["ratio"] = best_curl / best_client;
    state.counters["cpu_ratio"] = curl_cpu / client_cpu;
    state.counters["reads"] = static_cast<double>(reads) / static_cast<double>(state.iterations());
    state.counters["allocs_per_read"] = static_cast<double>(allocations_in_reads) / static_cast<double>(reads);
}

}  // namespace

BENCHMARK(SequentialSmallGets)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(LargeBody)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(StreamedChunks)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(40);

BENCHMARK_MAIN();
