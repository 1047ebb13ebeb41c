// vavevar pub: publish notifications.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <optional>

#include "body.h"
#include "commands.h"
#include "session.h"
#include "vavevar.h"

namespace vavevar::cli {
namespace {

struct PubOptions {
    Endpoint endpoint;
    Properties properties;
    std::optional<std::string> body, body_file;
    std::vector<std::string> block_items;
    std::uint64_t count = 1;
    bool lines = false;
    bool local_only = false;
    bool verbose = false;
    std::string component = "vavevar";
};

Parser make_parser(PubOptions &o) {
    Parser p("vavevar pub TYPE [options]",
             "Publishes a notification of event type TYPE (COUNT times), or one per line of\n"
             "standard input with --lines, and exits once the daemon has been handed them.");
    o.endpoint.add_options(p);
    p.value("prop", "NAME=VALUE", "add a property (repeatable)", [&o](const std::string &v) {
        o.properties.push_back(parse_property("--prop", v));
    });
    p.value("body", "TEXT", "the body: TEXT as is", [&o](const std::string &v) { o.body = v; });
    p.value("body-file", "FILE", "the body: the bytes of FILE (- for standard input)",
            [&o](const std::string &v) { o.body_file = v; });
    p.value("bb", "SEG.ELEM=VALUE",
            "the body: a body block; element ELEM of segment SEG (nest\n"
            "                        segments with dots: a.b.ELEM=V); repeatable",
            [&o](const std::string &v) { o.block_items.push_back(v); });
    p.flag("lines", "publish one notification per line of standard input, the line as body",
           [&o] { o.lines = true; });
    p.value("count", "N", "publish the notification N times (default 1)",
            [&o](const std::string &v) { o.count = parse_count("--count", v); });
    p.value("component", "NAME", "the publishing component (default vavevar)",
            [&o](const std::string &v) { o.component = one_line("--component", v); });
    p.flag("local-only", "mark the notifications local-only", [&o] { o.local_only = true; });
    p.flag("verbose", "report each publication on standard error", [&o] { o.verbose = true; });
    return p;
}

// The signal that asked `pub --lines` to stop, or 0.
volatile std::sig_atomic_t g_stop = 0;

extern "C" void on_stop_reading(int sig) {
    g_stop = sig;
    // A second one ends the tool at once, should writing out what was read
    // take long.
    std::signal(sig, SIG_DFL);
}

class Publisher {
public:
    Publisher(const PubOptions &o) : o_(o), pub_(lumo_publisher_create(o.component.c_str())) {
        if (pub_ == nullptr) throw Failure("cannot create a publisher");
    }
    ~Publisher() { lumo_publisher_close(pub_); }
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    void publish(const std::string &type, const std::string &body) {
        lumo_notification *n = lumo_notification_create(type.c_str(), body.data(),
                                                        static_cast<std::int32_t>(body.size()));
        if (n == nullptr) throw Failure("out of memory creating a notification");
        set_properties(n, o_.properties);
        if (o_.local_only) lumo_notification_setLocalOnly(n);
        lumo_publisher_publish(pub_, n);
        ++published_;
        if (o_.verbose)
            std::fprintf(stderr, "vavevar pub: published %llu: %s (%zu bytes)\n",
                         static_cast<unsigned long long>(published_), type.c_str(), body.size());
    }
    std::uint64_t published() const { return published_; }

private:
    const PubOptions &o_;
    lumo_publisher *pub_;
    std::uint64_t published_ = 0;
};

}  // namespace

int run_pub(const Args &args) {
    PubOptions o;
    Parser parser = make_parser(o);
    std::vector<std::string> positional = parser.parse(args);
    if (positional.size() != 1)
        throw UsageError(positional.empty() ? "missing the event TYPE"
                                             : "unexpected argument '" + positional[1] + "'");
    const std::string type = one_line("TYPE", positional.front());
    if (type.empty()) throw UsageError("the event TYPE is empty");
    int bodies = (o.body ? 1 : 0) + (o.body_file ? 1 : 0) + (o.block_items.empty() ? 0 : 1) +
                 (o.lines ? 1 : 0);
    if (bodies > 1) throw UsageError("give at most one of --body, --body-file, --bb and --lines");
    if (o.lines && o.count != 1) throw UsageError("--count cannot be combined with --lines");

    std::string body;
    if (o.body) body = *o.body;
    if (o.body_file) body = read_file(*o.body_file, kMaxBody);
    if (!o.block_items.empty()) body = encode_body_block(o.block_items);
    if (body.size() > kMaxBody)
        throw UsageError("the body of " + std::to_string(body.size()) +
                         " bytes is larger than the daemon takes (" + std::to_string(kMaxBody) + ")");

    // With --lines a stop signal ends the reading, and what was read is still
    // handed to the daemon before the tool exits with 128 + the signal. The
    // signals are blocked while the library starts, so that its threads keep
    // them blocked and only this thread, the one reading, takes them.
    sigset_t stops, old_mask;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
    if (o.lines) pthread_sigmask(SIG_BLOCK, &stops, &old_mask);
    Session session(o.endpoint);
    if (o.lines) {
        struct sigaction action {};
        action.sa_handler = on_stop_reading;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: a read waiting for input returns
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    }
    session.require_connection("nothing was published");
    {
        Publisher publisher(o);
        if (o.lines) {
            std::string line;
            for (std::uint64_t number = 1; g_stop == 0; ++number) {
                bool more = false;
                try {
                    more = read_line(stdin, line, kMaxBody, number);
                } catch (const Failure &) {
                    if (g_stop != 0) break;  // the read was interrupted by the stop
                    throw;
                }
                if (!more) break;
                publisher.publish(type, line);
            }
        } else {
            for (std::uint64_t i = 0; i < o.count; ++i) publisher.publish(type, body);
        }
    }
    // The library writes out what is queued when it stops, but only over a
    // link that is up.
    session.require_connection("notifications published may not have reached the daemon");
    return g_stop != 0 ? 128 + g_stop : 0;
}

}  // namespace vavevar::cli
