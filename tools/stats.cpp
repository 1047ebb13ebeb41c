// vavevar stats: the daemon's counters.
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "commands.h"
#include "render.h"
#include "session.h"

namespace vavevar::cli {
namespace {

std::vector<std::pair<std::string, std::string>> parse_stats(const std::string &block, std::uint16_t port) {
    std::vector<std::pair<std::string, std::string>> fields;
    std::size_t at = 0;
    bool first = true;
    while (at < block.size()) {
        std::size_t end = block.find('\n', at);
        std::string line = block.substr(at, end - at);
        at = end == std::string::npos ? block.size() : end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        if (first) {
            first = false;
            if (line.rfind("POST /stats", 0) != 0)
                throw Failure("the program on localhost:" + std::to_string(port) +
                              " answered '" + line + "', not a daemon's statistics");
            continue;
        }
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::size_t value = line.find_first_not_of(' ', colon + 1);
        fields.emplace_back(line.substr(0, colon),
                            value == std::string::npos ? "" : line.substr(value));
    }
    return fields;
}

}  // namespace

int run_stats(const Args &args) {
    Endpoint endpoint;
    bool json = false;
    Parser p("vavevar stats [options]",
             "Asks the daemon for its counters (connections, subscriptions, events and bytes\n"
             "in and out, drops; see vavevard(8)) and prints them, one 'name: value' per line;\n"
             "a 'skipped: CLIENT SUBSCRIBER COUNT' line for each subscription whose events the\n"
             "daemon skipped while its client read too slowly (JSON: the \"skipped\" array);\n"
             "in a cluster, a 'clusterPeer: NODE ALIVE RECEIVED DUPLICATES DROPPED MEMBERS' line\n"
             "for each other node (JSON: the \"clusterPeers\" array).");
    p.value("port", "N", "the daemon's port (default: $TAMRIX_LUMO_PROXY_PORT)",
            [&endpoint](const std::string &v) { endpoint.port = parse_port("--port", v); });
    p.value("format", "F", "text (default) or json (one object)", [&json](const std::string &v) {
        if (v != "text" && v != "json") throw UsageError("--format: invalid value '" + v + "' (text, json)");
        json = v == "json";
    });
    std::vector<std::string> positional = p.parse(args);
    if (!positional.empty()) throw UsageError("unexpected argument '" + positional.front() + "'");

    std::uint16_t port = endpoint.resolve_port();
    DaemonSocket socket(port, 5000);
    socket.send_all("POST /stats HTTP/1.1\r\n\r\n");
    auto fields = parse_stats(socket.read_header_block(), port);
    // A daemon that does not let this user read its numbers says why.
    std::string result, message;
    for (const auto &[name, value] : fields) {
        if (name == "Result") result = value;
        if (name == "Message") message = value;
    }
    if (result == "failure") throw Failure("the daemon refused: " + message);

    std::string out;
    if (json) {
        // The daemon repeats `skipped: CLIENT SUBSCRIBER COUNT` for each
        // subscription that lost events; JSON gets them as one array.
        // A daemon in a cluster repeats `clusterPeer: NODE ALIVE RECEIVED
        // DUPLICATES DROPPED MEMBERS` for each other node, likewise.
        std::string skipped, peers;
        out = "{";
        for (const auto &[name, value] : fields) {
            unsigned long long client = 0, subscriber = 0, count = 0;
            if (name == "skipped" && std::sscanf(value.c_str(), "%llu %llu %llu", &client, &subscriber, &count) == 3) {
                skipped += skipped.empty() ? "[" : ",";
                skipped += "{\"clientId\":" + std::to_string(client) + ",\"subscriberId\":" +
                           std::to_string(subscriber) + ",\"count\":" + std::to_string(count) + "}";
                continue;
            }
            if (name == "clusterPeer") {
                std::istringstream in(value);
                std::string node;
                unsigned long long alive = 0, received = 0, duplicates = 0, dropped = 0, members = 0;
                if (in >> node >> alive >> received >> duplicates >> dropped >> members) {
                    peers += peers.empty() ? "[" : ",";
                    peers += "{\"node\":";
                    append_json_string(peers, node);
                    peers += ",\"alive\":" + std::string(alive != 0 ? "true" : "false") +
                             ",\"eventsReceived\":" + std::to_string(received) +
                             ",\"duplicatesDropped\":" + std::to_string(duplicates) +
                             ",\"eventsDropped\":" + std::to_string(dropped) +
                             ",\"members\":" + std::to_string(members) + "}";
                    continue;
                }
            }
            if (out.size() > 1) out += ',';
            append_json_string(out, name);
            out += ':';
            bool number = !value.empty() && value.size() < 20 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
            if (number) out += value;
            else append_json_string(out, value);
        }
        out += ",\"skipped\":" + (skipped.empty() ? std::string("[]") : skipped + "]");
        if (!peers.empty()) out += ",\"clusterPeers\":" + peers + "]";
        out += "}\n";
    } else {
        for (const auto &[name, value] : fields) out += name + ": " + value + "\n";
    }
    errno = 0;
    std::cout << out << std::flush;
    if (!std::cout) {
        if (errno == EPIPE) return 0;  // the reader has what it wanted
        throw Failure("cannot write to standard output");
    }
    return 0;
}

}  // namespace vavevar::cli
