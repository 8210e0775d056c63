// SPDX-License-Identifier: MIT
// The real mevraktd and mevraktsh, run in the private sandbox at their fixed
// paths, with a simulated meter on a pseudo-terminal and the AMR side on the
// TCP port.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include "tests/e2e/e2e.h"
#include "tests/support/loopback.h"
#include "tests/support/pty_meter.h"
#include "tests/support/status_report.h"

namespace {

using e2e::milliseconds;

using e2e::settings_path;
constexpr const char *socket_path = "/var/run/mevraKT.socket";

struct result {
  int status;
  std::string output;
};

result run(std::vector<std::string> argv, milliseconds timeout = milliseconds(10000))
{
  e2e::process p;
  if (!p.start(argv, {false, true, false}))
    return {-1, ""};
  p.read_to_end(timeout);
  p.wait(timeout);
  return {p.exit_status(), p.output()};
}

result mevraktsh(std::vector<std::string> words)
{
  words.insert(words.begin(), MEVRAKTSH_BIN);
  return run(words);
}

bool exists(const char *path)
{
  struct stat st;
  return lstat(path, &st) == 0;
}

using e2e::channel_settings;


// The simulated meter on a pty of its own.
struct simulator : e2e::simulated_meter {
  explicit simulator(std::vector<std::string> options = {}) : simulated_meter(METER_SIM, std::move(options)) {}
};

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(e2e::in_sandbox());
    unlink(settings_path);
    log.clear();
  }

  void start(const std::string &text)
  {
    ASSERT_TRUE(e2e::start_daemon(daemon, MEVRAKTD_BIN, text));
    ASSERT_TRUE(log.wait_for("started", LOG_NOTICE)) << log.dump();
  }

  void stop_and_check()
  {
    // Until it waits for SIGTERM, the daemon dies of it rather than stopping.
    EXPECT_TRUE(e2e::waits_for_signal(daemon.pid()));
    EXPECT_EQ(daemon.stop(SIGTERM, milliseconds(5000)), 0);
    // The log sink may take a moment after the daemon's end to write its
    // last line.
    EXPECT_TRUE(log.wait_for("stopped", LOG_NOTICE)) << log.dump();
    EXPECT_FALSE(exists(socket_path));
  }

  e2e::syslog_tail log;
  e2e::process daemon;
};

TEST_F(DaemonTest, WithoutSettingsItStartsAndStopsAtOnce)
{
  ASSERT_TRUE(daemon.start({MEVRAKTD_BIN}));
  ASSERT_TRUE(daemon.wait(milliseconds(5000)));
  EXPECT_EQ(daemon.exit_status(), 0);
  ASSERT_TRUE(log.wait_for("stopped", LOG_NOTICE)) << log.dump();
  std::vector<std::string> texts;
  for (const e2e::syslog_line &line : log.lines()) {
    texts.push_back(line.text);
    EXPECT_EQ(line.ident, "mevraKT");
    EXPECT_EQ(line.pid, daemon.pid());
    EXPECT_EQ(line.facility, LOG_DAEMON);
    EXPECT_EQ(line.priority, line.text.rfind("settings:", 0) == 0 ? LOG_ERR : LOG_NOTICE) << line.text;
  }
  // The missing file is named: "disabled on" twice alone said nothing of it.
  EXPECT_EQ(texts, (std::vector<std::string>{"started",
                                             "settings: cannot read /opt/mevraKT/etc/settings: No such file or directory",
                                             "disabled on ", "disabled on ", "stopped"}));
  EXPECT_FALSE(exists(socket_path));
}

TEST_F(DaemonTest, ChannelTwoAloneServesBothStatusCommands)
{
  simulator meter;
  ASSERT_FALSE(meter.path.empty());
  start(channel_settings(0, "", 4001, 1, meter.path, 4002));
  ASSERT_TRUE(log.wait_for_prefix("shell started, listening on UNIX socket[", LOG_NOTICE)) << log.dump();
  EXPECT_EQ(log.count("disabled on ", LOG_NOTICE), 1);
  EXPECT_EQ(log.count("running on " + meter.path + ", listening on TCP port 4002", LOG_NOTICE), 1);

  result one = mevraktsh({"status", "1"});
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(one.output, "Service is disabled.\n\n");
  result two = mevraktsh({"status", "2"});
  EXPECT_EQ(two.status, 0);
  EXPECT_EQ(two.output, status_report("disconnected", "disconnected", 0, 0, 0, 0, 0, 0, 0, 0));
  result other = mevraktsh({"status", "3"});
  EXPECT_EQ(other.output, "shell: status 3: command not found\n");
  stop_and_check();
}

TEST_F(DaemonTest, ReadsTheMeterThroughTheTcpPort)
{
  simulator meter;
  ASSERT_FALSE(meter.path.empty());
  start(channel_settings(1, meter.path, 4001, 0, "", 0));
  ASSERT_TRUE(log.wait_for("running on " + meter.path + ", listening on TCP port 4001")) << log.dump();

  result read = run({METER_READ, "--count", "3", "--quiet", "127.0.0.1:4001"});
  EXPECT_EQ(read.status, 0) << read.output;
  ASSERT_TRUE(log.wait_for("disconnecting meter on " + meter.path, LOG_NOTICE)) << log.dump();
  EXPECT_EQ(log.count("connecting meter on " + meter.path, LOG_NOTICE), 1);
  EXPECT_EQ(log.count("meter connected on " + meter.path, LOG_NOTICE), 1);

  result status = mevraktsh({"status", "1"});
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(status.output, status_report("disconnected", "disconnected", 1, 1, 1, 0, 3, 0, 3, 0));

  // What the technician and the fleet see of the same reads.
  result trace = mevraktsh({"trace", "1"});
  EXPECT_EQ(trace.status, 0);
  std::istringstream lines(trace.output);
  int complete = 0, accepted = 0;
  for (std::string line; std::getline(lines, line);) {
    ASSERT_GT(line.size(), 24u) << line;
    EXPECT_EQ(line.substr(4, 1) + line.substr(10, 1) + line.substr(19, 1), "- .") << line;
    complete += line.substr(24) == "response complete code 14 meter 12 34 56 78 crc good";
    accepted += line.compare(24, 26, "client accepted 127.0.0.1:") == 0;
  }
  EXPECT_EQ(complete, 3) << trace.output;
  EXPECT_EQ(accepted, 1) << trace.output;
  result metrics = mevraktsh({"metrics"});
  EXPECT_EQ(metrics.status, 0);
  EXPECT_NE(metrics.output.find("\nmevrakt_responses_ok_total{channel=\"1\"} 3\n"), std::string::npos)
      << metrics.output;
  EXPECT_NE(metrics.output.find("\nmevrakt_service_running{channel=\"2\"} 0\n"), std::string::npos);
  EXPECT_EQ(mevraktsh({"trace", "2"}).output, "Service is disabled.\n");

  // A technician's reader on the line the daemon holds is turned away, in
  // the daemon's own words, and the daemon reads on.
  const e2e::run_result barge = e2e::run({METER_READ, "--serial", meter.path, "--timeout", "500"});
  EXPECT_EQ(barge.status, 1) << barge.output;
  EXPECT_EQ(barge.output.rfind("mevrakt-read: open(" + meter.path + ") error: ", 0), 0u) << barge.output;
  EXPECT_EQ(run({METER_READ, "--quiet", "127.0.0.1:4001"}).status, 0);
  stop_and_check();
}

TEST_F(DaemonTest, ShellClientEdges)
{
  simulator meter;
  start(channel_settings(1, meter.path, 4001, 0, "", 0));
  ASSERT_TRUE(log.wait_for_prefix("shell started", LOG_NOTICE)) << log.dump();

  result none = mevraktsh({});
  EXPECT_EQ(none.status, 2);  // a usage fault
  EXPECT_EQ(none.output, "");
  result four = mevraktsh({"status", "1", "extra", "dropped"});
  EXPECT_EQ(four.status, 0);
  EXPECT_EQ(four.output, status_report("disconnected", "disconnected", 0, 0, 0, 0, 0, 0, 0, 0));

  stop_and_check();
  result down = mevraktsh({"status", "1"});
  EXPECT_EQ(down.status, 1);  // no daemon runs
  EXPECT_EQ(down.output, "Error: service not running!\n\n");
}

TEST_F(DaemonTest, StopsCleanlyWithAClientConnectedAndACommandPending)
{
  testmeter::pty_meter silent;  // never sends ENQ: the command stays pending
  ASSERT_TRUE(silent.ok());
  start(channel_settings(1, silent.path(), 4001, 0, "", 0));
  ASSERT_TRUE(log.wait_for_prefix("shell started")) << log.dump();
  int client = testnet::loopback_connect(4001);
  ASSERT_GE(client, 0);
  const testmeter::bytes cmd = testmeter::make_command(0x14);
  ASSERT_EQ(send(client, cmd.data(), cmd.size(), 0), 66);
  ASSERT_TRUE(log.wait_for("connecting meter on " + silent.path(), LOG_NOTICE)) << log.dump();
  stop_and_check();
  close(client);
}

// A head-end whose commands reach the daemon in pieces (a small-MSS tunnel,
// a serial redirector) is answered; a meter line that vanishes and comes back
// at its path (a converter plugged in again, a device link re-pointed) is
// opened again, the TCP side staying up and the counters going on.
TEST_F(DaemonTest, SplitCommandsAndALineThatComesBack)
{
  char dir[] = "/tmp/mevrakt-line-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string line = std::string(dir) + "/ttyUSB0";
  auto meter = std::make_unique<simulator>();
  ASSERT_EQ(symlink(meter->path.c_str(), line.c_str()), 0);
  start(channel_settings(1, line, 4001, 0, "", 0));
  ASSERT_TRUE(log.wait_for("running on " + line + ", listening on TCP port 4001")) << log.dump();

  const int client = testnet::loopback_connect(4001);
  ASSERT_GE(client, 0);
  const int one = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto read_once = [&](uint8_t seed, bool split) {
    const testmeter::bytes cmd = testmeter::make_command(0x14, seed);
    const size_t first = split ? 1u + seed % 65u : 66u;
    send(client, cmd.data(), first, MSG_NOSIGNAL);
    if (first < 66) {
      poll(nullptr, 0, 5);  // the rest a moment later: a segment of its own
      send(client, cmd.data() + first, 66 - first, MSG_NOSIGNAL);
    }
    uint8_t rsp[258];
    pollfd p{client, POLLIN, 0};
    size_t got = 0;
    while (got < sizeof rsp && poll(&p, 1, 1500) == 1) {
      const ssize_t n = recv(client, rsp + got, sizeof rsp - got, 0);
      if (n <= 0)
        break;
      got += static_cast<size_t>(n);
    }
    return got == sizeof rsp && testmeter::crc_ok(testmeter::bytes(rsp, rsp + got)) && rsp[0] == 0x14;
  };
  const char *rounds_text = getenv("MEVRAKT_SPLIT_ROUNDS");
  const int rounds = rounds_text ? atoi(rounds_text) : 20;
  int answered = 0;
  for (int i = 0; i < rounds; i++)
    answered += read_once(static_cast<uint8_t>(i), true);
  printf("commands split in two TCP segments: %d of %d answered\n", answered, rounds);
  EXPECT_EQ(answered, rounds) << log.dump();
  EXPECT_EQ(log.count("nbr14522_cmd_check - command length error (33)"), 0);

  // The line vanishes, and its path with it: the pty's number, once free,
  // may go to a test running beside this one.
  ASSERT_EQ(unlink(line.c_str()), 0);
  meter.reset();
  ASSERT_TRUE(log.wait_for_prefix("line lost on " + line + ": ")) << log.dump();
  meter = std::make_unique<simulator>();
  ASSERT_EQ(symlink(meter->path.c_str(), line.c_str()), 0);
  const auto back = std::chrono::steady_clock::now();
  bool good = false;
  for (uint8_t seed = 0; !good && std::chrono::steady_clock::now() - back < std::chrono::seconds(10); seed++)
    good = read_once(seed, false);
  const auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - back);
  printf("line back at its path: first good read after %lld ms\n", static_cast<long long>(took.count()));
  EXPECT_TRUE(good) << log.dump();
  EXPECT_EQ(log.count("line back on " + line, LOG_NOTICE), 1) << log.dump();
  EXPECT_NE(mevraktsh({"status", "1"}).output.find("Responses OK          : " + std::to_string(rounds + 1) + "\n"),
            std::string::npos);
  close(client);
  stop_and_check();
  unlink(line.c_str());
  rmdir(dir);
}

// The line as the test left it: its settings, and nothing written to it.
struct line_state {
  bool ok = false;
  termios tio{};
};

line_state line_now(const std::string &path)
{
  line_state state;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  state.ok = fd >= 0 && tcgetattr(fd, &state.tio) == 0;
  if (fd >= 0)
    close(fd);
  return state;
}

bool same_line(const line_state &a, const line_state &b)
{
  return a.ok && b.ok && a.tio.c_iflag == b.tio.c_iflag && a.tio.c_oflag == b.tio.c_oflag &&
         a.tio.c_cflag == b.tio.c_cflag && a.tio.c_lflag == b.tio.c_lflag &&
         cfgetispeed(&a.tio) == cfgetispeed(&b.tio);
}

// Runs `argv` and returns what it printed on stdout alone, and its status.
result run_stdout(const std::vector<std::string> &argv)
{
  return run(argv);
}

// The same, stdout and stderr together.
result run_both(const std::vector<std::string> &argv)
{
  e2e::run_result r = e2e::run(argv);
  return {r.status, r.output};
}

// Every line logged since the last clear, once a line that mevraktsh logs
// (without a command) has come after them: whatever the programs run before
// it would have logged is in by then.
std::vector<std::string> logged_before_a_marker(e2e::syslog_tail &log)
{
  EXPECT_EQ(mevraktsh({}).status, 2);
  EXPECT_TRUE(log.wait_for("shell_exec - missing command", LOG_ERR)) << log.dump();
  std::vector<std::string> texts;
  for (const e2e::syslog_line &line : log.lines())
    if (line.text != "shell_exec - missing command")
      texts.push_back(line.ident + ": " + line.text);
  return texts;
}

// Help, version, a bad argument and the settings check are answered without
// a log line, the instance lock, the meter's line, a TCP port or the shell's
// socket, even with a channel enabled; and every program reports the one
// version of the build.
TEST_F(DaemonTest, OptionsTouchNothingAndEveryProgramHasTheBuildsVersion)
{
  testmeter::pty_meter meter;
  ASSERT_TRUE(meter.ok());
  ASSERT_TRUE(e2e::write_file(settings_path, channel_settings(1, meter.path(), 4001, 0, "/dev/ttyS2", 4002)));
  const line_state before = line_now(meter.path());
  ASSERT_TRUE(before.ok);
  log.clear();

  for (const char *option : {"-h", "--help"}) {
    result help = run_stdout({MEVRAKTD_BIN, option});
    EXPECT_EQ(help.status, 0) << option;
    EXPECT_EQ(help.output.compare(0, 41, "usage: mevraktd [-c FILE] [-t | -h | -V]\n"), 0) << help.output;
    EXPECT_NE(help.output.find("\n  -t, --check "), std::string::npos) << help.output;
  }
  for (const char *option : {"-V", "--version"})
    EXPECT_EQ(run_stdout({MEVRAKTD_BIN, option}).output, "mevraktd (mevraKT) " MEVRAKT_VERSION "\n") << option;
  for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
           {MEVRAKTD_BIN, "--bogus"}, {MEVRAKTD_BIN, "status"}, {MEVRAKTD_BIN, "-t", "-V"}, {MEVRAKTD_BIN, ""}}) {
    result quiet = run_stdout(bad);
    EXPECT_EQ(quiet.status, 2) << bad[1];
    EXPECT_EQ(quiet.output, "") << "nothing on stdout";
    result told = run_both(bad);
    EXPECT_NE(told.output.find("usage: mevraktd [-c FILE] [-t | -h | -V]\nRun 'mevraktd --help' for details.\n"),
              std::string::npos)
        << told.output;
  }
  result check = run_stdout({MEVRAKTD_BIN, "--check"});
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.output, "channel 1: would run on " + meter.path() +
                              ", listening on TCP port 4001\n"
                              "channel 2: disabled on /dev/ttyS2\n");

  EXPECT_EQ(logged_before_a_marker(log), std::vector<std::string>{});
  EXPECT_FALSE(exists("/var/run/mevraktd.pid"));
  EXPECT_FALSE(exists(socket_path));
  EXPECT_TRUE(same_line(before, line_now(meter.path()))) << "the line's settings changed";
  EXPECT_TRUE(meter.drain(milliseconds(50)).empty()) << "something was written to the line";
  const int port = testnet::loopback_connect(4001);
  EXPECT_LT(port, 0) << "TCP port 4001 listens";
  if (port >= 0)
    close(port);

  for (const char *program : {METER_SIM, METER_READ, MEVRAKTSH_BIN}) {
    const std::string name = strrchr(program, '/') + 1;
    for (const char *option : {"-V", "--version"})
      EXPECT_EQ(run_stdout({program, option}).output, name + " (mevraKT) " MEVRAKT_VERSION "\n") << program;
  }
  EXPECT_EQ(run_stdout({"sh", TEXTFILE_SCRIPT, "--version"}).output, "mevrakt-textfile (mevraKT) " MEVRAKT_VERSION "\n");
  EXPECT_EQ(run_stdout({"sh", TEXTFILE_SCRIPT, "--help"}).output.compare(0, 31, "usage: mevrakt-textfile [DIR]\n\n"), 0);
}

// The settings check reads the settings as a start would and judges every
// channel by the daemon's own rules and in its words, one line a channel; a
// daemon started on the same settings logs the same verdicts, and fails
// when channels are enabled and none opens.
TEST_F(DaemonTest, SettingsCheckJudgesEachChannelAsAStartWould)
{
  testmeter::pty_meter meter;
  ASSERT_TRUE(meter.ok());
  char dir[] = "/tmp/mevrakt-check-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string missing = std::string(dir) + "/ttyUSB7";
  auto check = [](const std::string &settings) {
    EXPECT_TRUE(e2e::write_file(settings_path, settings));
    return run_stdout({MEVRAKTD_BIN, "-t"});
  };

  // A good channel, its access keys read; a device that is no serial line.
  std::string text = channel_settings(1, meter.path(), 4001, 1, "/dev/null", 4002) +
                     "MOD_MEVRAKT_PROT1_ALLOW=192.0.2.7, 10.1.0.0/16\nMOD_MEVRAKT_PROT1_COMMANDS=14 0x21\n"
                     "MOD_MEVRAKT_PROT1_LISTEN=127.0.0.1\nMOD_MEVRAKT_PROT1_IDLE_TIMEOUT=600\n";
  result r = check(text);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "channel 1: would run on " + meter.path() +
                          ", listening on TCP port 4001\n"
                          "channel 2: open(/dev/null) error: not a serial line\n");

  // A port out of range, and an access key that cannot be right.
  r = check(channel_settings(1, meter.path(), 0, 1, meter.path(), 4002) + "MOD_MEVRAKT_PROT2_ALLOW=10.0.0.0/33\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "channel 1: mevrakt_open - TCP port 0 out of range (1 to 65535), channel on " + meter.path() +
                          " not opened\n"
                          "channel 2: mevrakt_open - bad value for MOD_MEVRAKT_PROT2_ALLOW: \"10.0.0.0/33\", "
                          "channel on " + meter.path() + " not opened\n");

  // Nothing enabled: the daemon would start and stop at once, which is no fault.
  r = check(channel_settings(0, "/dev/ttyS1", 4001, 0, "/dev/ttyS2", 4002));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "channel 1: disabled on /dev/ttyS1\nchannel 2: disabled on /dev/ttyS2\n"
                      "no channel enabled: mevraktd would start and stop at once\n");

  // No settings file at all is a fault to the check.
  unlink(settings_path);
  r = run_stdout({MEVRAKTD_BIN, "--check"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, std::string("settings: cannot read /opt/mevraKT/etc/settings: No such file or directory\n"
                                  "channel 1: disabled on \nchannel 2: disabled on \n"));

  // The adapter of the one enabled channel is missing: the check and the
  // daemon say the same, and the daemon fails.
  r = check(channel_settings(1, missing, 4001, 0, "/dev/ttyS2", 4002));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "channel 1: open(" + missing + ") error: No such file or directory\n"
                      "channel 2: disabled on /dev/ttyS2\n");
  log.clear();
  e2e::process failing;
  ASSERT_TRUE(failing.start({MEVRAKTD_BIN}));
  ASSERT_TRUE(failing.wait(milliseconds(5000)));
  EXPECT_EQ(failing.exit_status(), 1);
  ASSERT_TRUE(log.wait_for("stopped", LOG_NOTICE)) << log.dump();
  std::vector<std::string> texts;
  for (const e2e::syslog_line &line : log.lines())
    texts.push_back(line.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"started", "open(" + missing + ") error: No such file or directory",
                                             "channel 1 on " + missing + ", TCP port 4001, not running: its serial "
                                             "line did not open",
                                             "disabled on /dev/ttyS2", "stopped"}));
  EXPECT_FALSE(exists(socket_path));
  EXPECT_FALSE(exists("/var/run/mevraktd.pid"));

  // A running daemon holds the line and the port; checking its settings
  // before a restart still passes.
  start(channel_settings(1, meter.path(), 4001, 0, "", 0));
  ASSERT_TRUE(log.wait_for_prefix("shell started", LOG_NOTICE)) << log.dump();
  r = run_stdout({MEVRAKTD_BIN, "-t"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "channel 1: would run on " + meter.path() + ", listening on TCP port 4001\nchannel 2: disabled on \n");
  stop_and_check();
  rmdir(dir);
}

TEST(DaemonSymbolsOnHost, ExportsOnlyTheFourCallbacks)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer runtime adds symbols of its own";
#endif
  result nm = run({"nm", "-D", "--defined-only", MEVRAKTD_BIN});
  ASSERT_EQ(nm.status, 0);
  std::set<std::string> names;
  std::istringstream lines(nm.output);
  std::string address, type, name;
  while (lines >> address >> type >> name)
    names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"mevrakt_status", "nbr14522_disconnect", "nbr14522_write",
                                           "tcp_server_write"}));
}

}  // namespace
