// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "shell/shell.h"
#include "tests/support/log_capture.h"
#include "tests/support/loopback.h"
#include "tests/support/process_state.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

// The daemon ignores SIGPIPE from its start; so does this binary.
const bool sigpipe_ignored = (testproc::ignore_sigpipe(), true);

using testlog::error_text;
using testnet::client;

bool exists(const std::string &path)
{
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool is_socket(const std::string &path)
{
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// A fresh directory under /tmp for the socket, removed with what is left in it.
struct temp_dir {
  temp_dir()
  {
    char name[] = "/tmp/mevrakt-shell-XXXXXX";
    if (mkdtemp(name))
      path = name;
  }
  ~temp_dir()
  {
    if (DIR *dir = opendir(path.c_str())) {
      while (dirent *e = readdir(dir))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
          unlink((path + "/" + e->d_name).c_str());
      closedir(dir);
    }
    rmdir(path.c_str());
  }
  std::string path;
};

// Answers with the entry's label and the arguments it got, which also shows
// that the output descriptor is the client's connection.
int answer(void *ctx, const char *args, int fd)
{
  std::string text = std::string(static_cast<const char *>(ctx)) + " [" + args + "]\n";
  return static_cast<int>(write(fd, text.data(), text.size()));
}

// An answer much longer than the client's buffer.
std::string numbered_lines()
{
  std::string text;
  for (int i = 0; text.size() < 10000; i++)
    text += std::to_string(i) + "\n";
  return text;
}

int big_answer(void *, const char *, int fd)
{
  const std::string text = numbered_lines();
  return static_cast<int>(write(fd, text.data(), text.size()));
}

// Waits until the client has left, then writes to it.
struct late_writer {
  std::mutex mu;
  std::condition_variable changed;
  bool entered = false;
  bool done = false;
  ssize_t result = 0;
  int err = 0;

  static int exec(void *ctx, const char *, int fd)
  {
    late_writer *w = static_cast<late_writer *>(ctx);
    {
      std::lock_guard<std::mutex> lock(w->mu);
      w->entered = true;
    }
    w->changed.notify_all();
    // The request has been read: what is left to see is the end of stream.
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 10000);
    ssize_t n = write(fd, "late\n", 5);
    int err = errno;
    {
      std::lock_guard<std::mutex> lock(w->mu);
      w->done = true;
      w->result = n;
      w->err = err;
    }
    w->changed.notify_all();
    return static_cast<int>(n);
  }

  bool wait(bool late_writer::*flag)
  {
    std::unique_lock<std::mutex> lock(mu);
    return changed.wait_for(lock, 5s, [&] { return this->*flag; });
  }
};

char label_one[] = "one";
char label_twelve[] = "twelve";
char label_two[] = "two";

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_FALSE(dir.path.empty());
    path = dir.path + "/shell.socket";
    testlog::clear();
    before_open = testproc::open_fds();
    sh = shell_open(path.c_str(), table);
    ASSERT_NE(sh, nullptr) << testlog::dump();
    EXPECT_EQ(testlog::count("shell started, listening on UNIX socket[" + std::to_string(sh->fd_listen) + "] " +
                                 path,
                             LOG_NOTICE),
              1)
        << testlog::dump();
    testlog::clear();
    idle = testproc::open_fds();
  }

  void TearDown() override { shell_close(sh); }

  // Sends `request` on a connection of its own, and ends its stream there
  // when `end` is set; returns what came back before the server closed it.
  std::string ask(const std::string &request, bool end = false)
  {
    client client(path);
    client.send_text(request);
    if (end)
      client.end_sending();
    return client.read_to_end();
  }

  bool accepted() { return testproc::eventually([&] { return sh->fd_client.load() >= 0; }); }

  // The server holds no connection and every descriptor it took is back.
  bool settled(int extra = 0)
  {
    return testproc::eventually([&] { return sh->fd_client.load() < 0 && testproc::open_fds() == idle + extra; });
  }

  struct client_run {
    int result;
    std::string printed;
    std::string errors;  // what it said on standard error
  };

  // Runs the client against `at` with standard output and standard error
  // each sent to a file.
  client_run run_client(std::vector<const char *> argv, const std::string &at = "")
  {
    fflush(stdout);
    fflush(stderr);
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    int saved_out = dup(STDOUT_FILENO);
    int saved_err = dup(STDERR_FILENO);
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    int result = shell_client_exec(at.empty() ? path.c_str() : at.c_str(), static_cast<int>(argv.size()), argv.data());
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
    auto contents = [](FILE *file) {
      std::string text;
      rewind(file);
      char buf[4096];
      for (size_t n; (n = fread(buf, 1, sizeof buf, file)) > 0;)
        text.append(buf, n);
      fclose(file);
      return text;
    };
    const std::string printed = contents(out);
    return {result, printed, contents(err)};
  }

  temp_dir dir;
  std::string path;
  late_writer late;
  shell_cmd table[7] = {
      {"status 1", answer, label_one},     {"status 12", answer, label_twelve},
      {"status 2", answer, label_two},     {"quiet", nullptr, nullptr},
      {"late", late_writer::exec, &late},  {"big", big_answer, nullptr},
      {nullptr, nullptr, nullptr},
  };
  int before_open = 0;
  int idle = 0;
  shell *sh = nullptr;
};

TEST_F(ShellTest, EachRequestIsAnsweredAndClosed)
{
  const std::pair<std::string, std::string> cases[] = {
      {"status 1\n", "one []\n"},
      {"status 2\n", "two []\n"},
      // Prefix comparison: "status 12" never gets its turn.
      {"status 12\n", "one [2]\n"},
      {"status 1 \t\v\f\r x  y \n", "one [x  y ]\n"},
      {"foo\n", "shell: foo: command not found\n"},
      {"status\n", "shell: status: command not found\n"},
      {"Status 1\n", "shell: Status 1: command not found\n"},
      // Without a newline the request is whole when the client ends its
      // stream; its last character is taken for the newline all the same.
      {"status 1", "shell: status : command not found\n"},
      // One request per connection: a second line is part of the first.
      {"foo\nstatus 1\n", "shell: foo\nstatus 1: command not found\n"},
      // No reply: an entry without a handler, an empty request.
      {"quiet\n", ""},
      {"quiet please\n", ""},
      {"\n", ""},
  };
  for (const auto &[request, reply] : cases)
    EXPECT_EQ(ask(request, request.back() != '\n'), reply) << "request \"" << request << "\"";
  EXPECT_TRUE(settled());
  EXPECT_EQ(testlog::lines().size(), 0u) << testlog::dump();
}

TEST_F(ShellTest, ConnectionWithoutRequestIsClosedSilently)
{
  {
    client sends_nothing(path);
    sends_nothing.end_sending();
    EXPECT_EQ(sends_nothing.read_to_end(), "");
  }
  {
    client leaves(path);
    ASSERT_TRUE(accepted());
  }
  EXPECT_TRUE(settled());
  EXPECT_EQ(ask("status 1\n"), "one []\n");
  EXPECT_EQ(testlog::lines().size(), 0u) << testlog::dump();
}

// Callers are served each whole, and none is cut off by the next. A
// connection that sends nothing, or drips its request a byte at a time, is
// closed a second after it was taken (logged within the shell's limit),
// holding no one up meanwhile; a request in pieces that come in time is
// read to its newline.
TEST_F(ShellTest, CallersAreServedInTurnEachWhole)
{
  client idler(path);
  ASSERT_TRUE(accepted());
  const auto idle_taken = std::chrono::steady_clock::now();
  client dripping(path);
  // Forty bytes 300 ms apart: a shell that gave a second more at each byte
  // would be held twelve seconds, far beyond what a busy host adds.
  std::thread drip([&] {
    for (const char byte : std::string("status 1") + std::string(32, ' ')) {
      pollfd p{dripping.fd(), POLLIN, 0};
      if (send(dripping.fd(), &byte, 1, MSG_NOSIGNAL) != 1 || poll(&p, 1, 300) != 0)
        break;
    }
  });
  std::vector<std::string> answers(40);
  std::vector<std::thread> callers;
  for (size_t i = 0; i < answers.size(); i++)
    callers.emplace_back([&, i] { answers[i] = ask(i % 2 ? "status 1\n" : "status 2\n"); });
  // A closing is seen here when it happens, or later on a busy host: the
  // lower bound is exact, the upper ones catch a shell held up.
  EXPECT_TRUE(idler.read_to_end().empty());
  const auto idle_held = std::chrono::steady_clock::now() - idle_taken;
  EXPECT_GE(idle_held, 900ms);
  EXPECT_LT(idle_held, 5000ms);
  EXPECT_TRUE(dripping.read_to_end(10s).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - idle_taken, 8000ms) << "the dripping connection held the shell";
  drip.join();
  for (std::thread &caller : callers)
    caller.join();
  for (size_t i = 0; i < answers.size(); i++)
    EXPECT_EQ(answers[i], i % 2 ? "one []\n" : "two []\n") << "caller " << i;

  client pieces(path);
  pieces.send_text("sta");
  ASSERT_TRUE(accepted());
  pieces.send_text("tus 2\n");
  EXPECT_EQ(pieces.read_to_end(), "two []\n");
  for (int i = 0; i < 200; i++)
    client silent(path);
  EXPECT_EQ(ask("status 1\n"), "one []\n");
  idler.close_now();
  dripping.close_now();
  pieces.close_now();
  EXPECT_TRUE(settled());
  const std::string expired = "shell_socket_expire - no whole request within 1000 ms, connection closed";
  EXPECT_EQ(testlog::count(expired, LOG_NOTICE), 2) << testlog::dump();
  EXPECT_EQ(testlog::lines().size(), 2u) << testlog::dump();
}

// Out of descriptors, the caller waiting in the backlog cannot be taken: the
// failed accept is logged once, the shell rests instead of spinning, and the
// caller is served once a descriptor is free again.
TEST_F(ShellTest, FailedAcceptLeavesTheCallerWaiting)
{
  client waiting(client::unix_socket);
  {
    testproc::descriptors_filled filled(FD_SETSIZE);
    ASSERT_TRUE(waiting.connect_to(path));
    waiting.send_text("status 1\n");
    ASSERT_TRUE(testlog::wait_for(error_text("shell_socket_open - accept error: ", EMFILE), LOG_ERR))
        << testlog::dump();
  }
  EXPECT_EQ(waiting.read_to_end(), "one []\n");
  waiting.close_now();
  EXPECT_TRUE(settled());
  EXPECT_EQ(testlog::lines().size(), 1u) << testlog::dump();
}

// A connection whose descriptor select could not watch is closed at once,
// and the shell goes on with the next caller.
TEST_F(ShellTest, ConnectionBeyondTheSelectSetIsRefused)
{
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur <= FD_SETSIZE)
    GTEST_SKIP() << "needs descriptors beyond " << FD_SETSIZE;

  client refused(client::unix_socket);
  {
    testproc::descriptors_filled filled(RLIM_INFINITY);
    ASSERT_TRUE(refused.connect_to(path));
    ASSERT_TRUE(testlog::wait_for(error_text("shell_socket_open - accept error: ", EMFILE), LOG_ERR))
        << testlog::dump();
  }
  EXPECT_TRUE(refused.read_to_end().empty());
  EXPECT_EQ(ask("status 2\n"), "two []\n");
  refused.close_now();
  EXPECT_TRUE(settled());
}

// A client that closes with something unread makes its peer's receive fail.
// The server never writes before the request, so the test writes for it, by
// the raw system call: the thread sanitizer cannot see that the kernel orders
// it before the server's close, and would report a race (so below, too).
TEST_F(ShellTest, FailedReceiveIsLoggedOnceAndEndsTheConnection)
{
  {
    client client(path);
    ASSERT_TRUE(accepted());
    ASSERT_EQ(syscall(SYS_sendto, sh->fd_client.load(), "x", 1, 0, nullptr, 0), 1);
  }
  const std::string reset = error_text("shell_socket_exec - socket recv error: ", ECONNRESET);
  ASSERT_TRUE(testlog::wait_for(reset, LOG_ERR)) << testlog::dump();
  EXPECT_TRUE(settled());
  EXPECT_EQ(ask("status 1\n"), "one []\n");
  EXPECT_EQ(testlog::count(reset), 1);
  EXPECT_EQ(testlog::lines().size(), 1u) << testlog::dump();
}

// For a receive that would fail at every pass, the held connection's number
// is made to name a listening socket with a connection pending: always
// readable, never receivable. The client's send wakes the server's select.
TEST_F(ShellTest, ReceiveThatKeepsFailingIsLoggedOnce)
{
  const std::string other = dir.path + "/other.socket";
  int listening = socket_unix_listen(other.c_str());
  ASSERT_GE(listening, 0);
  client pending(other);
  {
    client client(path);
    ASSERT_TRUE(accepted());
    ASSERT_EQ(syscall(SYS_dup3, listening, sh->fd_client.load(), 0), sh->fd_client.load());
    client.send_text("status 1\n");
    const std::string invalid = error_text("shell_socket_exec - socket recv error: ", EINVAL);
    ASSERT_TRUE(testlog::wait_for(invalid, LOG_ERR)) << testlog::dump();
  }
  EXPECT_TRUE(settled(2));
  EXPECT_EQ(ask("status 1\n"), "one []\n");
  EXPECT_EQ(testlog::lines().size(), 1u) << testlog::dump();
  close(listening);
}

TEST_F(ShellTest, WritingToAClientThatLeftFailsWithoutEndingTheProcess)
{
  {
    client client(path);
    client.send_text("late\n");
    ASSERT_TRUE(late.wait(&late_writer::entered));
  }
  ASSERT_TRUE(late.wait(&late_writer::done));
  EXPECT_EQ(late.result, -1);
  EXPECT_EQ(late.err, EPIPE);
  // So does the server's own reply.
  {
    client client(path);
    client.send_text("foo\n");
  }
  EXPECT_EQ(ask("status 1\n"), "one []\n");
  EXPECT_TRUE(settled());
}

// A close lets a running handler finish: it is never stopped half way
// through its answer, where it could leave a stream or a lock behind.
TEST_F(ShellTest, CloseLetsARunningHandlerFinishAndRemovesTheSocket)
{
  EXPECT_TRUE(is_socket(path));
  client client(path);
  client.send_text("late\n");
  ASSERT_TRUE(late.wait(&late_writer::entered));
  std::thread closer([&] { shell_close(sh); });
  client.close_now();  // the handler, waiting for the client to leave, writes now
  closer.join();
  sh = nullptr;
  EXPECT_TRUE(late.done);
  EXPECT_FALSE(exists(path));
  EXPECT_EQ(testproc::open_fds(), before_open);
  EXPECT_EQ(testlog::lines().size(), 0u) << testlog::dump();
}

TEST_F(ShellTest, ClientSendsUpToThreeWordsAndPrintsTheAnswer)
{
  client_run run = run_client({"mevraktsh", "status", "1"});
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.printed, "one []\n");
  EXPECT_EQ(run_client({"mevraktsh", "status", "1", "2", "dropped"}).printed, "one [2]\n");
  EXPECT_EQ(run_client({"mevraktsh", "status 2"}).printed, "two []\n");
  EXPECT_EQ(run_client({"mevraktsh", "status 2", nullptr, "unseen"}).printed, "two []\n");
  run = run_client({"mevraktsh", "foo"});
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.printed, "shell: foo: command not found\n");

  EXPECT_EQ(run_client({"mevraktsh", "big"}).printed, numbered_lines());
  EXPECT_TRUE(settled());
  EXPECT_EQ(testlog::lines().size(), 0u) << testlog::dump();
}

// "status 1 " and the word make 10 characters with the newline; 1399 fit
// with the terminator.
TEST_F(ShellTest, ClientRefusesARequestTooLongForItsBuffer)
{
  const std::string fits(1389, 'a');
  client_run run = run_client({"mevraktsh", "status", "1", fits.c_str()});
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.printed, "one [" + fits + "]\n");

  for (size_t length : {size_t{1390}, size_t{100000}}) {
    const std::string too_long(length, 'a');
    testlog::clear();
    run = run_client({"mevraktsh", "status", "1", too_long.c_str()});
    EXPECT_EQ(run.result, SHELL_CLIENT_USAGE);
    EXPECT_EQ(run.printed, "");
    EXPECT_EQ(testlog::count("shell_exec - request too long", LOG_ERR), 1) << testlog::dump();
  }
  EXPECT_TRUE(settled());
  EXPECT_EQ(testlog::lines().size(), 1u) << testlog::dump();
}

TEST_F(ShellTest, ClientWithoutCommandOrServerPrintsAtMostTheErrorLine)
{
  client_run run = run_client({"mevraktsh"});
  EXPECT_EQ(run.result, SHELL_CLIENT_USAGE);
  EXPECT_EQ(run.printed, "");
  EXPECT_EQ(testlog::count("shell_exec - missing command", LOG_ERR), 1);
  EXPECT_EQ(shell_client_exec(path.c_str(), 2, nullptr), SHELL_CLIENT_USAGE);
  const char *words[] = {"mevraktsh", "status", "1"};
  EXPECT_EQ(shell_client_exec(nullptr, 3, words), SHELL_CLIENT_USAGE);
  EXPECT_EQ(testlog::lines().size(), 1u) << testlog::dump();

  testlog::clear();
  const int before = testproc::open_fds();
  run = run_client({"mevraktsh", "status", "1"}, dir.path + "/none");
  EXPECT_EQ(run.result, SHELL_CLIENT_NOT_RUNNING);
  EXPECT_EQ(run.printed, "Error: service not running!\n\n");
  EXPECT_EQ(testlog::count(error_text("connect socket error: ", ENOENT), LOG_ERR), 1) << testlog::dump();
  EXPECT_EQ(testlog::lines().size(), 1u) << testlog::dump();
  EXPECT_EQ(testproc::open_fds(), before);
}

// A request that fails says why on standard error; standard output keeps
// only what the answer, or the fixed "service not running" text, holds.
TEST_F(ShellTest, ClientSaysWhyARequestFailedOnStandardError)
{
  client_run run = run_client({"mevraktsh", "status", "1"}, dir.path + "/none");
  EXPECT_EQ(run.printed, "Error: service not running!\n\n");
  EXPECT_EQ(run.errors, "mevraktsh: cannot reach the daemon at " + dir.path + "/none: " + strerror(ENOENT) + "\n");

  run = run_client({"mevraktsh", "status", "1", std::string(2000, 'a').c_str()});
  EXPECT_EQ(run.result, SHELL_CLIENT_USAGE);
  EXPECT_EQ(run.printed, "");
  EXPECT_EQ(run.errors, "mevraktsh: request too long (at most 1398 characters with the blanks between words)\n");

  // A server that closes the connection with the request unread resets it.
  const std::string rude = dir.path + "/rude.socket";
  const int listening = socket_unix_listen(rude.c_str());
  ASSERT_GE(listening, 0);
  std::thread server([listening] {
    pollfd p{listening, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1)
      return;
    const int fd = accept(listening, nullptr, nullptr);
    p = {fd, POLLIN, 0};
    poll(&p, 1, 5000);
    close(fd);
  });
  run = run_client({"mevraktsh", "status", "1"}, rude);
  server.join();
  close(listening);
  EXPECT_EQ(run.result, SHELL_CLIENT_CUT_SHORT);
  EXPECT_EQ(run.printed, "");
  EXPECT_EQ(run.errors, std::string("mevraktsh: no answer from the daemon: ") + strerror(ECONNRESET) + "\n");
  EXPECT_EQ(testlog::count(error_text("shell_exec - socket recv error: ", ECONNRESET), LOG_ERR), 1)
      << testlog::dump();
}

TEST(Shell, StaleFileAtThePathIsReplacedAndRemovedAtClose)
{
  temp_dir dir;
  const std::string path = dir.path + "/shell.socket";
  ASSERT_TRUE(fclose(fopen(path.c_str(), "w")) == 0);
  shell *sh = shell_open(path.c_str(), nullptr);
  ASSERT_NE(sh, nullptr) << testlog::dump();
  EXPECT_TRUE(is_socket(path));
  // Without a table every request is closed unanswered.
  client client(path);
  client.send_text("status 1\n");
  EXPECT_EQ(client.read_to_end(), "");
  shell_close(sh);
  EXPECT_FALSE(exists(path));
}

TEST(Shell, FailedOpenLeavesNothingBehind)
{
  temp_dir dir;
  const std::string path = dir.path + "/missing/shell.socket";
  testlog::clear();
  const int before = testproc::open_fds();
  EXPECT_EQ(shell_open(path.c_str(), nullptr), nullptr);
  EXPECT_EQ(testlog::count(error_text("bind socket error: ", ENOENT), LOG_ERR), 1) << testlog::dump();
  EXPECT_EQ(testlog::lines().size(), 1u) << testlog::dump();
  EXPECT_EQ(testproc::open_fds(), before);
  shell_close(nullptr);
}

}  // namespace
