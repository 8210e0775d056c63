// SPDX-License-Identifier: MIT
// The field tools as their users run them: real processes, the simulator on
// its own pseudo-terminal, the reader against it, against the test playing a
// meter on the pty, and against loopback TCP gateways played by the test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tests/support/process_state.h"
#include "tests/support/pty_meter.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;
using testmeter::bytes;
using clk = std::chrono::steady_clock;

struct outcome {
  int status = -1;  // exit status, or -1 when it did not exit by itself
  std::string out;
  std::string err;
};

// Starts `argv` with stdout and stderr on pipes; returns the pid or -1.
pid_t spawn(const std::vector<std::string> &argv, int *out_fd, int *err_fd)
{
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) < 0)
    return -1;
  if (pipe2(err, O_CLOEXEC) < 0) {
    close(out[0]);
    close(out[1]);
    return -1;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  std::vector<char *> args;
  for (const std::string &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(err[1]);
  *out_fd = out[0];
  *err_fd = err[0];
  return pid;
}

// Waits for `pid` until the deadline, then kills it. Returns the exit status,
// or -1 when it had to be killed or died of a signal.
int reap(pid_t pid, clk::time_point deadline)
{
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (clk::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a tool to its end (at most `limit`), collecting what it prints.
outcome run_tool(const char *tool, const std::vector<std::string> &args, clk::duration limit = 20s)
{
  std::vector<std::string> argv{tool};
  argv.insert(argv.end(), args.begin(), args.end());
  outcome r;
  int fds[2];
  pid_t pid = spawn(argv, &fds[0], &fds[1]);
  if (pid < 0)
    return r;
  auto deadline = clk::now() + limit;
  std::string *into[2] = {&r.out, &r.err};
  int open = 2;
  while (open > 0 && clk::now() < deadline) {
    struct pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    if (poll(p, 2, 100) <= 0)
      continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP)))
        continue;
      char buf[4096];
      ssize_t n = read(fds[i], buf, sizeof buf);
      if (n > 0) {
        into[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i]);
        fds[i] = -1;
        open--;
      }
    }
  }
  for (int fd : fds)
    if (fd >= 0)
      close(fd);
  r.status = reap(pid, deadline);
  return r;
}

std::map<std::string, std::string> key_values(const std::string &text)
{
  std::map<std::string, std::string> kv;
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    size_t eq = word.find('=');
    if (eq != std::string::npos)
      kv[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return kv;
}

void expect_counters(std::map<std::string, std::string> &got,
                     const std::vector<std::pair<std::string, std::string>> &want)
{
  for (const auto &kv : want)
    EXPECT_EQ(got[kv.first], kv.second) << kv.first;
}

// A running mevrakt-meter-sim on its own pty, stopped with SIGTERM.
class sim_process {
 public:
  explicit sim_process(std::vector<std::string> args)
  {
    char dir[] = "/tmp/mevrakt-tools-XXXXXX";
    if (!mkdtemp(dir))
      return;
    stats_path_ = std::string(dir) + "/stats";
    std::vector<std::string> argv{METER_SIM, "--stats", stats_path_};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawn(argv, &out_, &err_);
    // The first line on stdout is the path of the line to open.
    auto deadline = clk::now() + 5s;
    char c;
    while (pid_ > 0 && clk::now() < deadline) {
      struct pollfd p = {out_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0)
        continue;
      if (read(out_, &c, 1) != 1 || c == '\n')
        break;
      path_ += c;
    }
  }
  ~sim_process()
  {
    stop();
    for (int fd : {out_, err_})
      if (fd >= 0)
        close(fd);
    if (!stats_path_.empty()) {
      unlink(stats_path_.c_str());
      rmdir(stats_path_.substr(0, stats_path_.rfind('/')).c_str());
    }
  }
  const std::string &path() const { return path_; }

  /// Stops the simulator; returns its counters.
  std::map<std::string, std::string> stop()
  {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      status_ = reap(pid_, clk::now() + 5s);
      pid_ = -1;
    }
    FILE *f = fopen(stats_path_.c_str(), "r");
    std::string text;
    char line[256];
    while (f && fgets(line, sizeof line, f))
      text += line;
    if (f)
      fclose(f);
    return key_values(text);
  }
  int status() const { return status_; }

  /// Waits until the simulator, run with --trace, has told an event that
  /// holds `text` on its standard error; returns whether it did.
  bool traced(const std::string &text, clk::duration timeout = 5s)
  {
    const auto deadline = clk::now() + timeout;
    while (trace_.find(text) == std::string::npos && clk::now() < deadline) {
      struct pollfd p = {err_, POLLIN, 0};
      char buf[4096];
      ssize_t n = 0;
      if (poll(&p, 1, 50) > 0 && (n = read(err_, buf, sizeof buf)) <= 0)
        break;
      trace_.append(buf, static_cast<size_t>(n));
    }
    return trace_.find(text) != std::string::npos;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  int status_ = -1;
  std::string path_;
  std::string stats_path_;
  std::string trace_;
};

// The reader's end of the simulator's pty, opened as a test would a meter line.
class line_end {
 public:
  explicit line_end(const std::string &path)
  {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios tio;
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~line_end()
  {
    if (fd_ >= 0)
      close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void send(const bytes &data) { ASSERT_EQ(write(fd_, data.data(), data.size()), ssize_t(data.size())); }

  bytes read(size_t n, clk::duration timeout = 3s)
  {
    bytes got;
    auto deadline = clk::now() + timeout;
    while (got.size() < n && clk::now() < deadline) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0)
        continue;
      uint8_t buf[512];
      ssize_t k = ::read(fd_, buf, std::min(sizeof buf, n - got.size()));
      if (k > 0)
        got.insert(got.end(), buf, buf + k);
    }
    return got;
  }

  /// Waits for a fresh ENQ, skipping anything else, older ENQs included;
  /// returns whether one came.
  bool wait_enq(clk::duration timeout = 3s)
  {
    uint8_t stale[512];
    while (::read(fd_, stale, sizeof stale) > 0) {
    }
    auto deadline = clk::now() + timeout;
    while (clk::now() < deadline) {
      bytes b = read(1, deadline - clk::now());
      if (b.size() == 1 && b[0] == testmeter::ENQ)
        return true;
    }
    return false;
  }

 private:
  int fd_ = -1;
};

TEST(MeterSim, PlaysAMeterOnItsPty)
{
  sim_process sim({"--enq-ms", "50", "--meter-id", "87654321", "--trace"});
  ASSERT_FALSE(sim.path().empty());
  line_end line(sim.path());
  ASSERT_TRUE(line.ok());

  ASSERT_TRUE(line.wait_enq());
  line.send(testmeter::make_command(0x21));
  bytes rsp = line.read(258);
  ASSERT_EQ(rsp.size(), 258u);
  EXPECT_EQ(rsp[0], 0x21);
  EXPECT_TRUE(testmeter::crc_ok(rsp));
  EXPECT_EQ(bytes(rsp.begin() + 1, rsp.begin() + 5), (bytes{0x87, 0x65, 0x43, 0x21}));
  line.send({testmeter::ACK});

  ASSERT_TRUE(line.wait_enq());
  bytes broken = testmeter::make_command(0x14);
  broken[10] ^= 0xFF;
  line.send(broken);
  EXPECT_EQ(line.read(1), bytes{testmeter::NAK});

  // A command cut short is dropped, so the next whole one is still understood.
  ASSERT_TRUE(line.wait_enq());
  line.send(bytes(20, 0x14));
  ASSERT_TRUE(sim.traced("dropped 20 bytes of an incomplete command"));
  ASSERT_TRUE(line.wait_enq());
  line.send(testmeter::make_command(0x14));
  rsp = line.read(258);
  ASSERT_EQ(rsp.size(), 258u);
  EXPECT_EQ(rsp[0], 0x14);
  line.send({testmeter::NAK});  // the same response comes again
  EXPECT_EQ(line.read(258), rsp);
  line.send({testmeter::ACK});
  ASSERT_TRUE(line.wait_enq());

  auto stats = sim.stop();
  EXPECT_EQ(sim.status(), 0);
  expect_counters(stats, {{"commands_good", "2"},
                          {"commands_bad_crc", "1"},
                          {"commands_incomplete", "1"},
                          {"naks_sent", "1"},
                          {"responses_sent_good", "3"},
                          {"responses_good_acked", "2"},
                          {"responses_good_naked", "1"}});
  EXPECT_GE(std::stoi(stats["enq_sent"]), 4);
}

// At 9600 8N1 a read can never be quicker than the command and the response
// crossing the line, 66 + 258 byte times of 1.0417 ms. A slow machine only
// adds to that, so the bound holds however loaded it is.
TEST(MeterSim, AtLineSpeedAReadTakesTheLineTimeOfBothFrames)
{
  sim_process sim({"--line-speed", "--turnaround", "0", "--enq-ms", "50"});
  line_end line(sim.path());
  ASSERT_TRUE(line.ok());
  ASSERT_TRUE(line.wait_enq());
  auto sent = clk::now();
  line.send(testmeter::make_command(0x14));
  bytes rsp = line.read(258);
  auto took = clk::now() - sent;
  ASSERT_EQ(rsp.size(), 258u);
  EXPECT_GE(took, std::chrono::microseconds((66 + 258) * 10000000LL / 9600));
}

TEST(MeterRead, ReadsTheSimulatorOnItsSerialLine)
{
  sim_process sim({"--fault", "lose-ack@1"});
  ASSERT_FALSE(sim.path().empty());

  outcome one = run_tool(METER_READ, {"--serial", sim.path(), "--code", "21", "--payload", "01:02", "--raw"});
  ASSERT_EQ(one.status, 0) << one.err;
  ASSERT_EQ(one.out.size(), 258u);
  bytes rsp(one.out.begin(), one.out.end());
  EXPECT_EQ(rsp[0], 0x21);
  EXPECT_TRUE(testmeter::crc_ok(rsp));

  outcome three = run_tool(METER_READ, {"--serial", sim.path(), "--count", "3", "--csv"});
  ASSERT_EQ(three.status, 0) << three.err;
  std::istringstream times(three.out);
  double ms;
  int n = 0;
  while (times >> ms) {
    EXPECT_GT(ms, 0.0);
    n++;
  }
  EXPECT_EQ(n, 3) << three.out;
  EXPECT_NE(three.err.find("reads=3 ok=3 failed=0"), std::string::npos) << three.err;

  // A composed answer in all its frames, though the meter missed our first
  // ACK and asked for it again with ENQ.
  outcome composed = run_tool(METER_READ, {"--serial", sim.path(), "--code", "26", "--raw"});
  ASSERT_EQ(composed.status, 0) << composed.err;
  ASSERT_EQ(composed.out.size(), 3 * 258u);
  for (long part = 0; part < 3; part++) {
    const bytes frame(composed.out.begin() + part * 258, composed.out.begin() + (part + 1) * 258);
    EXPECT_EQ(frame[0], 0x26);
    EXPECT_TRUE(testmeter::crc_ok(frame));
    EXPECT_EQ((frame[NBR14522_RSP_FLAGS_BYTE] & NBR14522_RSP_LAST) != 0, part == 2) << "frame " << part;
  }
}

TEST(MeterRead, RetriesThroughFaultsAndAgreesWithTheSimulatorsCounters)
{
  // First response broken, second command NAKed twice, third answered
  // after a WAIT and in chunks.
  sim_process sim({"--fault", "bad-crc@1", "--fault", "nak@2:2", "--fault", "wait@3:100", "--fault", "chunks@4"});
  ASSERT_FALSE(sim.path().empty());

  outcome r = run_tool(METER_READ, {"--serial", sim.path(), "--count", "3", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto reader = key_values(r.out);
  expect_counters(reader, {{"ok", "3"},
                           {"sends", "5"},
                           {"bad_crc", "1"},
                           {"naks_sent", "1"},
                           {"naks_received", "2"},
                           {"waits_received", "1"},
                           {"acks_sent", "3"}});

  // Each side counts the same events from its end of the line.
  auto meter = sim.stop();
  expect_counters(meter, {{"commands_good", reader["sends"]},
                          {"naks_sent", reader["naks_received"]},
                          {"waits_sent", reader["waits_received"]},
                          {"responses_sent_bad", reader["bad_crc"]},
                          {"responses_bad_naked", reader["naks_sent"]},
                          {"responses_good_acked", reader["acks_sent"]},
                          {"responses_sent_good", "3"},
                          {"responses_unanswered", "0"},
                          {"fault_bad_crc", "1"},
                          {"fault_nak", "1"},
                          {"fault_wait", "1"},
                          {"fault_chunks", "1"}});
}

// A gateway on a loopback port, played by the test: it answers each 66-byte
// command with a response, a broken one, or nothing; in paced mode it plays
// the meter's line protocol over the connection instead.
class fake_gateway {
 public:
  enum mode { GOOD, BAD_CRC, SILENT, PACED };

  explicit fake_gateway(mode m) : mode_(m)
  {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), len) == 0 && listen(listen_fd_, 4) == 0 &&
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
      target_ = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    thread_ = std::thread([this] { serve(); });
  }
  ~fake_gateway()
  {
    stop_ = true;
    thread_.join();
    close(listen_fd_);
  }
  const std::string &target() const { return target_; }
  int acks() const { return acks_; }

 private:
  // Reads `n` bytes; with `enq`, sends ENQ every 50 ms until they start.
  bool read_exact(int fd, uint8_t *to, size_t n, bool enq = false)
  {
    size_t got = 0;
    while (got < n && !stop_) {
      uint8_t b = testmeter::ENQ;
      if (enq && got == 0 && write(fd, &b, 1) != 1)
        return false;
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0)
        continue;
      ssize_t k = read(fd, to + got, n - got);
      if (k <= 0)
        return false;
      got += static_cast<size_t>(k);
    }
    return got == n;
  }

  void serve()
  {
    while (!stop_) {
      struct pollfd p = {listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0)
        continue;
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd < 0)
        continue;
      uint8_t cmd[66];
      while (!stop_ && read_exact(fd, cmd, sizeof cmd, mode_ == PACED)) {
        if (mode_ == SILENT)
          continue;
        bytes rsp = testmeter::make_response(cmd[0], 7, mode_ != BAD_CRC);
        if (write(fd, rsp.data(), rsp.size()) != ssize_t(rsp.size()))
          break;
        uint8_t ack;
        if (mode_ == PACED && read_exact(fd, &ack, 1) && ack == testmeter::ACK)
          acks_++;
      }
      close(fd);
    }
  }

  mode mode_;
  int listen_fd_ = -1;
  std::string target_;
  std::atomic<bool> stop_{false};
  std::atomic<int> acks_{0};
  std::thread thread_;
};

TEST(MeterRead, GatewayModeReadsFramesOverTcp)
{
  fake_gateway gw(fake_gateway::GOOD);
  outcome r = run_tool(METER_READ, {"--code", "25", gw.target()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("0000  25 ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("0100  "), std::string::npos) << r.out;

  outcome many = run_tool(METER_READ, {"--count", "20", gw.target()});
  ASSERT_EQ(many.status, 0) << many.err;
  EXPECT_NE(many.out.find("read 20: "), std::string::npos) << many.out;
  EXPECT_NE(many.out.find("reads=20 ok=20 failed=0"), std::string::npos);
  EXPECT_NE(many.out.find(" p90="), std::string::npos) << many.out;

  fake_gateway paced(fake_gateway::PACED);
  outcome p = run_tool(METER_READ, {"--pace", "--count", "2", "--quiet", paced.target()});
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_TRUE(testproc::eventually([&] { return paced.acks() >= 2; }, 3000ms));
  EXPECT_EQ(paced.acks(), 2);
}

TEST(MeterRead, FailsOnABadFrameAndOnSilenceWithinItsDeadline)
{
  fake_gateway bad(fake_gateway::BAD_CRC);
  outcome r = run_tool(METER_READ, {bad.target()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("CRC error"), std::string::npos) << r.err;

  fake_gateway silent(fake_gateway::SILENT);
  auto start = clk::now();
  r = run_tool(METER_READ, {"--timeout", "300", silent.target()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("time-out"), std::string::npos) << r.err;
  EXPECT_LT(clk::now() - start, 10s);

  sim_process sim({"--fault", "nak=1:20"});  // never answers
  r = run_tool(METER_READ, {"--serial", sim.path(), "--timeout", "3000"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("gave up after 7 tries"), std::string::npos) << r.err;
}

struct bad_args {
  std::vector<std::string> args;
  int status;
  const char *says;
};

void expect_refused(const char *tool, const std::vector<bad_args> &cases)
{
  for (const bad_args &c : cases) {
    std::string shown;
    for (const std::string &a : c.args)
      shown += " " + a;
    outcome r = run_tool(tool, c.args);
    EXPECT_EQ(r.status, c.status) << shown << "\n" << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << shown << "\n" << r.err;
    EXPECT_TRUE(r.out.empty()) << shown;
    if (c.status == 2) {
      EXPECT_NE(r.err.find("usage:"), std::string::npos) << shown;
    }
  }
}

TEST(MeterSim, RefusesBadArguments)
{
  expect_refused(METER_SIM, {
                                {{"--bogus"}, 2, "unknown option '--bogus'"},
                                {{"--enq-ms"}, 2, "needs a value"},
                                {{"--enq-ms", "501"}, 2, "from 1 to 500"},
                                {{"--enq-ms", "0"}, 2, "from 1 to 500"},
                                {{"--enq-ms", "2x"}, 2, "from 1 to 500"},
                                {{"--fault", "flood=1"}, 2, "unknown fault 'flood'"},
                                {{"--fault", "bad-crc"}, 2, "needs =PROB"},
                                {{"--fault", "bad-crc=1.5"}, 2, "from 0 to 1"},
                                {{"--fault", "nak@0"}, 2, "not a number from 1"},
                                {{"--fault", "nak=0.1:99"}, 2, "from 1 to 20"},
                                {{"--fault", "wait@1:10:later"}, 2, "neither answer nor enq"},
                                {{"--seed", "-1"}, 2, "not a whole number"},
                                {{"/dev/a", "/dev/b"}, 2, "more than one DEVICE"},
                                {{"/nonexistent/tty"}, 1, "open(/nonexistent/tty) error: No such file or directory"},
                            });
  outcome help = run_tool(METER_SIM, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--fault FAULT"), std::string::npos);
}

TEST(MeterRead, RefusesBadArguments)
{
  expect_refused(METER_READ, {
                                 {{}, 2, "HOST:PORT missing"},
                                 {{"--bogus", "h:1"}, 2, "unknown option"},
                                 {{"h:1", "--timeout"}, 2, "needs a value"},
                                 {{"localhost"}, 2, "is not HOST:PORT"},
                                 {{"h:65536"}, 2, "is not HOST:PORT"},
                                 {{":80"}, 2, "is not HOST:PORT"},
                                 {{"--code", "zz", "h:1"}, 2, "not a hex byte"},
                                 {{"--code", "123", "h:1"}, 2, "not a hex byte"},
                                 {{"--payload", "012", "h:1"}, 2, "not hex bytes"},
                                 {{"--payload", std::string(128, 'a'), "h:1"}, 2, "longer than 63"},
                                 {{"--count", "0", "h:1"}, 2, "--count '0'"},
                                 {{"--timeout", "-5", "h:1"}, 2, "--timeout '-5'"},
                                 {{"--raw", "--csv", "h:1"}, 2, "do not go together"},
                                 {{"--serial", "/dev/null", "h:1"}, 2, "takes no HOST:PORT"},
                                 {{"--serial", "/nonexistent/tty"}, 1, "open(/nonexistent/tty) error: No such file or directory"},
                                 {{"--serial", "/dev/null"}, 1, "open(/dev/null) error: not a serial line"},
                             });
  outcome help = run_tool(METER_READ, {"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--serial DEV"), std::string::npos);
}

}  // namespace
