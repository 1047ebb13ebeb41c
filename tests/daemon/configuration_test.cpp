// Where the daemon's settings come from: the configuration file's format, the
// order of file, environment and command line, the default port and home,
// the home's checks, and what a reload can apply at once.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "config_file.h"
#include "home_dir.h"
#include "options.h"
#include "reload.h"
#include "support/temp_home.h"
#include "wire/default_port.h"

namespace vavevard {
namespace {

using TempDir = vavevar::test::TempHome;

// An environment made of the given variables only.
struct Env {
    std::map<std::string, std::string> vars;
    GetEnv get = [this](const char *name) -> const char * {
        auto it = vars.find(name);
        return it == vars.end() ? nullptr : it->second.c_str();
    };
};

std::string write_file(const TempDir &dir, const std::string &name, const std::string &text) {
    std::string path = dir.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

TEST(DaemonConfigFile, KeysValuesCommentsAndBlanksAreReadAndBadLinesNamed) {
    std::vector<ConfigSetting> out;
    std::string error;
    ASSERT_TRUE(parse_config_text("# comment\n\n  port = 7001 \r\n\tinstance-name=lab # a\nhome =\n"
                                  "log-level=debug",
                                  out, error))
        << error;
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].key + "|" + out[0].value + "|" + std::to_string(out[0].line), "port|7001|3");
    EXPECT_EQ(out[1].key + "|" + out[1].value, "instance-name|lab # a");
    EXPECT_EQ(out[2].key + "|" + out[2].value, "home|");
    EXPECT_EQ(out[3].key + "|" + out[3].value + "|" + std::to_string(out[3].line), "log-level|debug|6");
    out.clear();
    EXPECT_FALSE(parse_config_text("port = 1\nport 7001\n", out, error));
    EXPECT_EQ(error, "line 2: expected 'key = value'");
    EXPECT_FALSE(parse_config_text("Port Number = 1\n", out, error));
    EXPECT_EQ(error, "line 1: invalid key 'Port Number'");
    out.clear();
    EXPECT_TRUE(parse_config_text("", out, error));
    EXPECT_TRUE(out.empty());
}

// File, then environment, then command line: each later one wins.
TEST(DaemonOptions, TheCommandLineWinsOverTheEnvironmentWhichWinsOverTheFile) {
    TempDir dir, fileHome, envHome;
    std::string conf = write_file(dir, "d.conf",
                                  "port = 7100\nhome = " + fileHome.path() +
                                      "\nlog-level = debug\nmax-pending-mib = 3\ninstance-name = from-file\n"
                                      "slow-client-timeout = 5\nreplay-window-ms = 2500\nreplay-window-mib = 4\n");
    Env env;
    ParseResult r = parse_options({"--config", conf}, env.get, "");
    ASSERT_EQ(r.action, ParseResult::run) << r.message;
    EXPECT_EQ(r.options.port, 7100);
    EXPECT_EQ(r.options.home, fileHome.path());
    EXPECT_FALSE(r.options.homeIsDefault);
    EXPECT_EQ(r.options.logLevel, LogLevel::debug);
    EXPECT_EQ(r.options.limits.maxPendingBytes, 3u * 1024 * 1024);
    EXPECT_EQ(r.options.limits.slowClientTimeoutMs, 5000);
    EXPECT_EQ(r.options.replay.ms, 2500);
    EXPECT_EQ(r.options.replay.bytes, 4u * 1024 * 1024);
    EXPECT_EQ(r.options.configFile, conf);
    env.vars = {{"TAMRIX_LUMO_PROXY_PORT", "7200"}, {"TAMRIX_HOME", envHome.path()}};
    r = parse_options({"--config=" + conf}, env.get, "");
    EXPECT_EQ(std::to_string(r.options.port) + " " + r.options.home, "7200 " + envHome.path());
    r = parse_options({"--port", "7300", "--instance-name", "args", "--log-level", "warn", "--slow-client-timeout",
                       "0", "--replay-window-ms=0"},
                      env.get, conf);
    ASSERT_EQ(r.action, ParseResult::run) << r.message;
    EXPECT_EQ(r.options.limits.slowClientTimeoutMs, 0) << "0: never";
    EXPECT_EQ(r.options.replay.ms, 0) << "0: no window";
    EXPECT_EQ(r.options.replay.bytes, 4u * 1024 * 1024);
    EXPECT_EQ(r.options.port, 7300);
    EXPECT_EQ(r.options.instanceName, "args");
    EXPECT_EQ(r.options.logLevel, LogLevel::warn);
    EXPECT_EQ(r.options.configFile, conf) << "the default file is read when present";
}

TEST(DaemonOptions, FileProblemsAreListedWithTheirLinesAndAMissingGivenFileIsRefused) {
    TempDir dir, home;
    Env env{{{"TAMRIX_HOME", home.path()}}};
    std::string conf =
        write_file(dir, "d.conf", "colour = red\nport = 99999\nconfig = x\nreplay-window-ms = 3600001\n");
    ParseResult r = parse_options({}, env.get, conf);
    EXPECT_EQ(r.action, ParseResult::fail);
    EXPECT_EQ(r.message, conf + ":1: unknown key 'colour'\n" + conf +
                             ":2: port: invalid value '99999' (0 to 65535)\n" + conf + ":3: unknown key 'config'\n" +
                             conf + ":4: replay-window-ms: invalid value '3600001' (0 to 3600000)");
    r = parse_options({"--config", dir.path() + "/absent.conf"}, env.get, conf);
    EXPECT_EQ(r.message, "configuration file '" + dir.path() + "/absent.conf': No such file or directory");
    r = parse_options({}, env.get, dir.path() + "/absent.conf");
    EXPECT_EQ(r.action, ParseResult::run) << r.message;
    EXPECT_EQ(r.options.configFile, "");
    std::string bad = write_file(dir, "bad.conf", "\nport\n");
    r = parse_options({"--config", bad}, env.get, conf);
    EXPECT_EQ(r.message, bad + ":2: expected 'key = value'");
}

// Nothing set at all: the shared default port and a state directory.
TEST(DaemonOptions, WithNothingSetThePortAndHomeAreTheDefaults) {
    Env env{{{"HOME", "/home/ann"}}};
    ParseResult r = parse_options({}, env.get, "");
    ASSERT_EQ(r.action, ParseResult::run) << r.message;
    EXPECT_EQ(r.options.port, vavevar::wire::kDefaultDaemonPort);
    EXPECT_EQ(r.options.home, "/home/ann/.local/state/vavevar");
    EXPECT_TRUE(r.options.homeIsDefault);
    EXPECT_EQ(r.options.limits.slowClientTimeoutMs, 60 * 1000);
    EXPECT_EQ(r.options.replay.ms, 10 * 1000);
    EXPECT_EQ(r.options.replay.bytes, 16u * 1024 * 1024);
    EXPECT_EQ(parse_options({}, env.get, "", true).options.home, "/var/lib/vavevar");
    env.vars["XDG_STATE_HOME"] = "/srv/state";
    EXPECT_EQ(parse_options({}, env.get, "").options.home, "/srv/state/vavevar");
    env.vars["XDG_STATE_HOME"] = "relative/state";
    EXPECT_EQ(default_home(env.get, false), "/home/ann/.local/state/vavevar");
    env.vars["STATE_DIRECTORY"] = "/var/lib/private/vavevar:/var/lib/other";
    EXPECT_EQ(default_home(env.get, true), "/var/lib/private/vavevar");
    env.vars["TAMRIX_LUMO_PROXY_PORT"] = "";
    EXPECT_EQ(parse_options({}, env.get, "").options.port, vavevar::wire::kDefaultDaemonPort)
        << "an empty variable counts as unset";
}

TEST(DaemonHome, ADefaultHomeIsCreatedAGivenOneMustExistAndBeWritable) {
    TempDir dir;
    std::string error;
    std::string nested = dir.path() + "/state/deep/vavevar";
    EXPECT_FALSE(prepare_home(nested, false, error));
    EXPECT_EQ(error, "home directory '" + nested + "' does not exist or is not a directory");
    ASSERT_TRUE(prepare_home(nested, true, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(nested.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(prepare_home(nested, true, error)) << "an existing one is fine: " << error;
    std::string file = write_file(dir, "plain", "x");
    EXPECT_FALSE(prepare_home(file, false, error));
    EXPECT_FALSE(prepare_home(file + "/below", true, error));
    EXPECT_EQ(error, "home directory '" + file + "/below' cannot be created: Not a directory");
    // Not writable even for root: a process directory.
    EXPECT_FALSE(prepare_home("/proc/self", false, error));
    EXPECT_EQ(error.rfind("home directory '/proc/self' is not writable: ", 0), 0u) << error;
}

TEST(DaemonReload, OnlyWhatCannotChangeWhileRunningIsListedForARestart) {
    Options running;
    running.port = 7001;
    running.home = "/a";
    running.limits.maxClients = 900;  // worked out at start, not given
    Options fresh = running;
    fresh.logLevel = LogLevel::debug;
    fresh.logFile = "/var/log/x";
    fresh.limits.maxClients = 100000;
    EXPECT_TRUE(needing_restart(running, fresh).empty());
    fresh.port = 7002;
    fresh.instanceName = "b";
    fresh.limits.idleTimeoutMs = 5000;
    fresh.maxClientsGiven = true;
    fresh.limits.slowClientTimeoutMs = 1000;
    fresh.replay.ms = 1;
    EXPECT_EQ(needing_restart(running, fresh),
              (std::vector<std::string>{"port", "instance-name", "max-clients", "idle-timeout",
                                        "slow-client-timeout", "replay-window-ms"}));
}

}  // namespace
}  // namespace vavevard
