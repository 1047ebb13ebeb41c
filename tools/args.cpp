#include "args.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "wire/default_home.h"
#include "wire/default_port.h"

namespace vavevar::cli {

namespace {
char short_name_of(const std::string &name);
}  // namespace

Parser::Parser(std::string usage, std::string summary)
    : usage_(std::move(usage)), summary_(std::move(summary)) {}

void Parser::flag(const std::string &name, const std::string &help, std::function<void()> apply) {
    options_.push_back(Option{name, "", help, short_name_of(name), std::move(apply), nullptr});
}

void Parser::value(const std::string &name, const std::string &arg, const std::string &help,
                   std::function<void(const std::string &)> apply) {
    options_.push_back(Option{name, arg, help, short_name_of(name), nullptr, std::move(apply)});
}

namespace {

// One letter means one thing in every command that has the option.
constexpr std::pair<const char *, char> kShortNames[] = {
    {"port", 'p'}, {"home", 'H'},    {"count", 'c'}, {"timeout", 't'}, {"verbose", 'v'},
    {"format", 'f'}, {"prop", 'P'},  {"body", 'b'},  {"lines", 'l'},   {"show-body", 's'},
};

char short_name_of(const std::string &name) {
    for (const auto &[long_name, letter] : kShortNames)
        if (name == long_name) return letter;
    return 0;
}

// getopt_long's code for an option without a letter: past every char.
constexpr int kLongOnly = 256;

}  // namespace

std::vector<std::string> Parser::parse(const std::vector<std::string> &args) const {
    // getopt_long wants argv as it comes to main: a program name first and
    // writable strings, which these copies are.
    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.emplace_back("vavevar");
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    // '-' hands back positional arguments in place (code 1), so options may
    // follow them whatever POSIXLY_CORRECT says; ':' tells a missing value
    // apart from an unknown option.
    std::string letters = "-:h";
    std::vector<option> table;
    for (std::size_t i = 0; i < options_.size(); ++i) {
        const Option &o = options_[i];
        int code = o.letter != 0 ? o.letter : kLongOnly + static_cast<int>(i);
        if (o.letter != 0) letters += std::string(1, o.letter) + (o.on_value ? ":" : "");
        table.push_back(option{o.name.c_str(), o.on_value ? required_argument : no_argument, nullptr, code});
    }
    table.push_back(option{"help", no_argument, nullptr, 'h'});
    table.push_back(option{nullptr, 0, nullptr, 0});

    auto by_code = [this](int code) -> const Option * {
        for (std::size_t i = 0; i < options_.size(); ++i)
            if ((options_[i].letter != 0 ? options_[i].letter : kLongOnly + static_cast<int>(i)) == code)
                return &options_[i];
        return nullptr;
    };
    // As typed, without a value given after '='.
    auto typed = [&argv](int index) {
        std::string arg = argv[static_cast<std::size_t>(index)];
        return arg.substr(0, arg.find('='));
    };

    std::vector<std::string> positional;
    const int argc = static_cast<int>(storage.size());
    ::opterr = 0;
    ::optind = 0;  // starts getopt_long afresh, as every parse must
    for (;;) {
        int code = ::getopt_long(argc, argv.data(), letters.c_str(), table.data(), nullptr);
        if (code == -1) break;
        if (code == 1) {
            positional.emplace_back(::optarg);
        } else if (code == 'h') {
            throw HelpRequested(help());
        } else if (code == ':') {
            throw UsageError("option " + typed(::optind - 1) + " needs a value");
        } else if (code == '?') {
            const Option *known = ::optopt != 0 ? by_code(::optopt) : nullptr;
            std::string name = typed(::optind - 1);
            if (known != nullptr && name.rfind("--", 0) == 0)
                throw UsageError("option " + name + " takes no value");
            if (::optopt != 0 && ::optopt < kLongOnly && name.rfind("--", 0) != 0)
                name = std::string("-") + static_cast<char>(::optopt);
            throw UsageError("unknown option '" + name + "'");
        } else if (const Option *o = by_code(code)) {
            if (o->on_flag) o->on_flag();
            else o->on_value(::optarg);
        }
    }
    // What follows "--" is positional whatever it looks like.
    for (int i = ::optind; i < argc; ++i) positional.emplace_back(argv[static_cast<std::size_t>(i)]);
    return positional;
}

std::string Parser::help() const {
    std::string text = "usage: " + usage_ + "\n\n" + summary_ + "\n\noptions:\n";
    auto line = [&text](char letter, const std::string &name, const std::string &arg, const std::string &help) {
        std::string left = letter != 0 ? std::string("  -") + letter + ", " : std::string(6, ' ');
        left += "--" + name + (arg.empty() ? "" : " " + arg);
        if (left.size() < 24) left.resize(24, ' ');
        else left += "\n" + std::string(24, ' ');
        text += left + help + "\n";
    };
    for (const Option &o : options_) line(o.letter, o.name, o.arg, o.help);
    line('h', "help", "", "print this help and exit");
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
    parser.value("port", "N", "the daemon's port (default: $TAMRIX_LUMO_PROXY_PORT, else 17077)",
                 [this](const std::string &v) { port = parse_port("--port", v); });
    parser.value("home", "DIR",
                 "home directory (default: $TAMRIX_CONFIG_HOME, else $TAMRIX_HOME, else the daemon's default)",
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

// With nothing set, the daemon's own defaults: a daemon and a tool started
// with an empty environment meet.
std::uint16_t Endpoint::resolve_port() const {
    if (port) return *port;
    const char *text = non_empty_env("TAMRIX_LUMO_PROXY_PORT");
    if (text == nullptr) return wire::kDefaultDaemonPort;
    return parse_port("TAMRIX_LUMO_PROXY_PORT", text);
}

// The home travels in the handshake's SelfId line.
std::string Endpoint::resolve_home() const {
    if (home) return one_line("--home", *home);
    if (const char *h = non_empty_env("TAMRIX_CONFIG_HOME")) return one_line("TAMRIX_CONFIG_HOME", h);
    if (const char *h = non_empty_env("TAMRIX_HOME")) return one_line("TAMRIX_HOME", h);
    std::string fallback = wire::default_home(non_empty_env, ::geteuid() == 0);
    if (fallback.empty())
        throw UsageError("no home directory: give --home or set TAMRIX_CONFIG_HOME or TAMRIX_HOME");
    return one_line("the default home", fallback);
}

}  // namespace vavevar::cli
