// The HTTP client against plain libcurl doing the same work on the same local server, side
// by side in each iteration. The targets are about "ratio":
//   SequentialSmallGets  client time / curl time        target <= 1.2 (median of paired
//                        batches, quartiles in ratio_p25/ratio_p75; cpu_ratio the same in
//                        CPU time of the calling thread)
// For the other two, "ratio" compares the best run of each side (the least disturbed on a
// shared machine) and "ratio_total" the sums:
//   LargeBody            client / curl throughput       target >= 0.9
//   StreamedChunks       client / curl throughput       target >= 0.8, allocs_per_read ~ 0

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdlib>
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
// clients are what is measured. One thread serves every connection: with a thread per
// connection, curl's connection and the client's were served by different threads, and
// whether each of them ran on the benchmark thread's CPU (a direct switch) or on the other
// one (a cross-CPU wake-up, four times slower on this machine) decided the ratio of a whole
// run, 0.5 one run and 3 the next. The benchmarks are sequential, so answering a large body
// with blocking sends keeps no other side waiting.
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
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~BenchServer() {
        const char byte = 0;
        (void)!::write(stop_[1], &byte, 1);
        thread_.join();
        for (const Peer& peer : peers_)
            ::close(peer.fd);
        ::close(listener_);
        ::close(stop_[0]);
        ::close(stop_[1]);
    }

    int accepted() const { return accepted_.load(); }
    std::string url(const char* path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::wstring wide_url(const char* path) const {
        std::string text = url(path);
        return std::wstring(text.begin(), text.end());
    }

private:
    struct Peer {
        int fd;
        std::string buffer;
    };

    static void send_all(int fd, const char* data, std::size_t size) {
        while (size > 0) {
            ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
            if (sent <= 0)
                return;
            data += sent;
            size -= static_cast<std::size_t>(sent);
        }
    }

    void serve() {
        std::vector<pollfd> polled;
        for (;;) {
            polled.assign({{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}});
            for (const Peer& peer : peers_)
                polled.push_back({peer.fd, POLLIN, 0});
            if (::poll(polled.data(), polled.size(), -1) < 0)
                continue;
            if (polled[0].revents != 0)
                return;
            // Peers first: the indexes of `polled` follow `peers_` as it is now.
            for (std::size_t i = polled.size(); i-- > 2;) {
                if (polled[i].revents != 0 && !answer(peers_[i - 2])) {
                    ::close(peers_[i - 2].fd);
                    peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(i - 2));
                }
            }
            if (polled[1].revents != 0) {
                const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    ++accepted_;
                    peers_.push_back({fd, {}});
                }
            }
        }
    }

    // Reads what arrived and answers every complete request; false when the peer is gone.
    bool answer(Peer& peer) {
        char data[4096];
        const ssize_t got = ::recv(peer.fd, data, sizeof data, 0);
        if (got <= 0)
            return false;
        peer.buffer.append(data, static_cast<std::size_t>(got));
        std::size_t end;
        while ((end = peer.buffer.find("\r\n\r\n")) != std::string::npos) {
            const bool large = peer.buffer.compare(0, 9, "GET /big ") == 0;
            const bool chunks = peer.buffer.compare(0, 12, "GET /chunks ") == 0;
            peer.buffer.erase(0, end + 4);
            if (large) {
                send_all(peer.fd, large_head_.data(), large_head_.size());
                for (std::size_t sent = 0; sent < LARGE_BODY; sent += block_.size())
                    send_all(peer.fd, block_.data(), block_.size());
            } else if (chunks) {
                send_all(peer.fd, chunks_.data(), chunks_.size());
            } else {
                send_all(peer.fd, small_.data(), small_.size());
            }
        }
        return true;
    }

    std::string small_, large_head_, block_, chunks_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<int> accepted_{0};
    std::vector<Peer> peers_;  // the serving thread's own
    std::thread thread_;
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

// Wall and CPU time of one batch of one side.
struct BatchTime {
    double wall = 0;
    double cpu = 0;
};

template <typename Work>
BatchTime timed(Work work) {
    const double cpu = thread_cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    work();
    return {seconds_since(start), thread_cpu_seconds() - cpu};
}

// Out of line, so that callgrind can count the instructions of each side alone:
//   valgrind --tool=callgrind --toggle-collect='*curl_small_gets*' bench-transport ...
[[gnu::noinline]] void curl_small_gets(CURL* curl, std::vector<std::uint8_t>& sink, int count, benchmark::State& state) {
    for (int i = 0; i < count; ++i) {
        sink.clear();
        if (curl_easy_perform(curl) != CURLE_OK)
            state.SkipWithError("curl failed");
    }
}

[[gnu::noinline]] void client_small_gets(winhttp::SimpleClient& client, const std::wstring& url, int count) {
    for (int i = 0; i < count; ++i) {
        std::vector<std::uint8_t> body = client.open_request(url, winhttp::METHOD_GET).receive().read_body();
        benchmark::DoNotOptimize(body.data());
    }
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double at = fraction * static_cast<double>(values.size() - 1);
    const auto low = static_cast<std::size_t>(at);
    const std::size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (at - static_cast<double>(low));
}

// Each iteration is 1000 GETs per side in 50 batches of 20. The two sides alternate batch
// by batch, and which one goes first alternates too, so that each client batch has a curl
// batch beside it run under the same conditions; the figures are medians of those pairs,
// with the quartiles as their spread. CPU time (of the benchmark thread only) is what the
// work costs whatever the scheduler does with the server's wake-ups.
void SequentialSmallGets(benchmark::State& state) {
    constexpr int BATCHES = 50;
    constexpr int PER_BATCH = SMALL_GETS / BATCHES;
    const std::string url = server().url("/v1/channels");
    const std::wstring wide = server().wide_url("/v1/channels");
    auto client = direct_client();
    Curl curl;
    std::vector<std::uint8_t> sink;
    curl_easy_setopt(curl.handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.handle, CURLOPT_WRITEFUNCTION, &append_to_vector);
    curl_easy_setopt(curl.handle, CURLOPT_WRITEDATA, &sink);
    // Both connect before anything is timed.
    curl_small_gets(curl.handle, sink, 1, state);
    client_small_gets(*client, wide, 1);

    std::vector<double> curl_wall, client_wall, wall_ratio, cpu_ratio, curl_cpu, client_cpu;
    bool curl_first = true;
    for (auto _ : state) {
        double elapsed = 0;
        for (int batch = 0; batch < BATCHES; ++batch) {
            BatchTime curl_time, client_time;
            auto run_curl = [&] { curl_time = timed([&] { curl_small_gets(curl.handle, sink, PER_BATCH, state); }); };
            auto run_client = [&] { client_time = timed([&] { client_small_gets(*client, wide, PER_BATCH); }); };
            if (curl_first) {
                run_curl();
                run_client();
            } else {
                run_client();
                run_curl();
            }
            curl_first = !curl_first;
            elapsed += client_time.wall;
            curl_wall.push_back(curl_time.wall);
            client_wall.push_back(client_time.wall);
            curl_cpu.push_back(curl_time.cpu);
            client_cpu.push_back(client_time.cpu);
            wall_ratio.push_back(client_time.wall / curl_time.wall);
            cpu_ratio.push_back(curl_time.cpu > 0 ? client_time.cpu / curl_time.cpu : 0);
        }
        state.SetIterationTime(elapsed);
    }
    const double per_1000 = 1000.0 * 1000.0 / PER_BATCH;  // batch seconds -> ms per 1000 GETs
    state.counters["curl_ms_per_1000"] = percentile(curl_wall, 0.5) * per_1000;
    state.counters["client_ms_per_1000"] = percentile(client_wall, 0.5) * per_1000;
    state.counters["curl_cpu_ms_per_1000"] = percentile(curl_cpu, 0.5) * per_1000;
    state.counters["client_cpu_ms_per_1000"] = percentile(client_cpu, 0.5) * per_1000;
    state.counters["ratio"] = percentile(wall_ratio, 0.5);
    state.counters["ratio_p25"] = percentile(wall_ratio, 0.25);
    state.counters["ratio_p75"] = percentile(wall_ratio, 0.75);
    state.counters["cpu_ratio"] = percentile(cpu_ratio, 0.5);
    state.counters["cpu_ratio_p25"] = percentile(cpu_ratio, 0.25);
    state.counters["cpu_ratio_p75"] = percentile(cpu_ratio, 0.75);
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
