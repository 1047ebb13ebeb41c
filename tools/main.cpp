// vavevar: publish, subscribe, stream and look at the daemon from the shell.
#include <csignal>
#include <cstring>
#include <iostream>

#include "vavevar.h"

#include "args.h"
#include "commands.h"

namespace {

constexpr char kUsage[] =
    "usage: vavevar COMMAND [options]\n"
    "\n"
    "commands:\n"
    "  pub TYPE            publish notifications of event type TYPE\n"
    "  sub [EXPR]          subscribe and print the notifications that match EXPR\n"
    "  stream send TYPE FILE   send FILE as a notification stream\n"
    "  stream recv EXPR DIR    save the streams that match EXPR into DIR\n"
    "  stats               print the daemon's counters\n"
    "  -V, --version       print the tool's and the library's version\n"
    "\n"
    "'vavevar COMMAND --help' describes a command's options. The daemon's port and\n"
    "home directory come from --port and --home, else from TAMRIX_LUMO_PROXY_PORT\n"
    "and TAMRIX_CONFIG_HOME (or TAMRIX_HOME), else the daemon's defaults (port 17077).\n"
    "Exit status: 0 success, 1 failure, 2 wrong usage, 128 + N when signal N\n"
    "stopped it (130 for Ctrl-C, 143 for SIGTERM).\n";

}  // namespace

int main(int argc, char **argv) {
    using namespace vavevar::cli;
    if (argc < 2) {
        std::cerr << kUsage;
        return 2;
    }
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsage;
        return 0;
    }
    if (command == "--version" || command == "-V") {
        // The tool's own version is the header's it was built with; the
        // library's is asked of the library actually loaded.
        std::cout << "vavevar " << VAVEVAR_VERSION_MAJOR << '.' << VAVEVAR_VERSION_MINOR << '.'
                  << VAVEVAR_VERSION_PATCH << "\nlibrary " << lumo_version() << '\n';
        return 0;
    }
    // A reader that goes away (`vavevar sub | head -1`) shows up as EPIPE
    // from a write, which each command takes as the end of its output.
    std::signal(SIGPIPE, SIG_IGN);
    Args args(argv + 2, argv + argc);
    try {
        if (command == "pub") return run_pub(args);
        if (command == "sub") return run_sub(args);
        if (command == "stats") return run_stats(args);
        if (command == "stream") return run_stream(args);
        std::cerr << "vavevar: unknown command '" << command << "'\n" << kUsage;
        return 2;
    } catch (const HelpRequested &help) {
        std::cout << help.what();
        return 0;
    } catch (const UsageError &e) {
        std::cerr << "vavevar " << command << ": " << e.what() << "\n"
                  << "try 'vavevar " << command << " --help'\n";
        return 2;
    } catch (const Failure &e) {
        std::cerr << "vavevar " << command << ": " << e.what() << "\n";
        return 1;
    } catch (const std::exception &e) {
        std::cerr << "vavevar " << command << ": " << e.what() << "\n";
        return 1;
    }
}
