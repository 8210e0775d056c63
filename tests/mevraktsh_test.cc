// SPDX-License-Identifier: MIT
// The real mevraktsh, run in the sandbox against a stand-in for the daemon's
// shell on the fixed socket path.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "tests/e2e/e2e.h"

namespace {

using e2e::milliseconds;

constexpr const char *socket_path = "/var/run/mevraKT.socket";

// Listens on the daemon's socket and serves one connection as the daemon
// would: reads the request until its newline or the client's end, answers
// with a canned text and closes.
class responder {
 public:
  explicit responder(std::string answer) : answer_(std::move(answer))
  {
    unlink(socket_path);
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, socket_path, sizeof addr.sun_path - 1);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && listen(fd_, 8) == 0)
      thread_ = std::thread([this] { serve(); });
  }
  ~responder()
  {
    request();
    close(fd_);
    unlink(socket_path);
  }
  responder(const responder &) = delete;
  responder &operator=(const responder &) = delete;

  bool listening() const { return thread_.joinable(); }

  /// What the one connection sent; waits until it has been served.
  const std::string &request()
  {
    if (thread_.joinable())
      thread_.join();
    return request_;
  }

 private:
  void serve()
  {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1)
      return;
    int client = accept(fd_, nullptr, nullptr);
    char buf[4096];
    ssize_t n;
    while (request_.find('\n') == std::string::npos && (n = recv(client, buf, sizeof buf, 0)) > 0)
      request_.append(buf, static_cast<size_t>(n));
    send(client, answer_.data(), answer_.size(), MSG_NOSIGNAL);
    close(client);
  }

  std::string answer_;
  std::string request_;
  int fd_ = -1;
  std::thread thread_;
};

struct result {
  int status;
  std::string printed;
};

result mevraktsh(std::vector<std::string> args)
{
  args.insert(args.begin(), MEVRAKTSH_BIN);
  e2e::process p;
  if (!p.start(args, {false, true, false}))
    return {-1, "cannot start " + args[0]};
  p.read_to_end(milliseconds(10000));
  p.wait(milliseconds(10000));
  return {p.exit_status(), p.output()};
}

// The fixed path is only ever touched inside the sandbox.
class Mevraktsh : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(e2e::in_sandbox()); }
};

const std::string report =
    "Service               : running\n"
    "AMR System            : disconnected\n"
    "Meter                 : disconnected\n\n";

TEST_F(Mevraktsh, SendsItsWordsAsOneLineAndPrintsTheAnswer)
{
  {
    responder daemon(report);
    ASSERT_TRUE(daemon.listening());
    result run = mevraktsh({"status", "1"});
    EXPECT_EQ(daemon.request(), "status 1\n");
    EXPECT_EQ(run.printed, report);
    EXPECT_EQ(run.status, 0);
  }
  {
    responder daemon("");
    result run = mevraktsh({"status", "1", "2", "dropped"});
    EXPECT_EQ(daemon.request(), "status 1 2\n");
    EXPECT_EQ(run.printed, "");
    EXPECT_EQ(run.status, 0);
  }
  {
    std::string long_answer;
    for (int i = 0; long_answer.size() < 20000; i++)
      long_answer += "line " + std::to_string(i) + "\n";
    responder daemon(long_answer);
    result run = mevraktsh({"status"});
    EXPECT_EQ(daemon.request(), "status\n");
    EXPECT_EQ(run.printed, long_answer);
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(Mevraktsh, WithoutCommandPrintsNothingAndLogsUnderTheSystemDefaults)
{
  e2e::syslog_tail log;
  log.clear();
  result run = mevraktsh({});
  EXPECT_EQ(run.printed, "");
  EXPECT_EQ(run.status, 2);
  ASSERT_TRUE(log.wait_for("shell_exec - missing command", LOG_ERR)) << log.dump();
  for (const e2e::syslog_line &line : log.lines()) {
    EXPECT_EQ(line.ident, "mevraktsh") << line.raw;
    EXPECT_EQ(line.facility, LOG_USER) << line.raw;
  }
}

TEST_F(Mevraktsh, WithoutDaemonSaysTheServiceIsNotRunning)
{
  e2e::syslog_tail log;
  log.clear();
  unlink(socket_path);
  result run = mevraktsh({"status", "1"});
  EXPECT_EQ(run.printed, "Error: service not running!\n\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(log.wait_for(std::string("connect socket error: ") + strerror(ENOENT), LOG_ERR)) << log.dump();
}

// A first word of exactly -h, --help, -V or --version is answered without
// the daemon, and logs nothing; any other word, these too in another place,
// goes to the daemon as it is.
TEST_F(Mevraktsh, AnswersHelpAndVersionItselfAndSendsEverythingElse)
{
  e2e::syslog_tail log;
  log.clear();
  unlink(socket_path);
  for (const char *option : {"-h", "--help"}) {
    result help = mevraktsh({option});
    EXPECT_EQ(help.status, 0) << option;
    EXPECT_EQ(help.printed.compare(0, 60, "usage: mevraktsh [-t SECONDS] COMMAND [ARGUMENT [ARGUMENT]]\n"), 0)
        << help.printed;
    EXPECT_NE(help.printed.find("\n  status 1, status 2 "), std::string::npos) << help.printed;
  }
  for (const char *option : {"-V", "--version"}) {
    result version = mevraktsh({option, "ignored"});
    EXPECT_EQ(version.status, 0) << option;
    EXPECT_EQ(version.printed, "mevraktsh (mevraKT) " MEVRAKT_VERSION "\n");
  }
  // Whatever the runs above would have logged is in before this line.
  EXPECT_EQ(mevraktsh({}).status, 2);
  ASSERT_TRUE(log.wait_for("shell_exec - missing command", LOG_ERR)) << log.dump();
  EXPECT_EQ(log.lines().size(), 1u) << log.dump();

  for (const std::vector<std::string> &words :
       std::vector<std::vector<std::string>>{{"-x"}, {"--helpme"}, {"status", "--help"}, {"-v"}}) {
    responder daemon("shell: command not found\n");
    ASSERT_TRUE(daemon.listening());
    result run = mevraktsh(words);
    std::string line = words[0];
    for (size_t i = 1; i < words.size(); i++)
      line += " " + words[i];
    EXPECT_EQ(daemon.request(), line + "\n");
    EXPECT_EQ(run.printed, "shell: command not found\n");
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(Mevraktsh, RefusesAnArgumentTooLongForItsRequest)
{
  e2e::syslog_tail log;
  log.clear();
  responder daemon(report);
  result run = mevraktsh({"status", "1", std::string(5000, 'x')});
  EXPECT_EQ(daemon.request(), "");
  EXPECT_EQ(run.printed, "");
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(log.wait_for("shell_exec - request too long", LOG_ERR)) << log.dump();
}

}  // namespace
