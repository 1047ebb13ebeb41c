// vavevar stream send / recv: a file as a notification stream.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "commands.h"
#include "session.h"
#include "vavevar.h"

namespace vavevar::cli {
namespace {

constexpr std::size_t kDefaultChunk = 64 * 1024;
// Transfers at least this large show progress on a terminal by themselves.
constexpr std::uint64_t kLargeTransfer = 1024 * 1024;

std::string mib(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// A progress line on standard error, redrawn at most five times a second.
class Progress {
public:
    Progress(std::string verb, std::string name, std::optional<std::uint64_t> total, bool on)
        : verb_(std::move(verb)), name_(std::move(name)), total_(total), on_(on) {}
    void update(std::uint64_t done, bool last = false) {
        if (!on_) return;
        auto now = std::chrono::steady_clock::now();
        if (!last && now - drawn_ < std::chrono::milliseconds(200)) return;
        drawn_ = now;
        std::string line = "\r" + verb_ + " " + name_ + ": " + mib(done);
        if (total_ && *total_ > 0)
            line += " of " + mib(*total_) + " (" + std::to_string(done * 100 / *total_) + "%)";
        std::fprintf(stderr, "%s%s", line.c_str(), last ? "\n" : "");
        std::fflush(stderr);
    }

private:
    std::string verb_, name_;
    std::optional<std::uint64_t> total_;
    bool on_;
    std::chrono::steady_clock::time_point drawn_{};
};

enum class ProgressMode { automatic, always, never };

void add_progress_option(Parser &p, ProgressMode &mode) {
    p.value("progress", "WHEN",
            "auto (default: on a terminal, for transfers of 1 MiB or more),\n"
            "                        always or never",
            [&mode](const std::string &v) {
                if (v == "auto") mode = ProgressMode::automatic;
                else if (v == "always") mode = ProgressMode::always;
                else if (v == "never") mode = ProgressMode::never;
                else throw UsageError("--progress: invalid value '" + v + "' (auto, always, never)");
            });
}

bool progress_wanted(ProgressMode mode, std::optional<std::uint64_t> size) {
    if (mode != ProgressMode::automatic) return mode == ProgressMode::always;
    return ::isatty(2) != 0 && (!size || *size >= kLargeTransfer);
}

std::string base_name(const std::string &path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---- send

int stream_send(const Args &args) {
    Endpoint endpoint;
    Properties properties;
    std::size_t chunk = kDefaultChunk;
    std::string component = "vavevar";
    ProgressMode progress = ProgressMode::automatic;
    Parser p("vavevar stream send TYPE FILE [options]",
             "Sends FILE (- for standard input) as a notification stream of event type TYPE,\n"
             "one notification per chunk. The stream carries the properties 'file' (FILE's\n"
             "name) and, for a regular file, 'size' (its length), which 'stream recv' uses.");
    endpoint.add_options(p);
    p.value("prop", "NAME=VALUE", "add a property to every notification of the stream",
            [&properties](const std::string &v) { properties.push_back(parse_property("--prop", v)); });
    p.value("chunk", "BYTES", "bytes per notification (default 65536, at most 16 MiB)",
            [&chunk](const std::string &v) {
                chunk = parse_count("--chunk", v);
                if (chunk > kMaxBody) throw UsageError("--chunk: at most " + std::to_string(kMaxBody));
            });
    p.value("component", "NAME", "the publishing component (default vavevar)",
            [&component](const std::string &v) { component = one_line("--component", v); });
    add_progress_option(p, progress);
    std::vector<std::string> positional = p.parse(args);
    if (positional.size() != 2) throw UsageError("expected TYPE and FILE");
    const std::string type = one_line("TYPE", positional[0]);
    const std::string &path = positional[1];

    bool from_stdin = path == "-";
    std::FILE *file = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) throw Failure("cannot open '" + path + "': " + std::strerror(errno));
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> closer(from_stdin ? nullptr : file, std::fclose);
    std::optional<std::uint64_t> size;
    struct stat info;
    if (::fstat(::fileno(file), &info) == 0 && S_ISREG(info.st_mode))
        size = static_cast<std::uint64_t>(info.st_size);

    Session session(endpoint);
    session.require_connection("nothing was sent");
    lumo_publisher *publisher = lumo_publisher_create(component.c_str());
    lumo_notification *head = lumo_notification_createstream(type.c_str());
    if (publisher == nullptr || head == nullptr) throw Failure("cannot create the stream");
    std::string name = from_stdin ? "stdin" : base_name(path);
    properties.emplace_back("file", name);
    if (size) properties.emplace_back("size", std::to_string(*size));
    set_properties(head, properties);
    // Publishing the head sends nothing: it gives the stream its key and
    // binds it to the publisher, which must stay open until the stream ends.
    lumo_publisher_publish(publisher, head);
    lumo_outstream *out = lumo_notification_getOutputStream(head);
    if (out == nullptr) throw Failure("cannot open the output stream");

    Progress shown("sent", name, size, progress_wanted(progress, size));
    std::vector<char> buffer(chunk);
    std::uint64_t sent = 0;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        if (lumo_outstream_write(out, buffer.data(), static_cast<std::int32_t>(n)) != static_cast<std::int32_t>(n))
            throw Failure("cannot send a chunk of '" + path + "' (out of memory)");
        sent += n;
        shown.update(sent);
    }
    if (std::ferror(file)) throw Failure("cannot read '" + path + "': " + std::strerror(errno));
    lumo_outstream_close(&out);  // sends the end marker
    lumo_publisher_close(publisher);
    shown.update(sent, true);
    session.require_connection("the end of the stream may not have reached the daemon");
    return 0;
}

// ---- recv

// What the signal handlers clean up: the partly written file, if any.
char g_partial[4096];
volatile std::sig_atomic_t g_partial_set = 0;
volatile std::sig_atomic_t g_count_wanted = 0;

extern "C" void on_stop(int sig) {
    if (g_partial_set != 0) ::unlink(g_partial);
    if (sig == SIGALRM) {
        static const char kTimedOut[] = "vavevar stream: timed out\n";
        bool failed = g_partial_set != 0 || g_count_wanted != 0;
        if (failed) (void)!::write(2, kTimedOut, sizeof kTimedOut - 1);
        ::_exit(failed ? 1 : 0);
    }
    ::_exit(128 + sig);
}

void set_partial(const std::string &path) {
    g_partial_set = 0;
    std::snprintf(g_partial, sizeof g_partial, "%s", path.c_str());
    g_partial_set = 1;
}

// A file name from the sender's 'file' property or, without one, the stream
// key: no directories, nothing hidden, nothing empty.
std::string safe_name(const char *wanted, const char *key) {
    std::string name = base_name(wanted != nullptr && *wanted != '\0' ? wanted : key ? key : "stream");
    for (char &c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20) c = '_';
    while (!name.empty() && name[0] == '.') name.erase(0, 1);
    return name.empty() ? "stream" : name;
}

std::string unused_path(const std::string &dir, const std::string &name) {
    std::string path = dir + "/" + name;
    struct stat info;
    for (int i = 1; ::lstat(path.c_str(), &info) == 0; ++i) path = dir + "/" + name + "." + std::to_string(i);
    return path;
}

// Reads one stream to its end into DIR; returns the file's path.
std::string save_stream(lumo_notification *n, const std::string &dir, ProgressMode progress) {
    lumo_instream *in = lumo_notification_getInputStream(n);
    std::string name = safe_name(lumo_notification_getProperty(n, "file"), lumo_notification_id(n));
    std::optional<std::uint64_t> size;
    if (const char *s = lumo_notification_getProperty(n, "size")) size = std::strtoull(s, nullptr, 10);
    std::string final_path = unused_path(dir, name);
    std::string partial = dir + "/." + name + ".part";
    set_partial(partial);
    std::FILE *f = std::fopen(partial.c_str(), "wb");
    if (f == nullptr) {
        lumo_instream_close(&in);
        throw Failure("cannot create '" + partial + "': " + std::strerror(errno));
    }
    Progress shown("received", name, size, progress_wanted(progress, size));
    std::vector<char> buffer(kDefaultChunk);
    std::uint64_t done = 0;
    bool written = true;
    std::int32_t got;
    while ((got = lumo_instream_read(in, buffer.data(), static_cast<std::int32_t>(buffer.size()))) > 0) {
        written = written && std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got), f) ==
                                 static_cast<std::size_t>(got);
        done += static_cast<std::uint64_t>(got);
        shown.update(done);
    }
    lumo_instream_close(&in);
    written = std::fclose(f) == 0 && written;
    if (!written || std::rename(partial.c_str(), final_path.c_str()) != 0) {
        int saved = errno;
        ::unlink(partial.c_str());
        g_partial_set = 0;
        throw Failure("cannot write '" + final_path + "': " + std::strerror(saved));
    }
    g_partial_set = 0;
    shown.update(done, true);
    return final_path;
}

int stream_recv(const Args &args) {
    Endpoint endpoint;
    std::uint64_t count = 0;
    std::int64_t timeoutMs = -1;
    std::string component = "vavevar";
    ProgressMode progress = ProgressMode::automatic;
    bool verbose = false;
    Parser p("vavevar stream recv EXPR DIR [options]",
             "Subscribes with the filter EXPR and saves each stream that arrives as a file in\n"
             "DIR, named after the sender's file (a number is added rather than overwrite),\n"
             "printing its path once complete. Notifications that are not streams are skipped.");
    endpoint.add_options(p);
    p.value("count", "N", "stop after N complete streams",
            [&count](const std::string &v) { count = parse_count("--count", v); });
    p.value("timeout", "S", "stop after S seconds; a stream cut short is removed",
            [&timeoutMs](const std::string &v) { timeoutMs = parse_seconds("--timeout", v); });
    p.value("component", "NAME", "the subscribing component (default vavevar)",
            [&component](const std::string &v) { component = one_line("--component", v); });
    add_progress_option(p, progress);
    p.flag("verbose", "report the accepted subscription on standard error", [&verbose] { verbose = true; });
    std::vector<std::string> positional = p.parse(args);
    if (positional.size() != 2) throw UsageError("expected EXPR and DIR");
    const std::string expr = one_line("EXPR", positional[0]);
    std::string dir = positional[1];
    struct stat info;
    if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw Failure("'" + dir + "' is not a directory");

    // A stop cannot wait for a read that blocks until the sender goes on: the
    // handlers remove the partial file and end the process at once.
    g_count_wanted = count != 0 ? 1 : 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) std::signal(sig, on_stop);
    if (timeoutMs > 0) ::alarm(static_cast<unsigned>((timeoutMs + 999) / 1000));

    Session session(endpoint);
    session.require_connection("not subscribed");
    Subscription subscription = subscribe(expr, component, std::nullopt, false, nullptr);
    lumo_subscriber *s = subscription.get();
    if (verbose)
        std::fprintf(stderr, "vavevar stream: subscribed as %d with '%s'\n",
                     static_cast<int>(lumo_subscriber_id(s)), expr.c_str());

    for (std::uint64_t saved = 0; count == 0 || saved < count;) {
        lumo_notification *n = lumo_subscriber_receive(s, 1, 0);
        if (n == nullptr) continue;
        if (lumo_notification_getInputStream(n) == nullptr) {
            std::fprintf(stderr, "vavevar stream: skipping '%s', not a stream\n", lumo_notification_type(n));
            lumo_subscriber_relinquish(s, n);
            continue;
        }
        std::string path;
        try {
            path = save_stream(n, dir, progress);
        } catch (...) {
            lumo_subscriber_relinquish(s, n);
            throw;
        }
        lumo_subscriber_relinquish(s, n);
        std::printf("%s\n", path.c_str());
        if (std::fflush(stdout) != 0) {
            // The file is saved; only the reader of its name has gone.
            if (errno == EPIPE) return 0;
            throw Failure("cannot write to standard output: " + std::string(std::strerror(errno)));
        }
        ++saved;
    }
    return 0;
}

}  // namespace

int run_stream(const Args &args) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::cout << "usage: vavevar stream send TYPE FILE [options]\n"
                     "       vavevar stream recv EXPR DIR [options]\n";
        return args.empty() ? 2 : 0;
    }
    Args rest(args.begin() + 1, args.end());
    if (args[0] == "send") return stream_send(rest);
    if (args[0] == "recv") return stream_recv(rest);
    throw UsageError("unknown stream command '" + args[0] + "' (send, recv)");
}

}  // namespace vavevar::cli
