// SPDX-License-Identifier: MIT
// An operator's mistakes, made with the real programs in the sandbox: the
// settings check and a start judge each alike and name it, and the shell
// client says what went wrong, with a status of its own, and never hangs.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <thread>

#include "tests/e2e/e2e.h"
#include "tests/support/pty_meter.h"

namespace {

using e2e::milliseconds;

struct mistake {
  std::string settings;  // none written when empty
  const char *path;      // given with -c, or nullptr
  int runs;              // channels that both verdicts let run
  std::string named;     // what both say
};

std::string swap(std::string text, const std::string &from, const std::string &to)
{
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

int occurrences(const std::string &text, const std::string &part)
{
  int n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at++)
    n++;
  return n;
}

int unix_socket(bool listening)
{
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{AF_UNIX, "/var/run/mevraKT.socket"};
  const auto *a = reinterpret_cast<const sockaddr *>(&addr);
  const bool ok = listening ? bind(fd, a, sizeof addr) == 0 && listen(fd, 8) == 0 : connect(fd, a, sizeof addr) == 0;
  return ok ? fd : (close(fd), -1);
}

// A misspelt key once left a limit off or a channel disabled in silence;
// "40O1" listened on port 40; one line or port on both channels, and
// /dev/tty, passed the check and failed the start; a byte-order mark hid the
// first key; port 80 failed under the unit unexplained; a missing file went
// unnamed; /dev/zero or a FIFO as the file hung the check and spun the daemon.
TEST(Misconfiguration, CheckAndStartAgreeAndNameTheMistake)
{
  ASSERT_TRUE(e2e::in_sandbox());
  testmeter::pty_meter line1, line2;
  unlink("/tmp/settings.fifo");
  ASSERT_EQ(mkfifo("/tmp/settings.fifo", 0600), 0);
  const std::string one = "MOD_MEVRAKT_PROT1_ENABLED=1\nMOD_MEVRAKT_PROT1_DEVICE=DEV1\nMOD_MEVRAKT_PROT1_PORT=4001\n";
  const std::string both = one + swap(one, "1", "2");
  const std::vector<mistake> mistakes = {
      {one + "MOD_MEVRAKT_PROT1_ALLOWED=192.0.2.7\n", nullptr, 1,
       "line 4: unknown key \"MOD_MEVRAKT_PROT1_ALLOWED\", did you mean MOD_MEVRAKT_PROT1_ALLOW?"},
      {swap(one, "_PROT1_ENABLED", "_PRT1_ENABLED"), nullptr, 0, "did you mean MOD_MEVRAKT_PROT1_ENABLED?"},
      {swap(one, "4001", "40O1"), nullptr, 0, "bad value for MOD_MEVRAKT_PROT1_PORT: \"40O1\""},
      {swap(both, "DEV2", "DEV1"), nullptr, 1, "device already taken by channel 1"},
      {swap(both, "4002", "4001"), nullptr, 1, "TCP port 4001 already taken by channel 1"},
      {"\xEF\xBB\xBF" + one, nullptr, 1, "DEV1, listening on TCP port 4001"},
      {swap(one, "4001", "80"), nullptr, 1, "DEV1, listening on TCP port 80"},
      {swap(one, "DEV1", "/dev/tty"), nullptr, 0, "open(/dev/tty) error: "},
      {"", nullptr, 0, "settings: cannot read /opt/mevraKT/etc/settings: No such file or directory"},
      {one, "/dev/zero", 0, "settings: /dev/zero is not a regular file, not read"},
      {one, "/tmp/settings.fifo", 0, "settings: /tmp/settings.fifo is not a regular file, not read"},
  };
  e2e::syslog_tail log;
  for (const mistake &m : mistakes) {
    const std::string settings = swap(swap(m.settings, "DEV1", line1.path()), "DEV2", line2.path());
    const std::string named = swap(m.named, "DEV1", line1.path());
    SCOPED_TRACE(settings);
    unlink(e2e::settings_path);
    ASSERT_TRUE(settings.empty() || e2e::write_file(e2e::settings_path, settings));
    const std::vector<std::string> argv = m.path ? std::vector<std::string>{MEVRAKTD_BIN, "-c", m.path}
                                                 : std::vector<std::string>{MEVRAKTD_BIN};
    std::vector<std::string> check_argv = argv;
    check_argv.push_back("--check");
    const e2e::run_result check = e2e::run(check_argv, {false, true, false}, milliseconds(5000));
    log.clear();
    e2e::process daemon;
    ASSERT_TRUE(daemon.start(argv));
    // With a channel running it waits for SIGTERM; with none it ends alone.
    if (m.runs) {
      EXPECT_TRUE(log.wait_for_prefix("shell started") && e2e::waits_for_signal(daemon.pid())) << log.dump();
      daemon.stop();
    }
    EXPECT_TRUE(daemon.wait(milliseconds(5000)));
    ASSERT_TRUE(log.wait_for("stopped")) << log.dump();
    std::string logged = "\n";
    int faults = 0;
    for (const e2e::syslog_line &line : log.lines()) {
      logged += line.text + "\n";
      // A break the line's driver refuses (a pseudo-terminal under an
      // emulator) says nothing of the settings.
      faults += line.priority <= LOG_WARNING && line.text.find(" break on ") == std::string::npos;
    }
    EXPECT_EQ(occurrences(check.output, ": would run on "), m.runs) << check.output;
    EXPECT_EQ(occurrences(logged, "\nrunning on "), m.runs) << logged;
    EXPECT_EQ(check.status, faults ? 1 : 0) << check.output << logged;
    EXPECT_NE(check.output.find(named), std::string::npos) << check.output;
    EXPECT_NE(logged.find(named), std::string::npos) << logged;
    const bool low_port = named.find("port 80") != std::string::npos;
    EXPECT_EQ(check.output.find("needs CAP_NET_BIND_SERVICE") != std::string::npos, low_port) << check.output;
  }
  unlink("/tmp/settings.fifo");
}

// mevraktsh once hung on a stopped daemon (and the metrics timer with it),
// waited up to 51 s behind 30 connections holding their turn, and exited
// with 255 for every failure alike.
TEST(Misconfiguration, ShellClientNeverHangsAndSaysWhatWentWrong)
{
  ASSERT_TRUE(e2e::in_sandbox());
  testmeter::pty_meter line;
  e2e::syslog_tail log;
  e2e::process daemon;
  ASSERT_TRUE(e2e::start_daemon(daemon, MEVRAKTD_BIN, e2e::channel_settings(1, line.path(), 4001, 0, "", 0)));
  ASSERT_TRUE(log.wait_for_prefix("shell started")) << log.dump();
  auto mevraktsh = [](std::vector<std::string> argv) {
    argv.insert(argv.begin(), MEVRAKTSH_BIN);
    return e2e::run(argv);
  };
  std::vector<int> holders;
  for (int i = 0; i < 30; i++)
    holders.push_back(unix_socket(false));
  EXPECT_EQ(mevraktsh({"status", "1"}).status, 0) << "not answered within 5 s";
  for (int fd : holders)
    close(fd);

  // Stopped (its threads stop with it at once) when its state says T.
  const std::string stat = "/proc/" + std::to_string(daemon.pid()) + "/stat";
  ASSERT_TRUE(daemon.signal(SIGSTOP));
  for (int i = 0; i < 2000 && e2e::read_file(stat).find(") T ") == std::string::npos; i++)
    poll(nullptr, 0, 5);
  e2e::run_result r = mevraktsh({"-t", "1", "status", "1"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.output, "mevraktsh: no answer from the daemon within 1 s\n");
  daemon.signal(SIGCONT);

  r = e2e::run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", MEVRAKTSH_BIN, "status", "1"});
  if (r.output.find("setpriv:") == std::string::npos) {
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.output.find("mevraktsh: the daemon refuses this user"), std::string::npos) << r.output;
  }
  EXPECT_TRUE(e2e::waits_for_signal(daemon.pid()));
  EXPECT_EQ(daemon.stop(), 0);
  r = mevraktsh({"status", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output.rfind("Error: service not running!\n\nmevraktsh: cannot reach the daemon", 0), 0u) << r.output;

  // A stand-in for a daemon that gives up half way through its answer.
  const int listening = unix_socket(true);
  std::thread cut([listening] {
    const int fd = accept(listening, nullptr, nullptr);
    char request[64];
    if (recv(fd, request, sizeof request, 0) > 0)
      send(fd, "Service               : run", 27, MSG_NOSIGNAL);
    close(fd);
  });
  r = mevraktsh({"status", "1"});
  cut.join();
  close(listening);
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.output, "Service               : runmevraktsh: answer from the daemon cut short\n");
}

}  // namespace
