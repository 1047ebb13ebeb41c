// Publish and delivery throughput of the library against a minimal daemon
// stand-in that does no parsing of its own: it answers the handshake (and one
// subscription), then only counts what arrives or blasts prepared events.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/loopback_listener.h"
#include "support/wire_client.h"
#include "vavevar.h"

namespace {

using vavevar::test::send_all;

constexpr char kHandshakeReply[] =
    "HTTP/1.1 200 OK\r\nVersion: 1\r\nResult: success\r\nl4\r\nl5\r\nl6\r\nl7\r\nl8\r\n"
    "instanceName: bench\r\n\r\n";

// Reads until `marker` has been seen (the bytes read are discarded).
bool read_past(int fd, std::string_view marker) {
    std::string seen;
    char buffer[4096];
    while (seen.find(marker) == std::string::npos) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

// Serves one connection of the library: answers its handshake, then leaves
// the socket to the benchmark.
class Sink {
public:
    std::uint16_t port() const { return listener_.port(); }
    bool accept_library() {
        client_ = listener_.accept();
        return client_ >= 0 && read_past(client_, "\r\n\r\n") && send_all(client_, kHandshakeReply);
    }
    int client() const { return client_; }
    ~Sink() {
        if (client_ >= 0) ::close(client_);
    }

private:
    vavevar::test::LoopbackListener listener_;
    int client_ = -1;
};

// Counts "POST /event" lines in a byte stream cut anywhere.
class EventCounter {
public:
    std::size_t feed(const char *data, std::size_t size) {
        static constexpr std::string_view kMarker = "POST /event";
        std::size_t found = 0;
        for (std::size_t i = 0; i < size; ++i) {
            matched_ = data[i] == kMarker[matched_] ? matched_ + 1 : (data[i] == kMarker[0] ? 1 : 0);
            if (matched_ == kMarker.size()) {
                ++found;
                matched_ = 0;
            }
        }
        return found;
    }

private:
    std::size_t matched_ = 0;
};

void BM_PublishThroughput(benchmark::State &state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    Sink sink;
    std::string home = std::filesystem::temp_directory_path() / "vavevar-bench-home";
    std::filesystem::create_directories(home);
    ::setenv("TAMRIX_HOME", home.c_str(), 1);
    std::thread acceptor([&] { sink.accept_library(); });
    if (::lumo_init_with_port(sink.port()) != 0) {
        state.SkipWithError("start failed");
        acceptor.join();
        return;
    }
    acceptor.join();
    lumo_publisher *publisher = ::lumo_publisher_create("bench");
    const std::string body(128, 'b');
    EventCounter counter;
    char buffer[64 * 1024];
    for (auto _ : state) {
        std::size_t seen = 0;
        for (std::size_t i = 0; i < count; ++i)
            ::lumo_publisher_publish(publisher, ::lumo_notification_create("bench.event", body.data(), 128));
        while (seen < count) {
            ssize_t n = ::recv(sink.client(), buffer, sizeof buffer, 0);
            if (n <= 0) break;
            seen += counter.feed(buffer, static_cast<std::size_t>(n));
        }
        if (seen < count) state.SkipWithError("the connection ended early");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
    ::lumo_publisher_close(publisher);
    ::lumo_shutdown_nowait();
}
BENCHMARK(BM_PublishThroughput)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();

std::string inbound_event(const std::string &body) {
    return "POST /event HTTP/1.1\r\nclassName: MessageNotification\r\nSubscriberID: 1\r\n"
           "eventType: bench.event\r\neventId: id\r\ncreationTime: 1700000000000\r\n"
           "deliveryTime: 1700000000001\r\naffectedComponents: \r\naffectedNodes: \r\n"
           "generatingComponent: bench\r\ngeneratingProcess: p\r\ngeneratingNode: n\r\n"
           "instanceName: bench\r\nLocalOnly: false\r\nnumberOfProperties: 1\r\nk: v\r\n"
           "Content-Length: 128\r\nAddrList-Length: 0\r\n\r\n" +
           body;
}

// Starts the library against `sink` and subscribes once (the sink answers
// the handshake and the subscription); null, with the library stopped again,
// when either fails.
lumo_subscriber *subscribe_through(Sink &sink) {
    std::string home = std::filesystem::temp_directory_path() / "vavevar-bench-home";
    std::filesystem::create_directories(home);
    ::setenv("TAMRIX_HOME", home.c_str(), 1);
    std::thread acceptor([&] {
        // The subscribe request, without properties, ends with this line.
        if (sink.accept_library() && read_past(sink.client(), "numberOfProperties: 0\r\n\r\n"))
            send_all(sink.client(), "POST /status HTTP/1.1\r\nResult: success\r\nSubscriberID: 1\r\n\r\n");
    });
    if (::lumo_init_with_port(sink.port()) != 0) {
        acceptor.join();
        return nullptr;
    }
    lumo_subscriber *subscriber = ::lumo_subscriber_create(nullptr, "bench", nullptr, nullptr, nullptr);
    acceptor.join();
    if (subscriber == nullptr) ::lumo_shutdown_nowait();
    return subscriber;
}

// `count` inbound events of 128-byte bodies, as one blast.
std::string blast_of(std::size_t count) {
    std::string blast;
    const std::string one = inbound_event(std::string(128, 'b'));
    for (std::size_t i = 0; i < count; ++i) blast += one;
    return blast;
}

void BM_DeliveryThroughput(benchmark::State &state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    Sink sink;
    lumo_subscriber *subscriber = subscribe_through(sink);
    if (subscriber == nullptr) {
        state.SkipWithError("start or subscribe failed");
        return;
    }
    const std::string blast = blast_of(count);
    for (auto _ : state) {
        std::thread sender([&] { send_all(sink.client(), blast); });
        std::size_t received = 0;
        while (received < count) {
            lumo_notification *n = ::lumo_subscriber_receive(subscriber, 1, 5000);
            if (n == nullptr) break;
            ::lumo_subscriber_relinquish(subscriber, n);
            ++received;
        }
        sender.join();
        if (received < count) state.SkipWithError("events went missing");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
    ::lumo_subscriber_close(subscriber);
    ::lumo_shutdown_nowait();
}
BENCHMARK(BM_DeliveryThroughput)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();

// What a flood of deliveries to a callback of mode 1 (one thread per
// notification) costs the application's other calls into the library: an
// application thread opens and closes publishers meanwhile, each a call that
// takes the lock the receiver delivers under, and the time per pair is
// reported (the flood's own rate in items/s).
void BM_RegistryCallsDuringACallbackFlood(benchmark::State &state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    Sink sink;
    lumo_subscriber *subscriber = subscribe_through(sink);
    static std::atomic<std::size_t> called{0};
    if (subscriber == nullptr ||
        ::lumo_subscriber_registercallback(subscriber, [](lumo_notification *, void *) { ++called; },
                                           nullptr, 1) != 0) {
        state.SkipWithError("start or subscribe failed");
        if (subscriber != nullptr) ::lumo_shutdown_nowait();
        return;
    }
    const std::string blast = blast_of(count);
    std::vector<double> pairNs;
    for (auto _ : state) {
        called = 0;
        std::thread sender([&] { send_all(sink.client(), blast); });
        // A call now and then, as an application would make them, rather
        // than a loop that would take the CPU the deliveries need.
        while (called.load() < count) {
            auto start = std::chrono::steady_clock::now();
            lumo_publisher *p = ::lumo_publisher_create("bench");
            ::lumo_publisher_close(p);
            pairNs.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        sender.join();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
    std::sort(pairNs.begin(), pairNs.end());
    if (!pairNs.empty()) {
        state.counters["call_pair_p50_ns"] = pairNs[pairNs.size() / 2];
        state.counters["call_pair_p99_ns"] = pairNs[pairNs.size() * 99 / 100];
    }
    ::lumo_subscriber_close(subscriber);
    ::lumo_shutdown_nowait();
}
BENCHMARK(BM_RegistryCallsDuringACallbackFlood)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
