// SPDX-License-Identifier: MIT
// What installing puts beside the programs, run for real in the sandbox: the
// example settings as the daemon reads them, and the init script starting,
// restarting and stopping the real daemon under the shells and
// start-stop-daemon a board may have.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "tests/e2e/e2e.h"
#include "tests/support/pty_meter.h"

namespace {

using e2e::milliseconds;
using e2e::run;
using result = e2e::run_result;

using e2e::settings_path;
constexpr const char *pid_file = "/var/run/mevraktd.pid";

bool exists(const char *path)
{
  struct stat st;
  return lstat(path, &st) == 0;
}

// The shipped example with `from` replaced by `to`, as an operator edits it.
std::string edit(std::string text, const std::string &from, const std::string &to)
{
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos)
    text.replace(at, from.size(), to);
  return text;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(e2e::in_sandbox());
    ASSERT_TRUE(meter.ok());
    example = e2e::read_file(SETTINGS_EXAMPLE);
    ASSERT_FALSE(example.empty());
    log.clear();
  }

  testmeter::pty_meter meter;
  std::string example;
  e2e::syslog_tail log;
};

TEST_F(ServiceTest, ExampleSettingsKeepBothChannelsOffAndNameTheirDevices)
{
  ASSERT_TRUE(e2e::write_file(settings_path, example));
  result daemon = run({MEVRAKTD_BIN});
  EXPECT_EQ(daemon.status, 0);
  ASSERT_TRUE(log.wait_for("stopped", LOG_NOTICE)) << log.dump();
  EXPECT_EQ(log.count("disabled on /dev/ttyS1", LOG_NOTICE), 1) << log.dump();
  EXPECT_EQ(log.count("disabled on /dev/ttyS2", LOG_NOTICE), 1) << log.dump();
}

TEST_F(ServiceTest, EveryExampleKeyTakesEffectOnceEdited)
{
  testmeter::pty_meter second;
  ASSERT_TRUE(second.ok());
  std::string text = example;
  text = edit(text, "MOD_MEVRAKT_PROT1_ENABLED=0", "MOD_MEVRAKT_PROT1_ENABLED=1");
  text = edit(text, "=/dev/ttyS1", "=" + meter.path());
  text = edit(text, "PORT=4001", "PORT=4101");
  text = edit(text, "MOD_MEVRAKT_PROT2_ENABLED=0", "MOD_MEVRAKT_PROT2_ENABLED=1");
  text = edit(text, "=/dev/ttyS2", "=\"" + second.path() + "\"");
  text = edit(text, "PORT=4002", "PORT=4102");
  // The optional keys' example values can all be read.
  for (size_t at; (at = text.find("\n#MOD_MEVRAKT_")) != std::string::npos;)
    text.erase(at + 1, 1);

  e2e::process daemon;
  ASSERT_TRUE(e2e::start_daemon(daemon, MEVRAKTD_BIN, text));
  EXPECT_TRUE(log.wait_for("running on " + meter.path() + ", listening on TCP port 4101", LOG_NOTICE))
      << log.dump();
  EXPECT_TRUE(log.wait_for("running on " + second.path() + ", listening on TCP port 4102", LOG_NOTICE))
      << log.dump();
  ASSERT_TRUE(log.wait_for_prefix("shell started", LOG_NOTICE)) << log.dump();
  for (const char *channel : {"1", "2"}) {
    result status = run({MEVRAKTSH_BIN, "status", channel});
    EXPECT_EQ(status.output.compare(0, 32, "Service               : running\n"), 0) << status.output;
  }
  // Until it waits for SIGTERM, the daemon dies of it rather than stopping.
  EXPECT_TRUE(e2e::waits_for_signal(daemon.pid()));
  EXPECT_EQ(daemon.stop(SIGTERM, milliseconds(10000)), 0);
}

// How a board runs the init script: which shell, and with or without
// start-stop-daemon on the PATH. A PATH without /usr/sbin and /sbin leaves
// the script to put the daemon in the background itself.
struct init_system {
  std::vector<std::string> shell;
  std::string path;
};

class InitScriptTest : public ServiceTest {
 protected:
  void SetUp() override
  {
    ServiceTest::SetUp();
    unlink(pid_file);
    std::string text = edit(example, "MOD_MEVRAKT_PROT1_ENABLED=0", "MOD_MEVRAKT_PROT1_ENABLED=1");
    ASSERT_TRUE(e2e::write_file(settings_path, edit(text, "=/dev/ttyS1", "=" + meter.path())));
  }

  result init(const std::string &action)
  {
    std::vector<std::string> argv = {"env", "PATH=" + system.path};
    argv.insert(argv.end(), system.shell.begin(), system.shell.end());
    argv.insert(argv.end(), {INIT_SCRIPT, action});
    return run(argv);
  }

  // The pid the script reports for a running daemon; -1 when it says otherwise.
  long running_pid()
  {
    result status = init("status");
    const std::string running = "mevraktd is running (pid ";
    if (status.status != 0 || status.output.compare(0, running.size(), running) != 0)
      return -1;
    return atol(status.output.c_str() + running.size());
  }

  // Runs `action`, which stops the daemon `pid` (and may start another),
  // checks that it stopped as it should, and returns what the script said.
  // Lines logged before are forgotten.
  std::string stopping(long pid, const std::string &action)
  {
    // The script's SIGTERM must find the daemon ready for it.
    EXPECT_TRUE(e2e::waits_for_signal(static_cast<pid_t>(pid)));
    log.clear();
    result r = init(action);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(log.wait_for("stopped", LOG_NOTICE)) << log.dump();
    return r.output;
  }

  // Starts, checks, restarts and stops the daemon through the script.
  void lifecycle()
  {
    result status = init("status");
    EXPECT_EQ(status.status, 3);
    EXPECT_EQ(status.output, "mevraktd is not running\n");

    result start = init("start");
    EXPECT_EQ(start.status, 0);
    EXPECT_EQ(start.output, "Starting mevraktd: OK\n");
    ASSERT_TRUE(log.wait_for_prefix("shell started", LOG_NOTICE)) << log.dump();
    long first = running_pid();
    ASSERT_GT(first, 0);
    EXPECT_EQ(atol(e2e::read_file(pid_file).c_str()), first);
    for (const e2e::syslog_line &line : log.lines())
      EXPECT_EQ(line.pid, first) << line.raw;

    result again = init("start");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.output, "Starting mevraktd: already running\n");
    EXPECT_EQ(running_pid(), first);

    EXPECT_EQ(stopping(first, "restart"), "Stopping mevraktd: OK\nStarting mevraktd: OK\n");
    ASSERT_TRUE(log.wait_for_prefix("shell started", LOG_NOTICE)) << log.dump();
    long second = running_pid();
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(run({MEVRAKTSH_BIN, "status", "1"}).status, 0);

    EXPECT_EQ(stopping(second, "stop"), "Stopping mevraktd: OK\n");
    EXPECT_FALSE(exists(pid_file));
    EXPECT_FALSE(exists("/var/run/mevraKT.socket"));
    EXPECT_EQ(init("status").status, 3);
    EXPECT_EQ(init("stop").output, "Stopping mevraktd: not running\n");
  }

  init_system system;
};

TEST_F(InitScriptTest, WithStartStopDaemon)
{
  system = {{"sh"}, "/usr/sbin:/usr/bin:/sbin:/bin"};
  if (run({"env", "PATH=" + system.path, "sh", "-c", "command -v start-stop-daemon"}).status != 0)
    GTEST_SKIP() << "no start-stop-daemon here";
  lifecycle();
}

TEST_F(InitScriptTest, WithoutStartStopDaemon)
{
  system = {{"sh"}, "/usr/bin:/bin"};
  ASSERT_NE(run({"env", "PATH=" + system.path, "sh", "-c", "command -v start-stop-daemon"}).status, 0);
  lifecycle();
}

// A dead daemon's last reading once stayed in the metrics file, and a link
// planted in its directory was written through. The script as a board's
// timer or cron runs it, under BusyBox's shell and applets where there is
// BusyBox: the daemon's metrics with the success series at 1; while it does
// not answer, that series alone at 0; a link at the file's name replaced.
TEST_F(ServiceTest, TextfileScriptSaysWhetherTheDaemonAnswered)
{
  char dir[] = "/tmp/textfile.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string shell = "sh", path = "/usr/bin:/bin";
  if (access("/bin/busybox", X_OK) == 0) {
    const std::string applets = std::string(dir) + "/bin";
    ASSERT_EQ(mkdir(applets.c_str(), 0755), 0);
    for (const char *applet : {"sh", "grep", "mktemp", "mv", "rm"})
      ASSERT_EQ(symlink("/bin/busybox", (applets + "/" + applet).c_str()), 0) << applet;
    shell = applets + "/sh";
    path = applets;
  }
  const std::string prom = std::string(dir) + "/mevrakt.prom";
  ASSERT_TRUE(e2e::write_file("/tmp/secret", "root only\n") && chmod("/tmp/secret", 0600) == 0);
  ASSERT_EQ(symlink("/tmp/secret", prom.c_str()), 0);
  auto textfile = [&] { return run({"env", "PATH=" + path, shell, TEXTFILE_SCRIPT, dir}); };
  auto dead = [&] { return e2e::read_file(prom).find("\n# TYPE mevrakt_textfile_success gauge\nmevrakt_textfile_success 0\n"); };

  result down = textfile();
  EXPECT_EQ(down.status, 1);
  EXPECT_NE(down.output.find("no metrics from mevraktsh"), std::string::npos) << down.output;
  EXPECT_EQ(dead(), e2e::read_file(prom).find('\n')) << "the success series alone";
  EXPECT_EQ(e2e::read_file("/tmp/secret"), "root only\n");

  e2e::process daemon;
  const std::string text = edit(example, "MOD_MEVRAKT_PROT1_ENABLED=0", "MOD_MEVRAKT_PROT1_ENABLED=1");
  ASSERT_TRUE(e2e::start_daemon(daemon, MEVRAKTD_BIN, edit(text, "=/dev/ttyS1", "=" + meter.path())));
  ASSERT_TRUE(log.wait_for_prefix("shell started", LOG_NOTICE)) << log.dump();
  result up = textfile();
  EXPECT_EQ(up.status, 0) << up.output;
  const std::string good = e2e::read_file(prom);
  EXPECT_EQ(good.compare(0, 26, "# HELP mevrakt_build_info "), 0) << good;
  EXPECT_NE(good.find("\nmevrakt_service_running{channel=\"1\"} 1\n"), std::string::npos) << good;
  EXPECT_NE(good.find("\nmevrakt_textfile_success 1\n"), std::string::npos) << good;
  struct stat st;
  ASSERT_EQ(lstat(prom.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(stat("/tmp/secret", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_TRUE(e2e::waits_for_signal(daemon.pid()));
  EXPECT_EQ(daemon.stop(SIGTERM, milliseconds(10000)), 0);
  EXPECT_EQ(textfile().status, 1);
  EXPECT_EQ(dead(), e2e::read_file(prom).find('\n'));
  EXPECT_EQ(run({"ls", "-A", dir}).output, path == "/usr/bin:/bin" ? "mevrakt.prom\n" : "bin\nmevrakt.prom\n")
      << "no part file left";
  run({"rm", "-r", dir, "/tmp/secret"});
}

// The metrics as the tools of a fleet read them: promtool and Python's
// Prometheus parser take the text format, Python's OpenMetrics parser the
// OpenMetrics form; none finds two families of one name.
TEST_F(ServiceTest, MetricsPassPrometheusAndOpenMetricsParsers)
{
  ASSERT_TRUE(access(PROMTOOL, X_OK) == 0) << "promtool missing at '" PROMTOOL "': run scripts/setup.sh";
  e2e::process daemon;
  const std::string text = edit(example, "MOD_MEVRAKT_PROT1_ENABLED=0", "MOD_MEVRAKT_PROT1_ENABLED=1");
  ASSERT_TRUE(e2e::start_daemon(daemon, MEVRAKTD_BIN, edit(text, "=/dev/ttyS1", "=" + meter.path())));
  ASSERT_TRUE(log.wait_for_prefix("shell started", LOG_NOTICE)) << log.dump();
  const std::string prometheus = run({MEVRAKTSH_BIN, "metrics"}).output;
  const std::string openmetrics = run({MEVRAKTSH_BIN, "metrics", "openmetrics"}).output;
  ASSERT_TRUE(e2e::write_file("/tmp/metrics.prom", prometheus) && e2e::write_file("/tmp/metrics.om", openmetrics));
  EXPECT_EQ(run({"sh", "-c", std::string(PROMTOOL) + " check metrics < /tmp/metrics.prom"}).status, 0)
      << run({"sh", "-c", std::string(PROMTOOL) + " check metrics < /tmp/metrics.prom"}).output;
  const char *parse =
      "import sys\n"
      "from prometheus_client.parser import text_string_to_metric_families as text\n"
      "from prometheus_client.openmetrics.parser import text_string_to_metric_families as om\n"
      "for parser, path in ((text, '/tmp/metrics.prom'), (om, '/tmp/metrics.om')):\n"
      "    names = [f.name for f in parser(open(path).read())]\n"
      "    assert len(names) == len(set(names)), names\n"
      "    print(len(names))\n";
  const result python = run({"/usr/bin/python3", "-c", parse});
  EXPECT_EQ(python.status, 0) << python.output;
  EXPECT_EQ(python.output, "22\n22\n");
  EXPECT_EQ(daemon.stop(SIGTERM, milliseconds(10000)), 0);
}

// BusyBox's own shell and applets alone, as on a small board.
TEST_F(InitScriptTest, UnderBusyBox)
{
  const char *busybox = "/bin/busybox";
  if (access(busybox, X_OK) != 0)
    GTEST_SKIP() << "no BusyBox here (Debian package busybox)";
  char dir[] = "/tmp/busybox.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  for (const char *applet : {"sh", "start-stop-daemon", "cat", "rm", "sleep"})
    ASSERT_EQ(symlink(busybox, (std::string(dir) + "/" + applet).c_str()), 0) << applet;
  system = {{std::string(dir) + "/sh"}, dir};
  lifecycle();
  run({"rm", "-r", dir});
}

}  // namespace
