#include "args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace vavevar::cli {

Parser::Parser(std::string usage, std::string summary)
    : usage_(std::move(usage)), summary_(std::move(summary)) {}

void Parser::flag(const std::string &name, const std::string &help, std::function<void()> apply) {
    options_.push_back(Option{name, "", help, std::move(apply), nullptr});
}

void Parser::value(const std::string &name, const std::string &arg, const std::string &help,
                   std::function<void(const std::string &)> apply) {
    options_.push_back(Option{name, arg, help, nullptr, std::move(apply)});
}

const Parser::Option *Parser::find(const std::string &name) const {
    for (const Option &o : options_)
        if (o.name == name) return &o;
    return nullptr;
}

std::vector<std::string> Parser::parse(const std::vector<std::string> &args) const {
    std::vector<std::string> positional;
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (options_ended || arg == "-" || arg.empty() || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") throw HelpRequested(help());
        std::size_t eq = arg.find('=');
        std::string name = arg.substr(0, eq);
        const Option *option = name.rfind("--", 0) == 0 ? find(name.substr(2)) : nullptr;
        if (option == nullptr) throw UsageError("unknown option '" + name + "'");
        if (option->on_flag) {
            if (eq != std::string::npos) throw UsageError("option " + name + " takes no value");
            option->on_flag();
            continue;
        }
        std::string value;
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            throw UsageError("option " + name + " needs a value");
        }
        option->on_value(value);
    }
    return positional;
}

std::string Parser::help() const {
    std::string text = "usage: " + usage_ + "\n\n" + summary_ + "\n\noptions:\n";
    for (const Option &o : options_) {
        std::string left = "  --" + o.name + (o.arg.empty() ? "" : " " + o.arg);
        if (left.size() < 24) left.resize(24, ' ');
        else left += "\n" + std::string(24, ' ');
        text += left + o.help + "\n";
    }
    text += "  --help                print this help and exit\n";
    return text;
}

std::uint64_t parse_count(const std::string &option, const std::string &text) {
    std::uint64_t value = 0;
    bool ok = !text.empty() && text.size() <= 10;
    for (char c : text) {
        if (c < '0' || c > '9') ok = false;
        else value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!ok || value == 0 || value > 1'000'000'000)
        throw UsageError(option + ": invalid count '" + text + "' (1 to 1000000000)");
    return value;
}

std::int64_t parse_seconds(const std::string &option, const std::string &text) {
    char *end = nullptr;
    errno = 0;
    double seconds = text.empty() ? -1 : std::strtod(text.c_str(), &end);
    // Digits and a point only: no signs, exponents, "inf" or "nan".
    bool plain = text.find_first_not_of("0123456789.") == std::string::npos;
    if (!plain || errno != 0 || end == nullptr || *end != '\0' || !(seconds > 0) ||
        seconds > 86400.0 * 365)
        throw UsageError(option + ": invalid number of seconds '" + text + "'");
    return static_cast<std::int64_t>(std::ceil(seconds * 1000));
}

std::uint16_t parse_port(const std::string &option, const std::string &text) {
    bool digits = !text.empty() && text.size() <= 5 &&
                  text.find_first_not_of("0123456789") == std::string::npos;
    long value = digits ? std::strtol(text.c_str(), nullptr, 10) : 0;
    if (value < 1 || value > 65535)
        throw UsageError(option + ": invalid port '" + text + "' (1 to 65535)");
    return static_cast<std::uint16_t>(value);
}

std::pair<std::string, std::string> parse_assignment(const std::string &option,
                                                     const std::string &text) {
    std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw UsageError(option + ": expected NAME=VALUE, not '" + text + "'");
    return {text.substr(0, eq), text.substr(eq + 1)};
}

std::string one_line(const std::string &what, const std::string &text) {
    if (text.find_first_of("\r\n") != std::string::npos)
        throw UsageError(what + " holds a line break (CR or LF), which would break the request it goes into");
    return text;
}

std::pair<std::string, std::string> parse_property(const std::string &option,
                                                   const std::string &text) {
    auto property = parse_assignment(option, text);
    if (property.first.find_first_of(":\r\n") != std::string::npos ||
        property.second.find_first_of("\r\n") != std::string::npos)
        throw UsageError(option + " " + property.first +
                         ": a property name holds no ':' and no line break, and a value no line break");
    return property;
}

void Endpoint::add_options(Parser &parser) {
    parser.value("port", "N", "the daemon's port (default: $TAMRIX_LUMO_PROXY_PORT)",
                 [this](const std::string &v) { port = parse_port("--port", v); });
    parser.value("home", "DIR",
                 "home directory (default: $TAMRIX_CONFIG_HOME, else $TAMRIX_HOME)",
                 [this](const std::string &v) {
                     if (v.empty()) throw UsageError("--home: the directory name is empty");
                     home = v;
                 });
}

namespace {
const char *non_empty_env(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}
}  // namespace

std::uint16_t Endpoint::resolve_port() const {
    if (port) return *port;
    const char *text = non_empty_env("TAMRIX_LUMO_PROXY_PORT");
    if (text == nullptr) throw UsageError("no port: give --port or set TAMRIX_LUMO_PROXY_PORT");
    return parse_port("TAMRIX_LUMO_PROXY_PORT", text);
}

// The home travels in the handshake's SelfId line.
std::string Endpoint::resolve_home() const {
    if (home) return one_line("--home", *home);
    if (const char *h = non_empty_env("TAMRIX_CONFIG_HOME")) return one_line("TAMRIX_CONFIG_HOME", h);
    if (const char *h = non_empty_env("TAMRIX_HOME")) return one_line("TAMRIX_HOME", h);
    throw UsageError("no home directory: give --home or set TAMRIX_CONFIG_HOME or TAMRIX_HOME");
}

}  // namespace vavevar::cli
