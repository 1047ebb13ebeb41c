// Redis pub/sub in the peer benchmark: Debian's redis-server and hiredis.
#include <arpa/inet.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "bench_process.h"
#include "peer_system.h"

namespace vavevar::bench {
namespace {

using vavevar::test::ChildProcess;

constexpr const char *kPortVariable = "PEERS_REDIS_PORT";
// Publications in flight before the publisher reads their replies.
constexpr long kBulkBatch = 1000;

redisContext *connect_to_server() {
    const char *port = std::getenv(kPortVariable);
    if (port == nullptr) die(std::string("redis: no ") + kPortVariable);
    redisContext *context = redisConnectWithTimeout("127.0.0.1", std::atoi(port), timeval{10, 0});
    if (context == nullptr || context->err != 0)
        die(std::string("redis: connecting to port ") + port + ": " +
            (context ? context->errstr : "no memory"));
    return context;
}

void expect_reply(redisContext *context, int type, const char *what) {
    void *reply = nullptr;
    if (redisGetReply(context, &reply) != REDIS_OK)
        die(std::string("redis: ") + what + ": " + context->errstr);
    int got = static_cast<redisReply *>(reply)->type;
    freeReplyObject(reply);
    if (got != type) die(std::string("redis: ") + what + ": unexpected reply");
}

class RedisClient final : public PeerClient {
public:
    explicit RedisClient(Sending sending) : batch_(sending == Sending::bulk ? kBulkBatch : 1) {}
    ~RedisClient() override {
        if (publisher_ != nullptr) {
            collect_replies();
            redisFree(publisher_);
        }
        if (subscriber_ != nullptr) redisFree(subscriber_);
    }

    void subscribe(const std::string &subject) override {
        // A subscribed connection takes no other commands: publications go
        // out on a second one.
        subscriber_ = connect_to_server();
        if (redisAppendCommand(subscriber_, "SUBSCRIBE peers:%s", subject.c_str()) != REDIS_OK)
            die("redis: no memory");
        expect_reply(subscriber_, REDIS_REPLY_ARRAY, "subscribing");
    }

    bool receive(int waitMs) override {
        // A changed timeout is a system call: make it only when it changes.
        if (waitMs != waitMs_) {
            waitMs_ = waitMs;
            redisSetTimeout(subscriber_, timeval{waitMs / 1000, (waitMs % 1000) * 1000});
        }
        void *reply = nullptr;
        // A timeout leaves the connection unusable; it ends the subscriber's run.
        if (redisGetReply(subscriber_, &reply) != REDIS_OK) return false;
        auto *message = static_cast<redisReply *>(reply);
        bool isMessage = message->type == REDIS_REPLY_ARRAY && message->elements == 3;
        freeReplyObject(reply);
        if (!isMessage) die("redis: the subscription received something else than a message");
        return true;
    }

    void publish(const std::string &subject, const std::string &body) override {
        if (publisher_ == nullptr) publisher_ = connect_to_server();
        // A prompt publisher reads the previous reply here, which came with
        // or before the answer it waited for; a bulk one a whole batch.
        if (pending_ >= batch_) collect_replies();
        if (redisAppendCommand(publisher_, "PUBLISH peers:%s %b", subject.c_str(), body.data(),
                               body.size()) != REDIS_OK)
            die("redis: no memory");
        ++pending_;
        if (batch_ == 1) write_out();
    }

private:
    void write_out() {
        for (int done = 0; !done;)
            if (redisBufferWrite(publisher_, &done) != REDIS_OK)
                die(std::string("redis: sending: ") + publisher_->errstr);
    }
    // The first read writes out what is still buffered.
    void collect_replies() {
        for (; pending_ > 0; --pending_)
            expect_reply(publisher_, REDIS_REPLY_INTEGER, "publishing");
    }

    const long batch_;
    long pending_ = 0;
    int waitMs_ = 0;
    redisContext *subscriber_ = nullptr;
    redisContext *publisher_ = nullptr;
};

// A port nothing listens on now; the server may still lose it to another
// program before it binds, and start_server then tries another.
std::string free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        die("no free loopback port");
    ::close(fd);
    return std::to_string(ntohs(address.sin_port));
}

std::unique_ptr<PeerServer> start_server() {
    std::string dir = make_server_dir("redis");
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::string port = free_port();
        auto server = std::make_unique<ChildProcess>(
            "/usr/bin/redis-server",
            std::vector<std::string>{"--port", port, "--bind", "127.0.0.1", "--save", "",
                                     "--appendonly", "no", "--dir", dir},
            ChildProcess::environment_with({}));
        std::string line;
        while (server->read_stdout_line(line, 30000) &&
               line.find("Ready to accept connections") == std::string::npos) {
        }
        if (line.find("Ready to accept connections") == std::string::npos) continue;
        auto env = ChildProcess::environment_with({std::string(kPortVariable) + "=" + port});
        std::string description =
            "redis-server on port " + port + " (pid " + std::to_string(server->pid()) + ")";
        return std::make_unique<PeerServer>(std::move(server), dir, std::move(env), description);
    }
    die("redis-server did not start");
}

std::unique_ptr<PeerClient> connect(Sending sending) {
    return std::make_unique<RedisClient>(sending);
}

}  // namespace

const PeerSystem kRedisSystem{"Redis", start_server, connect};

}  // namespace vavevar::bench
