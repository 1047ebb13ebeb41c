// What naming a connection's owner costs the daemon: one lookup on a
// connected loopback TCP socket and on a local socket, and a whole
// connection (connect, accept, close) with and without the lookup, which is
// how the daemon pays for it once per accepted client.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/loopback_listener.h"
#include "support/wire_client.h"
#include "peer_credentials.h"

namespace {

using vavevar::test::LoopbackListener;

int connect_loopback(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

void BM_PeerLookupTcp(benchmark::State &state) {
    vavevard::PeerLookup lookup;
    LoopbackListener listener;
    int client = connect_loopback(listener.port());
    int accepted = listener.accept();
    auto first = lookup.lookup(accepted);
    if (!first || first->uid != ::getuid()) state.SkipWithError("the lookup did not name this user");
    for (auto _ : state) benchmark::DoNotOptimize(lookup.lookup(accepted));
    ::close(accepted);
    ::close(client);
}
BENCHMARK(BM_PeerLookupTcp);

void BM_PeerLookupLocal(benchmark::State &state) {
    vavevard::PeerLookup lookup;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("no socketpair");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(lookup.lookup(fds[0]));
    ::close(fds[0]);
    ::close(fds[1]);
}
BENCHMARK(BM_PeerLookupLocal);

// Argument 1 adds the lookup on the accepted socket.
void BM_LoopbackConnection(benchmark::State &state) {
    vavevard::PeerLookup lookup;
    LoopbackListener listener;
    const bool withLookup = state.range(0) != 0;
    for (auto _ : state) {
        int client = connect_loopback(listener.port());
        int accepted = listener.accept();
        if (withLookup) benchmark::DoNotOptimize(lookup.lookup(accepted));
        ::close(accepted);
        ::close(client);
    }
}
BENCHMARK(BM_LoopbackConnection)->Arg(0)->Arg(1);

}  // namespace
