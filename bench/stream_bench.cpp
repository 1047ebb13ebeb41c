// Stream throughput: payload bytes per second from lumo_outstream_write to
// lumo_instream_read through a real socket and the library's sender,
// receiver and delivery, with a minimal in-process daemon that routes every
// published block straight back to the one subscriber.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "runtime/lifecycle.h"
#include "support/daemon_wire.h"
#include "support/temp_home.h"
#include "support/loopback_listener.h"
#include "support/wire_client.h"
#include "vavevar.h"

namespace vavevar::test {
namespace {

constexpr std::int32_t kWrite = 64 * 1024;
constexpr int kWritesPerStream = 256;  // 16 MiB per stream

using vavevar::test::send_all;

// Answers the handshake and every subscribe, and sends each published
// stream block back as an incoming one to the subscriber that subscribed.
class EchoDaemon {
public:
    EchoDaemon() { thread_ = std::thread([this] { serve(); }); }
    ~EchoDaemon() {
        listener_.close();
        thread_.join();
    }
    std::uint16_t port() const { return listener_.port(); }

private:
    void serve() {
        int client = listener_.accept();
        if (client < 0) return;
        RequestParser parser;
        std::string subscriber = "1";
        std::vector<char> buffer(1 << 20);
        for (;;) {
            ssize_t n = ::recv(client, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            parser.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            while (auto request = parser.next()) {
                std::string reply;
                if (request->kind == Request::Kind::connect) {
                    reply = handshake_reply();
                } else if (request->kind == Request::Kind::subscribe) {
                    StatusMessage status;
                    subscriber = request->header("SubscriberID").value_or("1");
                    status.subscriber_id = subscriber;
                    reply = status.bytes();
                } else if (request->kind == Request::Kind::event &&
                           request->header("className") == "IncomingStreamingNotification") {
                    InboundEvent event;
                    event.class_name = "IncomingStreamingNotification";
                    event.subscriber_ids = subscriber;
                    event.stream_key = request->header("streamKey").value_or("");
                    event.body = std::move(request->body);
                    reply = event.bytes();
                }
                if (!reply.empty() && !send_all(client, reply)) break;
            }
        }
        ::close(client);
    }

    vavevar::test::LoopbackListener listener_;
    std::thread thread_;
};

void BM_StreamThroughput(benchmark::State &state) {
    TempHome home;
    ::setenv("TAMRIX_HOME", home.c_str(), 1);
    EchoDaemon daemon;
    if (::lumo_init_with_port(daemon.port()) != 0) {
        state.SkipWithError("the library did not start");
        return;
    }
    lumo_subscriber *subscriber = ::lumo_subscriber_create(nullptr, "bench", nullptr, nullptr, nullptr);
    lumo_publisher *publisher = ::lumo_publisher_create("bench");
    std::vector<char> payload(kWrite, 'x');
    std::vector<char> buffer(kWrite);
    std::int64_t bytes = 0;
    for (auto _ : state) {
        lumo_notification *head = ::lumo_notification_createstream("bench.stream");
        ::lumo_publisher_publish(publisher, head);
        lumo_outstream *out = ::lumo_notification_getOutputStream(head);
        std::thread writer([&] {
            for (int i = 0; i < kWritesPerStream; ++i) ::lumo_outstream_write(out, payload.data(), kWrite);
            ::lumo_outstream_close(&out);
        });
        lumo_notification *first = ::lumo_subscriber_receive(subscriber, 1, 10000);
        lumo_instream *in = ::lumo_notification_getInputStream(first);
        std::int32_t n;
        while ((n = ::lumo_instream_read(in, buffer.data(), kWrite)) > 0) bytes += n;
        ::lumo_instream_close(&in);
        ::lumo_subscriber_relinquish(subscriber, first);
        writer.join();
    }
    state.SetBytesProcessed(bytes);
    ::lumo_publisher_close(publisher);
    ::lumo_subscriber_close(subscriber);
    ::lumo_shutdown();
}
BENCHMARK(BM_StreamThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vavevar::test
