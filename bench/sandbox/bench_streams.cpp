// Push-to-delivery latency of the stand-in provider with many open message streams.
//
// One server in this process holds kStreams streams of the demo user, opened by a client
// that reads them all from one epoll loop (raw sockets, so that the client costs little of
// the machine's two cores). Each iteration pushes one message and waits until every stream
// has received it; the time from the push to each stream's arrival is one sample. The
// counters report the median and the 99th percentile over all samples.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "sandbox_server.h"

namespace {

using Clock = std::chrono::steady_clock;

class StreamClients {
public:
    StreamClients(std::uint16_t port, const std::string& sid, int count) : epoll_(::epoll_create1(0)) {
        const std::string request = "GET /api/v1/messages/stream HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                    "Authorization: varnel.sid " + sid + "\r\n\r\n";
        for (int i = 0; i < count; ++i) {
            const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                throw std::runtime_error("connect failed");
            if (::send(socket, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
                throw std::runtime_error("send failed");
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u32 = static_cast<std::uint32_t>(sockets_.size());
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, socket, &event);
            sockets_.push_back(socket);
        }
        received_.resize(sockets_.size());
        arrival_.resize(sockets_.size());
        // Every stream has its answer's headers before the measurement starts.
        wait_for_all("HTTP/1.1 200", std::chrono::seconds(30));
    }
    ~StreamClients() {
        for (int socket : sockets_)
            ::close(socket);
        ::close(epoll_);
    }
    StreamClients(const StreamClients&) = delete;
    StreamClients& operator=(const StreamClients&) = delete;

    // Reads until every stream holds `marker`; records when each one got it.
    void wait_for_all(const std::string& marker, std::chrono::seconds timeout) {
        std::vector<bool> done(sockets_.size(), false);
        std::size_t remaining = sockets_.size();
        for (std::size_t i = 0; i < sockets_.size(); ++i)
            if (received_[i].find(marker) != std::string::npos) {
                done[i] = true;
                arrival_[i] = Clock::now();
                --remaining;
            }
        const auto deadline = Clock::now() + timeout;
        epoll_event events[256];
        char buffer[16384];
        while (remaining > 0) {
            if (Clock::now() > deadline)
                throw std::runtime_error("streams did not all receive " + marker);
            const int ready = ::epoll_wait(epoll_, events, 256, 1000);
            const auto now = Clock::now();
            for (int e = 0; e < ready; ++e) {
                const std::uint32_t i = events[e].data.u32;
                const ssize_t got = ::recv(sockets_[i], buffer, sizeof buffer, MSG_DONTWAIT);
                if (got == 0)
                    throw std::runtime_error("a stream was closed");
                if (got < 0)
                    continue;
                received_[i].append(buffer, static_cast<std::size_t>(got));
                if (!done[i] && received_[i].find(marker) != std::string::npos) {
                    done[i] = true;
                    arrival_[i] = now;
                    --remaining;
                }
            }
        }
    }

    void forget_received() {
        for (std::string& text : received_)
            text.clear();
    }
    const std::vector<Clock::time_point>& arrivals() const { return arrival_; }

private:
    int epoll_;
    std::vector<int> sockets_;
    std::vector<std::string> received_;
    std::vector<Clock::time_point> arrival_;
};

void BM_PushToDeliveryAcrossStreams(benchmark::State& state) {
    const int streams = static_cast<int>(state.range(0));
    sandbox::Options options;
    options.threads = static_cast<std::size_t>(streams) + 32;
    options.heartbeat = std::chrono::seconds(30);
    sandbox::Server server(options);
    server.start();
    StreamClients clients(server.port(), server.create_session(), streams);
    if (server.open_streams() != static_cast<std::size_t>(streams))
        state.SkipWithError("the server does not hold every stream");

    std::vector<double> samples;
    int sequence = 0;
    for (auto _ : state) {
        clients.forget_received();
        sandbox::Message message;
        message.subject = "Нагрузка " + std::to_string(++sequence);
        message.id = "load-" + std::to_string(sequence);
        const auto pushed = Clock::now();
        server.push_message(message);
        clients.wait_for_all("\"id\":\"" + message.id + "\"", std::chrono::seconds(30));
        for (const auto& arrival : clients.arrivals())
            samples.push_back(std::chrono::duration<double, std::micro>(arrival - pushed).count());
    }
    std::sort(samples.begin(), samples.end());
    const auto percentile = [&](double p) {
        return samples.empty() ? 0.0 : samples[static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1))];
    };
    state.counters["streams"] = static_cast<double>(server.open_streams());
    state.counters["p50_us"] = percentile(0.50);
    state.counters["p99_us"] = percentile(0.99);
    state.counters["max_us"] = samples.empty() ? 0.0 : samples.back();
}

BENCHMARK(BM_PushToDeliveryAcrossStreams)->Arg(200)->Arg(250)->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
