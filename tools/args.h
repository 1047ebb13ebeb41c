// The tool's command-line parsing: a small table-driven option parser, the
// value checks every subcommand shares, and the two kinds of failure a
// subcommand reports (usage, exit 2; runtime, exit 1).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vavevar::cli {

// The command line was wrong: the message names the problem, the exit status
// is 2 and the subcommand's usage line follows.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// --help was asked for: the text goes to standard output, the exit status is 0.
struct HelpRequested : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Something failed at run time: exit status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Options are read with getopt_long: long (`--name`, or a prefix naming one
// option), taking their value as the next argument or after '=' (`--count=3`);
// the common ones also have a letter (`-c 3`, `-c3`, `-vc3`), the same letter
// in every command. They may come before, between or after the positional
// arguments; `--` ends the options. `-h` and `--help` ask for the help text.
class Parser {
public:
    Parser(std::string usage, std::string summary);

    void flag(const std::string &name, const std::string &help, std::function<void()> apply);
    void value(const std::string &name, const std::string &arg, const std::string &help,
               std::function<void(const std::string &)> apply);

    // Applies every option and returns the positional arguments; throws
    // UsageError, or HelpRequested with the help text.
    std::vector<std::string> parse(const std::vector<std::string> &args) const;

    std::string help() const;
    const std::string &usage() const { return usage_; }

private:
    struct Option {
        std::string name, arg, help;
        char letter;  // 0: long only
        std::function<void()> on_flag;
        std::function<void(const std::string &)> on_value;
    };
    std::string usage_, summary_;
    std::vector<Option> options_;
};

// Value checks; each throws UsageError naming the option and the value.
std::uint64_t parse_count(const std::string &option, const std::string &text);
// Seconds with an optional fraction ("2", "0.5"); returns milliseconds.
std::int64_t parse_seconds(const std::string &option, const std::string &text);
std::uint16_t parse_port(const std::string &option, const std::string &text);
// "NAME=VALUE" with a non-empty name; the value may be empty and hold '='.
std::pair<std::string, std::string> parse_assignment(const std::string &option,
                                                     const std::string &text);
// `text` as it is, when it can stand in a header line of a request: a CR or
// LF would end the line early and let the rest pass for headers of its own,
// so it throws UsageError naming `what`.
std::string one_line(const std::string &what, const std::string &text);
// As parse_assignment for a property that goes on the wire: the name holds no
// ':' and no line break, the value no line break.
std::pair<std::string, std::string> parse_property(const std::string &option,
                                                   const std::string &text);

// Where the daemon is: --port / --home, else the environment the library
// reads (TAMRIX_LUMO_PROXY_PORT; TAMRIX_CONFIG_HOME, then TAMRIX_HOME).
struct Endpoint {
    std::optional<std::uint16_t> port;
    std::optional<std::string> home;

    void add_options(Parser &parser);
    // Fills in what the command line left open; throws UsageError for what
    // is missing or invalid.
    std::uint16_t resolve_port() const;
    std::string resolve_home() const;
};

}  // namespace vavevar::cli
