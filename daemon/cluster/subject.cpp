#include "subject.h"

#include <cstdint>

namespace vavevard::cluster {
namespace {

bool plain(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

constexpr char kHex[] = "0123456789ABCDEF";

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

bool separator(char c) { return c == ',' || c == ';' || c == ' ' || c == '\t'; }

}  // namespace

std::string encode_token(std::string_view text) {
    if (text.empty()) return "%";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (plain(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
        if (out.size() > kMaxTokenBytes) break;
    }
    if (out.size() <= kMaxTokenBytes) return out;
    std::uint64_t h = fnv1a(text);
    std::string hashed = "#";
    for (int shift = 60; shift >= 0; shift -= 4) hashed.push_back(kHex[(h >> shift) & 15]);
    return hashed;
}

std::string type_tokens(std::string_view type) {
    std::string out;
    for (std::size_t n = 0; n < kMaxTypeTokens; ++n) {
        std::size_t slash = type.find('/');
        if (n != 0) out.push_back('.');
        out += encode_token(type.substr(0, slash));
        if (slash == std::string_view::npos) break;
        type.remove_prefix(slash + 1);
    }
    return out;
}

std::vector<std::string> affected_nodes(std::string_view text) {
    std::vector<std::string> nodes;
    while (!text.empty()) {
        std::size_t start = 0;
        while (start < text.size() && separator(text[start])) ++start;
        std::size_t end = start;
        while (end < text.size() && !separator(text[end])) ++end;
        if (end > start) {
            std::string node(text.substr(start, end - start));
            bool seen = false;
            for (const std::string &n : nodes) seen = seen || n == node;
            if (!seen) nodes.push_back(std::move(node));
        }
        text.remove_prefix(end);
    }
    return nodes;
}

std::vector<std::string> event_subjects(std::string_view cluster, std::string_view type,
                                        std::string_view affectedNodes, std::string_view self) {
    std::string tokens = type_tokens(type);
    std::vector<std::string> nodes = affected_nodes(affectedNodes);
    std::vector<std::string> subjects;
    if (nodes.empty()) {
        subjects.push_back(std::string(cluster) + ".ev.all." + tokens);
        return subjects;
    }
    for (const std::string &node : nodes)
        if (node != self)
            subjects.push_back(std::string(cluster) + ".ev.to." + encode_token(node) + "." + tokens);
    return subjects;
}

std::vector<std::string> event_interest(std::string_view cluster, std::string_view self) {
    return {std::string(cluster) + ".ev.all.>",
            std::string(cluster) + ".ev.to." + encode_token(self) + ".>"};
}

std::string node_check_subject(std::string_view cluster, std::string_view node) {
    return std::string(cluster) + ".node." + encode_token(node);
}
std::string heartbeat_subject(std::string_view cluster) { return std::string(cluster) + ".hb"; }
std::string goodbye_subject(std::string_view cluster) { return std::string(cluster) + ".bye"; }
std::string members_subject(std::string_view cluster) { return std::string(cluster) + ".mbr"; }
std::string members_wanted_subject(std::string_view cluster, std::string_view node) {
    return std::string(cluster) + ".want." + encode_token(node);
}

bool valid_cluster_name(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (unsigned char c : name)
        if (!plain(c)) return false;
    return true;
}

bool valid_node_name(std::string_view name) {
    if (name.empty() || name.size() > 255) return false;
    for (unsigned char c : name)
        if (c <= ' ' || c >= 127 || separator(static_cast<char>(c))) return false;
    return true;
}

}  // namespace vavevard::cluster
