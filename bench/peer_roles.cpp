// The role processes of the peer benchmark, written once for all systems.
#include "peer_roles.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "bench_process.h"

namespace vavevar::bench {
namespace {

int role_sub(const PeerSystem &system, long count) {
    auto client = system.connect(Sending::bulk);
    client->subscribe("data");
    std::int64_t cpu0 = own_cpu_ns();
    say("ready");
    std::int64_t first = 0, last = 0;
    long received = 0;
    while (received < count && client->receive(received == 0 ? kFirstWaitMs : kGapWaitMs)) {
        last = now_ns();
        if (received++ == 0) first = last;
    }
    std::int64_t cpu = own_cpu_ns() - cpu0;
    if (received == 0) die("subscriber: nothing arrived");
    say(std::to_string(first) + " " + std::to_string(last) + " " + std::to_string(received) + " " +
        std::to_string(cpu));
    return 0;
}

int role_pub(const PeerSystem &system, long count, long bodySize) {
    auto client = system.connect(Sending::bulk);
    std::string body(static_cast<std::size_t>(bodySize), 'x');
    std::int64_t cpu0 = own_cpu_ns();
    say(std::to_string(now_ns()));
    for (long i = 0; i < count; ++i) client->publish("data", body);
    client.reset();
    std::int64_t end = now_ns();
    say(std::to_string(end) + " " + std::to_string(own_cpu_ns() - cpu0));
    return 0;
}

int role_echo(const PeerSystem &system, long count, long bodySize, long warmup) {
    auto client = system.connect(Sending::prompt);
    client->subscribe("ping");
    std::string body(static_cast<std::size_t>(bodySize), 'e');
    say("ready");
    for (long i = 0; i < warmup + count; ++i) {
        if (!client->receive(kFirstWaitMs))
            die("echo: ping " + std::to_string(i) + " did not arrive");
        client->publish("pong", body);
    }
    return 0;
}

int role_ping(const PeerSystem &system, long count, long bodySize, long warmup) {
    auto client = system.connect(Sending::prompt);
    client->subscribe("pong");
    std::string body(static_cast<std::size_t>(bodySize), 'p');
    say("ready");
    std::string go;
    if (!std::getline(std::cin, go)) die("ping: no start");
    std::vector<std::int64_t> rtt;
    rtt.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < warmup + count; ++i) {
        std::int64_t start = now_ns();
        client->publish("ping", body);
        if (!client->receive(kFirstWaitMs))
            die("ping: answer " + std::to_string(i) + " did not arrive");
        if (i >= warmup) rtt.push_back(now_ns() - start);
    }
    std::sort(rtt.begin(), rtt.end());
    say(std::to_string(quantile(rtt, 0.5)) + " " + std::to_string(quantile(rtt, 0.9)) + " " +
        std::to_string(quantile(rtt, 0.99)) + " " + std::to_string(rtt.front()) + " " +
        std::to_string(rtt.back()));
    return 0;
}

}  // namespace

int run_role(const PeerSystem &system, const std::string &role, long count, long bodySize,
             long warmup) {
    if (role == "sub") return role_sub(system, count);
    if (role == "pub") return role_pub(system, count, bodySize);
    if (role == "echo") return role_echo(system, count, bodySize, warmup);
    if (role == "ping") return role_ping(system, count, bodySize, warmup);
    die("unknown role '" + role + "'");
}

}  // namespace vavevar::bench
