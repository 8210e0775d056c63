// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include "tests/e2e/e2e.h"

namespace {

using e2e::milliseconds;

struct result {
  int status;
  std::string output;  // stdout and stderr
};

// Runs the sandbox binary with `args` and collects everything it prints.
result sandbox(std::vector<std::string> args)
{
  args.insert(args.begin(), e2e::sandbox_binary());
  e2e::process p;
  if (!p.start(args, {false, true, true}))
    return {-1, "cannot start " + args[0]};
  p.read_to_end(milliseconds(20000));
  p.wait(milliseconds(20000));
  return {p.exit_status(), p.output()};
}

std::set<std::string> entries(const std::string &dir)
{
  std::set<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
        names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

bool exists(const std::string &path)
{
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Reads until `n` bytes came or the deadline passed.
std::string read_bytes(int fd, size_t n, milliseconds timeout = milliseconds(5000))
{
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
    struct pollfd p = {fd, POLLIN, 0};
    char buf[256];
    if (poll(&p, 1, 50) <= 0)
      continue;
    ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0)
      break;
    got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

// Opens a pty's master side and names its slave; -1 on failure.
int open_pty(std::string &name)
{
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    if (master >= 0)
      close(master);
    return -1;
  }
  name = ptsname(master);
  return master;
}

// A directory under /tmp, which the sandbox shares with the host.
struct temp_dir {
  temp_dir()
  {
    char name[] = "/tmp/mevrakt-e2e-XXXXXX";
    if (mkdtemp(name))
      path = name;
  }
  ~temp_dir()
  {
    for (const std::string &e : entries(path))
      unlink((path + "/" + e).c_str());
    rmdir(path.c_str());
  }
  std::string path;
};

TEST(Sandbox, FixedPathsArePrivateAndEmpty)
{
  ASSERT_TRUE(e2e::in_sandbox());
  EXPECT_EQ(e2e::log_path(), "/run/mevrakt-sandbox.log");
  EXPECT_EQ(entries("/run"), std::set<std::string>{"mevrakt-sandbox.log"});
  EXPECT_TRUE(exists("/var/run/mevrakt-sandbox.log"));
  EXPECT_EQ(entries("/opt"), std::set<std::string>{"mevraKT"});
  EXPECT_EQ(entries("/opt/mevraKT"), std::set<std::string>{"etc"});
  EXPECT_TRUE(entries("/opt/mevraKT/etc").empty());

  struct stat st;
  ASSERT_EQ(stat("/dev/log", &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  int null = open("/dev/null", O_WRONLY);
  EXPECT_GE(null, 0);
  EXPECT_EQ(write(null, "x", 1), 1);
  close(null);

  // PID 1 is the sandbox, seen through a /proc of its own.
  EXPECT_EQ(e2e::read_file("/proc/1/comm"), "mevrakt-sandbox\n");
  EXPECT_LT(getpid(), 100);
}

TEST(Sandbox, CommandKeepsWorkingDirectoryAndLearnsTheLog)
{
  e2e::process p;
  ASSERT_TRUE(p.start({"sh", "-c", "cd /usr/bin && exec \"$0\" -- sh -c 'pwd; echo $MEVRAKT_SANDBOX $MEVRAKT_SANDBOX_LOG'",
                       e2e::sandbox_binary()},
                      {false, true, true}));
  EXPECT_TRUE(p.read_to_end());
  EXPECT_EQ(p.output(), "/usr/bin\n1 /run/mevrakt-sandbox.log\n");
}

TEST(Sandbox, SyslogMessagesLandInTheLogFileOneLineEach)
{
  e2e::syslog_tail log;
  log.clear();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    openlog("mevraKT", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    syslog(LOG_NOTICE, "started");
    syslog(LOG_ERR, "two\nlines");
    _exit(0);
  }
  int status;
  ASSERT_EQ(waitpid(child, &status, 0), child);

  ASSERT_TRUE(log.wait_for("started", LOG_NOTICE)) << log.dump();
  ASSERT_TRUE(log.wait_for("two lines", LOG_ERR)) << log.dump();
  std::vector<e2e::syslog_line> lines = log.lines();
  ASSERT_EQ(lines.size(), 2u) << log.dump();
  const e2e::syslog_line &l = lines[0];
  EXPECT_EQ(l.raw.substr(0, 4), "<29>") << l.raw;
  std::string tail = " mevraKT[" + std::to_string(child) + "]: started";
  EXPECT_EQ(l.raw.substr(l.raw.size() - tail.size()), tail) << l.raw;
  EXPECT_EQ(l.facility, LOG_DAEMON);
  EXPECT_EQ(l.ident, "mevraKT");
  EXPECT_EQ(l.pid, child);
  EXPECT_TRUE(log.wait_for_prefix("two", LOG_ERR));
  EXPECT_FALSE(log.wait_for("started", LOG_ERR, 1, milliseconds(0)));
}

TEST(Sandbox, PseudoTerminalWorks)
{
  std::string name;
  int master = open_pty(name);
  ASSERT_GE(master, 0);
  EXPECT_EQ(name.rfind("/dev/pts/", 0), 0u) << name;
  int slave = open(name.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0) << name;
  struct termios tio;
  ASSERT_EQ(tcgetattr(slave, &tio), 0);
  cfmakeraw(&tio);
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &tio), 0);

  ASSERT_EQ(write(master, "\x05\x06", 2), 2);
  EXPECT_EQ(read_bytes(slave, 2), "\x05\x06");
  ASSERT_EQ(write(slave, "\x15", 1), 1);
  EXPECT_EQ(read_bytes(master, 1), "\x15");
  close(slave);
  close(master);
}

TEST(Sandbox, LoopbackTcpOnAFixedPort)
{
  constexpr uint16_t port = 4001;  // fixed, as in a settings file: the network is ours
  int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
  ASSERT_EQ(listen(server, 1), 0);
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
  int peer = accept(server, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  ASSERT_EQ(write(client, "frame", 5), 5);
  EXPECT_EQ(read_bytes(peer, 5), "frame");
  for (int fd : {peer, client, server})
    close(fd);
}

TEST(Sandbox, SettingsAndLogFileOptions)
{
  temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string settings = dir.path + "/settings";
  std::string log = dir.path + "/custom.log";
  ASSERT_TRUE(e2e::write_file(settings, "MOD_MEVRAKT_ENABLED=1\n"));

  result r = sandbox({"--settings", settings, "--log", log, "--", "sh", "-c",
                      "cat /opt/mevraKT/etc/settings; echo $MEVRAKT_SANDBOX_LOG; "
                      "logger -t mevraKT -p daemon.warning custom"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "MOD_MEVRAKT_ENABLED=1\n" + log + "\n");
  // Written before the sandbox ended, though nobody waited for it.
  std::string written = e2e::read_file(log);
  e2e::syslog_line line = e2e::parse_syslog_line(written.substr(0, written.find('\n')));
  EXPECT_EQ(line.text, "custom") << line.raw;
  EXPECT_EQ(line.priority, LOG_WARNING);
  EXPECT_EQ(line.raw.substr(0, 4), "<28>");
}

TEST(Sandbox, ExitStatusComesBack)
{
  EXPECT_EQ(sandbox({"--", "sh", "-c", "exit 7"}).status, 7);
  EXPECT_EQ(sandbox({"--", "sh", "-c", "kill -KILL $$"}).status, 128 + SIGKILL);
  EXPECT_EQ(sandbox({"--", "/nonexistent/program"}).status, 127);

  result r = sandbox({"--settings", "/nonexistent/settings", "--", "true"});
  EXPECT_EQ(r.status, 125);
  EXPECT_NE(r.output.find("cannot read settings file /nonexistent/settings"), std::string::npos) << r.output;
  r = sandbox({"--bogus", "--", "true"});
  EXPECT_EQ(r.status, 125);
  EXPECT_NE(r.output.find("usage:"), std::string::npos) << r.output;
}

TEST(Sandbox, ProcessesLeftBehindAreKilled)
{
  // Both sleepers hold the output pipe: it closes only once they are gone.
  e2e::process p;
  ASSERT_TRUE(p.start({e2e::sandbox_binary(), "--", "sh", "-c",
                       "sleep 600 & setsid sleep 600 & echo started"},
                      {false, true, false}));
  EXPECT_TRUE(p.read_to_end(milliseconds(10000)));
  EXPECT_EQ(p.output(), "started\n");
  ASSERT_TRUE(p.wait());
  EXPECT_EQ(p.exit_status(), 0);
}

TEST(Sandbox, SigtermAndSigintReachTheCommand)
{
  for (int sig : {SIGTERM, SIGINT}) {
    e2e::process p;
    ASSERT_TRUE(p.start({e2e::sandbox_binary(), "--", "sh", "-c",
                         "trap 'exit 42' TERM INT; echo ready; sleep 600 & wait"},
                        {false, true, false}));
    ASSERT_TRUE(p.wait_output("ready"));
    p.signal(sig);
    ASSERT_TRUE(p.wait(milliseconds(10000)));
    EXPECT_EQ(p.exit_status(), 42) << "signal " << sig;
  }
}

TEST(Sandbox, ProcessFeedsMeasuresAndStops)
{
  e2e::process cat;
  ASSERT_TRUE(cat.start({"cat"}, {true, true, false}));
  ASSERT_TRUE(cat.write_stdin("frame"));
  cat.close_stdin();
  EXPECT_TRUE(cat.read_to_end());
  EXPECT_EQ(cat.output(), "frame");
  ASSERT_TRUE(cat.wait());
  EXPECT_EQ(cat.exit_status(), 0);

  e2e::process stubborn;
  ASSERT_TRUE(stubborn.start({"sh", "-c", "trap '' TERM; echo ready; exec sleep 600"}, {false, true, false}));
  ASSERT_TRUE(stubborn.wait_output("ready"));
  EXPECT_GE(stubborn.cpu_ticks(), 0);
  EXPECT_GE(stubborn.fd_count(), 3);
  EXPECT_EQ(stubborn.stop(SIGTERM, milliseconds(200)), 128 + SIGKILL);
  EXPECT_EQ(stubborn.cpu_ticks(), -1);
}

TEST(SandboxOnHost, NothingLeaksOntoTheHost)
{
  const std::vector<std::string> probes = {"/run/probe", "/var/run/probe-var", "/opt/probe", "/dev/probe"};
  for (const std::string &p : probes)
    ASSERT_FALSE(exists(p)) << p << " is already on the host";
  bool had_dev_log = exists("/dev/log");
  bool had_opt_mevrakt = exists("/opt/mevraKT");
  std::string mounts = e2e::read_file("/proc/self/mountinfo");

  result r = sandbox({"--", "sh", "-c",
                      "touch /run/probe /var/run/probe-var /opt/probe /dev/probe && "
                      "echo x > /opt/mevraKT/etc/settings && test -S /dev/log && logger probe"});
  ASSERT_EQ(r.status, 0) << r.output;

  for (const std::string &p : probes)
    EXPECT_FALSE(exists(p)) << p;
  EXPECT_EQ(exists("/dev/log"), had_dev_log);
  EXPECT_EQ(exists("/opt/mevraKT"), had_opt_mevrakt);
  EXPECT_FALSE(exists("/run/mevrakt-sandbox.log"));
  EXPECT_EQ(e2e::read_file("/proc/self/mountinfo"), mounts);
}

TEST(SandboxOnHost, PtyOpenedOutsideIsReachableInside)
{
  std::string name;
  int master = open_pty(name);
  ASSERT_GE(master, 0);
  result r = sandbox({"--", "sh", "-c", "printf meter > \"$0\"", name});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(read_bytes(master, 5), "meter");
  close(master);
}

// The sandbox tests again, as an ordinary user: the sandbox must then make
// its own user namespace.
TEST(SandboxOnHost, SandboxTestsPassWithoutRoot)
{
  if (getuid() != 0)
    GTEST_SKIP() << "not root: the sandbox tests already ran without root";
  const std::string nobody = "--reuid=65534";
  e2e::process probe;
  if (!probe.start({"setpriv", nobody, "--regid=65534", "--clear-groups", "unshare", "--user",
                    "--map-root-user", "true"}) ||
      !probe.wait() || probe.exit_status() != 0)
    GTEST_SKIP() << "unprivileged user namespaces are not allowed here (or setpriv is missing)";

  // Copies everyone may run, whatever the permissions on the build folder.
  temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
  std::string sandbox_copy = dir.path + "/mevrakt-sandbox";
  std::string test_copy = dir.path + "/sandbox_test";
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  for (auto &copy : {std::make_pair(e2e::sandbox_binary(), sandbox_copy), std::make_pair(std::string(self), test_copy)}) {
    ASSERT_TRUE(e2e::write_file(copy.second, e2e::read_file(copy.first)));
    ASSERT_EQ(chmod(copy.second.c_str(), 0755), 0);
  }

  // The kernel makes a user namespace only for a single-threaded caller and
  // says EINVAL to any other. Under user-mode emulation (qemu-arm) every
  // process runs the emulator's threads too, so no sandbox can work there
  // without root, whatever its code does.
  e2e::process alone;
  ASSERT_TRUE(alone.start({"setpriv", nobody, "--regid=65534", "--clear-groups", sandbox_copy, "--", "true"},
                          {false, true, true}));
  EXPECT_TRUE(alone.read_to_end(milliseconds(30000)));
  ASSERT_TRUE(alone.wait(milliseconds(10000)));
  if (alone.exit_status() == 125 && alone.output().find("user namespace") != std::string::npos &&
      alone.output().find(strerror(EINVAL)) != std::string::npos)
    GTEST_SKIP() << "the sandbox runs with threads of its own here: " << alone.output();

  e2e::process p;
  ASSERT_TRUE(p.start({"setpriv", nobody, "--regid=65534", "--clear-groups", "env",
                       "MEVRAKT_SANDBOX_BIN=" + sandbox_copy, test_copy, "--gtest_filter=-*OnHost.*"},
                      {false, true, true}));
  EXPECT_TRUE(p.read_to_end(milliseconds(60000)));
  ASSERT_TRUE(p.wait(milliseconds(10000)));
  EXPECT_EQ(p.exit_status(), 0) << p.output();
  EXPECT_NE(p.output().find("[  PASSED  ]"), std::string::npos) << p.output();
}

}  // namespace
