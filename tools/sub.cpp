// vavevar sub: subscribe and print what arrives.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>

#include "commands.h"
#include "render.h"
#include "session.h"
#include "vavevar.h"

namespace vavevar::cli {
namespace {

struct SubOptions {
    Endpoint endpoint;
    std::uint64_t count = 0;  // 0: until stopped
    std::int64_t timeoutMs = -1;
    enum class Format { text, json, line } format = Format::text;
    BodyShow show = BodyShow::automatic;
    std::string component = "vavevar";
    std::optional<std::string> group;
    bool deltas = false;
    std::vector<std::pair<std::string, std::string>> properties;
    std::optional<std::string> ready_file;
    bool verbose = false;
};

Parser make_parser(SubOptions &o) {
    Parser p("vavevar sub [EXPR] [options]",
             "Subscribes with the filter EXPR (default: every event; see FILTERS in vavevar(1))\n"
             "and prints each notification received, until COUNT have arrived, the time-out\n"
             "passes, standard output's reader goes away (status 0) or a signal stops it\n"
             "(status 128 + the signal: 130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP).");
    o.endpoint.add_options(p);
    p.value("count", "N", "stop after N notifications",
            [&o](const std::string &v) { o.count = parse_count("--count", v); });
    p.value("timeout", "S",
            "stop after S seconds (fractions allowed); with --count, fewer\n"
            "                        than N notifications by then is a failure",
            [&o](const std::string &v) { o.timeoutMs = parse_seconds("--timeout", v); });
    p.value("format", "F",
            "text (the library's rendering, default), json (one object per\n"
            "                        line) or line (type, properties and body on one line)",
            [&o](const std::string &v) {
                if (v == "text") o.format = SubOptions::Format::text;
                else if (v == "json") o.format = SubOptions::Format::json;
                else if (v == "line") o.format = SubOptions::Format::line;
                else throw UsageError("--format: invalid value '" + v + "' (text, json, line)");
            });
    p.value("show-body", "HOW",
            "auto (default: body blocks decoded, text as text, else hex),\n"
            "                        none, hex, text or block",
            [&o](const std::string &v) { o.show = parse_body_show("--show-body", v); });
    p.value("component", "NAME", "the subscribing component (default vavevar)",
            [&o](const std::string &v) { o.component = one_line("--component", v); });
    p.value("group", "NAME", "join the membership group NAME",
            [&o](const std::string &v) { o.group = one_line("--group", v); });
    p.flag("deltas", "with --group: also receive the group's membership changes",
           [&o] { o.deltas = true; });
    p.value("prop", "NAME=VALUE", "a property of the subscription, shown to the group's members",
            [&o](const std::string &v) { o.properties.push_back(parse_property("--prop", v)); });
    p.value("ready-file", "FILE", "create FILE once the daemon has accepted the subscription",
            [&o](const std::string &v) { o.ready_file = v; });
    p.flag("verbose", "report the accepted subscription, and the link to the daemon\n"
           "                        going down and coming back, on standard error",
           [&o] { o.verbose = true; });
    return p;
}

// Writes one notification to standard output; false when the output fails.
bool print(const SubOptions &o, const lumo_notification *n) {
    std::string text;
    switch (o.format) {
    case SubOptions::Format::text: text = render_text(n, o.show) + "\n"; break;
    case SubOptions::Format::json: text = render_json(n, o.show) + "\n"; break;
    case SubOptions::Format::line: text = render_line(n, o.show) + "\n"; break;
    }
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

// True once whoever read standard output has gone (`sub | head -1` after
// head exits): a pipe whose reading end is closed reports an error to poll,
// so the tool can end before it has anything more to write.
bool reader_gone() {
    pollfd p{1, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

// How long one receive waits before the loop looks for a stop signal again.
constexpr std::int64_t kSliceMs = 200;

// The link going down and up, as the library's flow handler hears it on its
// own thread; the receiving loop reports it between notifications.
struct LinkChanges {
    std::atomic<std::uint64_t> down{0};
    std::atomic<std::uint64_t> up{0};
};

void on_flow(std::int32_t kind, lumo_subscriber *, std::uint64_t count, void *context) {
    auto *changes = static_cast<LinkChanges *>(context);
    if (kind == LUMO_FLOW_LINK_DOWN) changes->down += count;
    else if (kind == LUMO_FLOW_LINK_UP) changes->up += count;
}

// Says what the subscriber lost since the last report: notifications the
// daemon skipped while this process read too slowly, and those dropped here
// over the subscriber's bound. The counters move before the notifications
// that follow a gap are handed over, so the report comes before them.
class LossReport {
public:
    LossReport(const SubOptions &o, lumo_subscriber *s) : o_(o), s_(s) {}

    // False when the output fails.
    bool flush() {
        lumo_subscriber_counters c{};
        if (lumo_subscriber_get_counters(s_, &c) != 0) return true;
        std::uint64_t daemon = c.dropped_by_daemon - seen_.dropped_by_daemon;
        std::uint64_t here = c.dropped - seen_.dropped;
        if (daemon == 0 && here == 0) return true;
        seen_ = c;
        if (o_.format == SubOptions::Format::json) {
            std::string line = "{\"gap\":{\"skippedByDaemon\":" + std::to_string(daemon) +
                               ",\"droppedHere\":" + std::to_string(here) + "}}\n";
            return std::fwrite(line.data(), 1, line.size(), stdout) == line.size() && std::fflush(stdout) == 0;
        }
        std::fprintf(stderr, "vavevar sub: %llu notifications lost (%llu skipped by the daemon, %llu dropped here)\n",
                     static_cast<unsigned long long>(daemon + here), static_cast<unsigned long long>(daemon),
                     static_cast<unsigned long long>(here));
        return true;
    }

private:
    const SubOptions &o_;
    lumo_subscriber *s_;
    lumo_subscriber_counters seen_{};
};

void report_link(const LinkChanges &changes, std::uint64_t &down, std::uint64_t &up, const Session &session) {
    for (; down < changes.down.load(); ++down)
        std::fprintf(stderr, "vavevar sub: lost the link to %s; reconnecting\n", session.where().c_str());
    for (; up < changes.up.load(); ++up)
        std::fprintf(stderr, "vavevar sub: the link to %s is back\n", session.where().c_str());
}

bool write_failed() {
    if (errno == EPIPE) return true;
    throw Failure("cannot write to standard output: " + std::string(std::strerror(errno)));
}

struct ProplistDeleter {
    void operator()(lumo_proplist *l) const { lumo_proplist_destroy(&l); }
};

}  // namespace

int run_sub(const Args &args) {
    SubOptions o;
    Parser parser = make_parser(o);
    std::vector<std::string> positional = parser.parse(args);
    if (positional.size() > 1) throw UsageError("unexpected argument '" + positional[1] + "'");
    if (o.deltas && !o.group) throw UsageError("--deltas needs --group");
    std::string expr = positional.empty() ? "" : one_line("EXPR", positional.front());

    std::unique_ptr<lumo_proplist, ProplistDeleter> properties(lumo_proplist_create());
    for (const auto &[name, value] : o.properties)
        if (lumo_proplist_put(properties.get(), name.c_str(), value.c_str()) == nullptr)
            throw Failure("out of memory");

    // --timeout bounds connecting and subscribing too; without it the
    // daemon has the library's usual 10 s to answer.
    StopSignals signals;
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + std::chrono::milliseconds(o.timeoutMs);
    Session session(o.endpoint, o.timeoutMs);
    Subscription subscriber;
    int stopped = 0;
    if (o.deltas) {
        // Membership changes have no asynchronous creation.
        session.require_connection("not subscribed");
        subscriber = subscribe(expr, o.component, o.group, o.deltas, properties.get());
    } else {
        auto answer_by = o.timeoutMs >= 0 ? deadline : started + std::chrono::seconds(10);
        subscriber = subscribe_until(session, expr, o.component, o.group, properties.get(), answer_by,
                                     signals, stopped);
        if (stopped != 0) return 128 + stopped;
    }

    // Listening before saying it is subscribed: whoever acts on that line
    // (a script stopping the daemon, say) must not beat the handler to the
    // link's loss.
    LinkChanges changes;
    std::uint64_t downSeen = 0, upSeen = 0;
    if (o.verbose) lumo_set_flow_handler(on_flow, &changes);
    struct HandlerRemover {
        bool set;
        ~HandlerRemover() {
            if (set) lumo_set_flow_handler(nullptr, nullptr);
        }
    } remover{o.verbose};

    if (o.verbose)
        std::fprintf(stderr, "vavevar sub: subscribed as %d with '%s'\n",
                     static_cast<int>(lumo_subscriber_id(subscriber.get())), expr.c_str());
    if (o.ready_file) {
        std::FILE *f = std::fopen(o.ready_file->c_str(), "w");
        if (f == nullptr || std::fclose(f) != 0)
            throw Failure("cannot create the ready file '" + *o.ready_file + "': " + std::strerror(errno));
    }

    LossReport losses(o, subscriber.get());

    // Receives in slices so that a stop signal is seen within one of them;
    // a notification that arrives is taken at once whatever the slice.
    std::uint64_t got = 0;
    while (o.count == 0 || got < o.count) {
        if ((stopped = signals.pending()) != 0) return 128 + stopped;
        if (reader_gone()) return 0;
        if (o.verbose) report_link(changes, downSeen, upSeen, session);
        if (!losses.flush() && write_failed()) return 0;
        std::int64_t slice = kSliceMs;
        if (o.timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) break;
            slice = std::min<std::int64_t>(slice, left);
        }
        lumo_notification *n = lumo_subscriber_receive(subscriber.get(), 1, static_cast<std::int32_t>(slice));
        if (n == nullptr) continue;
        bool written = losses.flush() && print(o, n);
        lumo_subscriber_relinquish(subscriber.get(), n);
        if (!written && write_failed()) return 0;
        ++got;
    }
    if (o.count != 0 && got < o.count) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(o.timeoutMs) / 1000);
        throw Failure("timed out after " + std::string(seconds) + " s with " + std::to_string(got) +
                      " of " + std::to_string(o.count) + " notifications");
    }
    return 0;
}

}  // namespace vavevar::cli
