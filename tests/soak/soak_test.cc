// SPDX-License-Identifier: MIT
// Fault soak of the real daemon: mevraktd in the sandbox, a simulated meter
// injecting faults at random from a fixed seed (bad CRC, NAK runs, WAIT,
// silence past the ENQ supervision, responses in chunks and stalled, garbage
// bytes), and the AMR side played here over TCP, which itself drops its
// connection mid-transaction and lets a second client take over now and then.
// It checks invariants, never timings:
//
// - Every response a client receives has a good CRC and answers a command this
//   test sent: each command carries a unique sequence number and the meter
//   echoes it (mevrakt-meter-sim --echo-payload). None arrives twice, and they
//   arrive in the order of their commands: the meter forgets a command once it
//   reads a newer one, and the daemon passes responses on in the order it
//   ACKed them.
// - No good response is lost while its client is connected. The meter's trace
//   names every response whose transmission the daemon ACKed; each must reach
//   a client (the one that sent the command, or the one that took over from
//   it), unless the command was still outstanding when its client dropped the
//   connection (dropped by design, counted apart). A command the daemon gave
//   up after seven sends, one overridden by a newer one, or one whose response
//   the meter stopped resending has no ACKed response, so it never counts as
//   lost; the client just stops waiting for it after a deadline that covers
//   every retry, and a response that comes later still counts, as late.
// - The daemon's counters agree with the meter's, exactly. The daemon ACKs
//   every 258-byte frame it assembles with a good CRC and NAKs the others; the
//   meter puts each ACK or NAK it reads on the transmission it waits on, or
//   counts it as stray when it waits on none (a frame the daemon made of
//   garbage and ENQs, or an answer that came after the meter stopped waiting).
//   So, once the line is quiet:
//     Responses OK + dropped = responses_good_acked + responses_bad_acked + stray_acks
//     Responses failed = responses_good_naked + responses_bad_naked + stray_naks
//   and responses_bad_acked is 0: a broken transmission is never accepted. A
//   good transmission is NAKed when the daemon assembled it out of step (after
//   garbage, or behind the tail of an earlier one). The line is quiet once the
//   last client has left: the daemon then holds the break and answers nothing,
//   and the meter reads what is left on its line before it stops. Commands
//   cannot disturb this count: their bytes are ASCII digits and a salt that
//   keeps the CRC bytes off the control codes, so none passes for an ACK or
//   NAK when the meter ignores a command it gets while busy.
// - TCP sessions equals the connections made here; the daemon's descriptors
//   end where they started, its resident memory within a small bound of where
//   it was after warming up; it is alive and answers "status 1" at the end.
//
// A second test takes one of two serial lines away under the daemon: it must
// stay up, not spin on the dead line, and keep serving the other channel.
//
// The normal suite runs a short soak. MEVRAKT_SOAK_TRANSACTIONS sets its
// length (5000 for the long run; run the binary itself then, as ctest allows a
// test two minutes) and MEVRAKT_SOAK_SEED the seed of both sides' faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "tests/e2e/e2e.h"
#include "tests/support/loopback.h"
#include "tests/support/process_state.h"
#include "tools/simulated_meter.h"
#include "tools/tool_util.h"

namespace {

using bytes = std::vector<uint8_t>;
using clk = std::chrono::steady_clock;
using e2e::milliseconds;
using testproc::eventually;

using e2e::settings_path;
constexpr const char *work_dir = "/run/mevrakt-soak";

constexpr uint8_t kCode = 0x14;
constexpr int kSeqDigits = 16;
constexpr int kEchoLen = kSeqDigits + 1;  // the sequence number, then the salt

// Longer than anything a response may legitimately take: seven sends with
// their 501 ms time-outs, a WAIT pause, a silence and a reconnection. A
// response later than this is still accepted, counted as late.
constexpr milliseconds kResponseDeadline(6000);
// How long the daemon may take to close a client that left or was replaced.
constexpr milliseconds kCloseDeadline(5000);
// How often the test looks at the daemon while it waits for it to settle.
constexpr milliseconds kLook(20);

// Under a sanitizer the daemon's resident memory grows with the sanitizer's
// own bookkeeping (quarantine, shadow, history); leaks are then for the
// sanitizer to report when the daemon ends.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kRssGrowthKb = -1;
#else
constexpr long kRssGrowthKb = 512;
#endif

uint64_t env_number(const char *name, uint64_t fallback)
{
  const char *text = getenv(name);
  return text && *text ? strtoull(text, nullptr, 10) : fallback;
}

// Bytes 1-16 carry the sequence number in hex digits; byte 17 is a salt that
// keeps the CRC bytes off the control codes too.
bytes make_command(uint64_t seq)
{
  bytes cmd(NBR14522_CMD_SIZE, 0);
  cmd[0] = kCode;
  char digits[kSeqDigits + 1];
  snprintf(digits, sizeof digits, "%016" PRIX64, seq);
  memcpy(&cmd[1], digits, kSeqDigits);
  for (int salt = 'a'; salt <= 0xFF; salt++) {
    cmd[kEchoLen] = static_cast<uint8_t>(salt);
    nbr14522_frame_seal(cmd.data(), static_cast<int>(cmd.size()));
    if (!nbr14522_is_control(cmd[NBR14522_CMD_SIZE - 2]) && !nbr14522_is_control(cmd[NBR14522_CMD_SIZE - 1]))
      break;
  }
  return cmd;
}

// Reads the sequence number and salt from the kEchoLen echoed command bytes.
bool parse_echo(const uint8_t *echo, uint64_t *seq, uint8_t *salt)
{
  char digits[kSeqDigits + 1];
  memcpy(digits, echo, kSeqDigits);
  digits[kSeqDigits] = '\0';
  char *end;
  *seq = strtoull(digits, &end, 16);
  *salt = echo[kSeqDigits];
  return end == digits + kSeqDigits;
}

// ---------------------------------------------------------------- daemon side

// The status report of `channel` as label -> value ("Responses OK" -> "12").
std::map<std::string, std::string> status(int channel)
{
  std::map<std::string, std::string> fields;
  std::istringstream lines(e2e::shell_request("status " + std::to_string(channel) + "\n"));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(" : ");
    if (colon == std::string::npos)
      continue;
    std::string label = line.substr(0, colon);
    label.erase(label.find_last_not_of(' ') + 1);
    fields[label] = line.substr(colon + 3);
  }
  return fields;
}

uint64_t number(const std::map<std::string, std::string> &fields, const std::string &label)
{
  auto it = fields.find(label);
  return it == fields.end() ? UINT64_MAX : strtoull(it->second.c_str(), nullptr, 10);
}

long vm_rss_kb(pid_t pid)
{
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long kb = -1;
  while (in >> key) {
    if (key == "VmRSS:") {
      in >> kb;
      break;
    }
    in.ignore(1 << 12, '\n');
  }
  return kb;
}

int count_prefix(const std::vector<e2e::syslog_line> &lines, const std::string &prefix)
{
  int n = 0;
  for (const e2e::syslog_line &l : lines)
    n += l.text.compare(0, prefix.size(), prefix) == 0;
  return n;
}

// ----------------------------------------------------------------- meter side

// mevrakt-meter-sim on a pty of its own, echoing each command's sequence
// number; its counters go to a file at the stop, its trace to another.
class meter {
 public:
  meter(const std::string &name, std::vector<std::string> options)
      : stats_path_(std::string(work_dir) + "/" + name + ".stats"),
        trace_path_(std::string(work_dir) + "/" + name + ".trace")
  {
    std::vector<std::string> argv = {"/bin/sh", "-c", "f=$1; shift; exec \"$@\" 2>\"$f\"", "sh", trace_path_,
                                     METER_SIM, "--echo-payload", std::to_string(kEchoLen), "--stats",
                                     stats_path_, "--trace"};
    argv.insert(argv.end(), options.begin(), options.end());
    if (proc_.start(argv, {false, true, false}) && proc_.wait_output("\n"))
      path_ = proc_.output().substr(0, proc_.output().find('\n'));
  }

  const std::string &path() const { return path_; }
  const std::string &trace_path() const { return trace_path_; }

  /// Stops the meter with SIGTERM; returns its counters.
  std::map<std::string, uint64_t> stop()
  {
    proc_.stop(SIGTERM, milliseconds(5000));
    std::map<std::string, uint64_t> counters;
    std::istringstream lines(e2e::read_file(stats_path_));
    std::string line;
    while (std::getline(lines, line)) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos)
        counters[line.substr(0, eq)] = strtoull(line.c_str() + eq + 1, nullptr, 10);
    }
    return counters;
  }

  /// Kills the meter: the pty's master side goes, as an unplugged adapter.
  void vanish() { proc_.stop(SIGKILL, milliseconds(5000)); }

 private:
  std::string stats_path_;
  std::string trace_path_;
  e2e::process proc_;
  std::string path_;
};

// What the meter's trace says it sent and was answered: the sequence numbers
// of the responses whose transmission drew an ACK.
struct meter_trace {
  std::set<uint64_t> acked;
  uint64_t acked_bad = 0;  // an ACK for a transmission sent with a broken CRC
};

meter_trace read_trace(const std::string &path)
{
  meter_trace trace;
  std::istringstream lines(e2e::read_file(path));
  std::string line;
  uint64_t seq = 0;
  bool bad = false, known = false;
  while (std::getline(lines, line)) {
    const size_t tx = line.find("tx response ");
    const size_t echo = line.find(" echo=");
    if (tx != std::string::npos && echo != std::string::npos && line.size() >= echo + 6 + 2 * kEchoLen) {
      uint8_t raw[kEchoLen];
      for (int i = 0; i < kEchoLen; i++)
        raw[i] = static_cast<uint8_t>(strtoul(line.substr(echo + 6 + 2 * static_cast<size_t>(i), 2).c_str(), nullptr, 16));
      uint8_t salt;
      known = parse_echo(raw, &seq, &salt);
      bad = line.find(" bad-crc", echo) != std::string::npos;
    } else if (line.find(" rx ACK") != std::string::npos && known) {
      // The meter reads an ACK as the answer to the transmission it waits on,
      // which is the last one it traced.
      trace.acked.insert(seq);
      trace.acked_bad += bad;
    }
  }
  return trace;
}

// ------------------------------------------------------------------- AMR side

enum class fate {
  outstanding,  // sent, no response yet
  delivered,    // its response reached a client of ours
  unanswered,   // no response came while its client waited, or a newer one came first
  abandoned,    // its client dropped the connection while it was outstanding
};

enum class leave {
  drained,  // half-close, then read until the daemon closes: nothing in flight is lost
  closed,   // plain close, whatever is in flight
  reset,    // abortive close: the daemon sees a reset
};

struct amr_tally {
  uint64_t sent = 0;
  uint64_t delivered = 0;
  uint64_t late = 0;         // after the client had stopped waiting for it
  uint64_t while_leaving = 0;
  uint64_t timeouts = 0;
  // ... of them, commands that a response to an older command overtook: a
  // response ends the command pending in the daemon, whichever it answers.
  uint64_t timeouts_overtaken = 0;
  uint64_t connections = 0;
  uint64_t drops[3] = {0, 0, 0};  // by leave
  uint64_t takeovers = 0;
  uint64_t resets_seen = 0;  // a replaced client saw a reset instead of an orderly close
  uint64_t failures = 0;     // broken, foreign, doubled or reordered responses; connections lost
};

// The AMR head-end: one connection at a time on the channel's port, one
// command at a time, every frame checked and booked against its command.
class amr_side {
 public:
  explicit amr_side(uint16_t port) : port_(port) { cmds_.push_back({}); }
  ~amr_side()
  {
    if (cur_.fd >= 0)
      close(cur_.fd);
  }

  bool connect_new()
  {
    conn c;
    c.fd = testnet::loopback_connect(port_);
    if (c.fd < 0) {
      fail("cannot connect to port " + std::to_string(port_));
      return false;
    }
    const int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c.id = static_cast<int>(++t_.connections);
    cur_ = c;
    return true;
  }

  /// Sends the next command; returns its sequence number.
  uint64_t send_command()
  {
    const uint64_t seq = cmds_.size();
    const bytes cmd = make_command(seq);
    cmds_.push_back({fate::outstanding, cur_.id, cmd[kEchoLen], false});
    open_.insert(seq);
    t_.sent++;
    if (send(cur_.fd, cmd.data(), cmd.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(cmd.size()))
      fail("command " + std::to_string(seq) + " not sent: " + strerror(errno));
    return seq;
  }

  /// Reads responses until `seq`'s has come or `deadline` has passed. Returns
  /// whether it came; if not, it and every older command still outstanding
  /// count as unanswered.
  bool await(uint64_t seq, milliseconds deadline)
  {
    const auto end = clk::now() + deadline;
    while (cmd_of(seq).state == fate::outstanding) {
      const auto left = std::chrono::duration_cast<milliseconds>(end - clk::now()).count();
      if (left <= 0) {
        t_.timeouts++;
        t_.timeouts_overtaken += cmd_of(seq).overtaken;
        for (auto it = open_.begin(); it != open_.end() && *it <= seq;) {
          cmd_of(*it).state = fate::unanswered;
          cmd_of(*it).timed_out = true;
          it = open_.erase(it);
        }
        return false;
      }
      if (!pump_current(static_cast<int>(left)))
        return false;
    }
    return cmd_of(seq).state == fate::delivered;
  }

  /// Takes whatever comes for `span`.
  void listen_for(milliseconds span)
  {
    const auto end = clk::now() + span;
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(end - clk::now()).count();
      if (left <= 0 || !pump_current(static_cast<int>(left)))
        return;
    }
  }

  /// Drops the connection mid-transaction; whatever is still outstanding is
  /// abandoned.
  void drop(leave how)
  {
    t_.drops[static_cast<int>(how)]++;
    part(how);
  }

  /// Leaves for good at the end of a run, in an orderly way.
  void finish() { part(leave::drained); }

  /// Connects a second client while the first is connected: the daemon must
  /// serve the new one and close the old one. Commands still outstanding are
  /// abandoned with the old one: their responses belong to no client now.
  void take_over()
  {
    conn old = cur_;
    if (!connect_new())
      return;
    t_.takeovers++;
    if (!drain(old))
      fail("the daemon kept serving the client it replaced");
    close(old.fd);
    for (uint64_t seq : open_)
      cmd_of(seq).state = fate::abandoned;
    open_.clear();
  }

  const amr_tally &tally() const { return t_; }
  fate state_of(uint64_t seq) const { return seq < cmds_.size() ? cmd_of(seq).state : fate::unanswered; }

 private:
  struct conn {
    int fd = -1;
    int id = 0;
    bytes rx;
    bool leaving = false;
  };
  struct command {
    fate state = fate::unanswered;
    int conn = 0;
    uint8_t salt = 0;
    bool timed_out = false;
    bool overtaken = false;  // a response to an older command came while it was outstanding
  };

  // Ends the current connection as `how` says.
  void part(leave how)
  {
    if (how == leave::drained) {
      shutdown(cur_.fd, SHUT_WR);
      if (!drain(cur_))
        fail("the daemon kept a half-closed connection open");
    } else if (how == leave::reset) {
      const struct linger abort = {1, 0};
      setsockopt(cur_.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    forget(cur_);
  }

  void fail(const std::string &what)
  {
    if (t_.failures++ < 20)
      ADD_FAILURE() << what;
  }

  // Closes the connection; commands still outstanding are abandoned with it.
  void forget(conn &c)
  {
    close(c.fd);
    c = conn{};
    for (uint64_t seq : open_)
      cmd_of(seq).state = fate::abandoned;
    open_.clear();
  }

  // pump() on the current connection, which only the client may end: if the
  // daemon ends it, that is a failure, and a new connection carries on.
  bool pump_current(int timeout_ms)
  {
    if (pump(cur_, timeout_ms))
      return true;
    fail("the daemon closed the connection of a client that stayed");
    forget(cur_);
    connect_new();
    return false;
  }

  // Reads until the daemon closes `c`, within kCloseDeadline.
  bool drain(conn &c)
  {
    c.leaving = true;
    const auto end = clk::now() + kCloseDeadline;
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(end - clk::now()).count();
      if (left <= 0)
        return false;
      if (!pump(c, static_cast<int>(left)))
        return true;
    }
  }

  // Waits up to `timeout_ms` for data on `c` and books every whole frame.
  // Returns false once the connection has ended.
  bool pump(conn &c, int timeout_ms)
  {
    struct pollfd p = {c.fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
      return true;
    uint8_t buf[4096];
    const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
      return true;
    if (n < 0 && errno == ECONNRESET)
      t_.resets_seen++;
    if (n <= 0)
      return false;
    c.rx.insert(c.rx.end(), buf, buf + n);
    size_t at = 0;
    for (; c.rx.size() - at >= NBR14522_RSP_SIZE; at += NBR14522_RSP_SIZE)
      book(&c.rx[at], c);
    c.rx.erase(c.rx.begin(), c.rx.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
  }

  void book(const uint8_t *frame, const conn &c)
  {
    uint64_t seq;
    uint8_t salt;
    if (!nbr14522_frame_ok(frame, NBR14522_RSP_SIZE))
      return fail("a response with a bad CRC reached the client");
    if (frame[0] != kCode)
      return fail("a response to another command code reached the client");
    if (!parse_echo(frame + SIM_ECHO_OFFSET, &seq, &salt) || seq == 0 || seq >= cmds_.size() ||
        cmd_of(seq).salt != salt)
      return fail("a response to no command of ours reached the client");
    command &cmd = cmd_of(seq);
    if (cmd.conn != c.id)
      return fail("response " + std::to_string(seq) + " reached a client that did not ask for it");
    if (cmd.state == fate::delivered)
      return fail("response " + std::to_string(seq) + " delivered twice");
    if (seq <= last_delivered_)
      return fail("response " + std::to_string(seq) + " came after " + std::to_string(last_delivered_));
    last_delivered_ = seq;
    t_.delivered++;
    t_.late += cmd.timed_out;
    t_.while_leaving += c.leaving;
    cmd.state = fate::delivered;
    // The meter answers one command at a time and forgets older ones once
    // it reads a newer one: nothing older can come after this.
    for (auto it = open_.begin(); it != open_.end() && *it <= seq;) {
      if (*it != seq)
        cmd_of(*it).state = fate::unanswered;
      it = open_.erase(it);
    }
    for (uint64_t newer : open_)
      cmd_of(newer).overtaken = true;
  }

  command &cmd_of(uint64_t seq) { return cmds_[static_cast<size_t>(seq)]; }
  const command &cmd_of(uint64_t seq) const { return cmds_[static_cast<size_t>(seq)]; }

  uint16_t port_;
  conn cur_;
  std::vector<command> cmds_;  // by sequence number, from 1
  std::set<uint64_t> open_;    // outstanding sequence numbers
  uint64_t last_delivered_ = 0;
  amr_tally t_;
};

// ---------------------------------------------------------------------- tests

class SoakTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(e2e::in_sandbox());
    mkdir(work_dir, 0755);
    unlink(settings_path);
    log.clear();
  }

  void start(const std::string &text)
  {
    ASSERT_TRUE(e2e::start_daemon(daemon, MEVRAKTD_BIN, text));
    ASSERT_TRUE(log.wait_for_prefix("shell started", LOG_NOTICE)) << log.dump();
  }

  e2e::syslog_tail log;
  e2e::process daemon;
};

constexpr uint16_t kSoakPort = 4101;
constexpr double kDropChance = 0.02;
constexpr double kTakeoverChance = 0.02;

TEST_F(SoakTest, FaultsOnBothSides)
{
  const uint64_t transactions = env_number("MEVRAKT_SOAK_TRANSACTIONS", 300);
  const uint64_t seed = env_number("MEVRAKT_SOAK_SEED", 14522);
  // Rates per occasion (see mevrakt-meter-sim --help), and each kind forced
  // on one early occasion too, so that even the short run meets every fault.
  const char *const faults[] = {
      "bad-crc=0.03",      "bad-crc@3",  "nak=0.03:2",      "nak@5",     "wait=0.02:400",  "wait@8",
      "silence=0.003:700", "silence@40", "chunks=0.03:3:2", "chunks@13", "stall=0.03:20",  "stall@21",
      "garbage=0.001:3",   "garbage@90",
  };
  std::vector<std::string> options = {"--enq-ms", "20", "--seed", std::to_string(seed)};
  for (const char *fault : faults)
    options.insert(options.end(), {"--fault", fault});
  meter sim("soak", options);
  ASSERT_FALSE(sim.path().empty());
  start(e2e::channel_settings(1, sim.path(), kSoakPort, 0, "", 0));
  const int fds_start = daemon.fd_count();
  const long rss_start = vm_rss_kb(daemon.pid());

  amr_side amr(kSoakPort);
  ASSERT_TRUE(amr.connect_new());
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> dice(0.0, 1.0);
  std::uniform_int_distribution<int> pause_ms(0, 30);
  const uint64_t warm_up = std::min<uint64_t>(100, transactions / 4);
  long rss_warm = rss_start;
  const auto began = clk::now();
  for (uint64_t i = 0; i < transactions; i++) {
    if (i == warm_up)
      rss_warm = vm_rss_kb(daemon.pid());
    if (transactions >= 1000 && i > 0 && i % 500 == 0) {
      printf("soak: %" PRIu64 " of %" PRIu64 " transactions, %.0f s\n", i, transactions,
             std::chrono::duration<double>(clk::now() - began).count());
      fflush(stdout);
    }
    const uint64_t seq = amr.send_command();
    const double roll = dice(rng);
    if (roll < kDropChance) {
      amr.listen_for(milliseconds(pause_ms(rng)));
      amr.drop(static_cast<leave>(i % 3));  // each way of leaving, by turns
      amr.connect_new();
    } else if (roll < kDropChance + kTakeoverChance) {
      amr.listen_for(milliseconds(pause_ms(rng)));
      amr.take_over();
    } else {
      amr.await(seq, kResponseDeadline);
    }
  }
  amr.finish();
  const double seconds = std::chrono::duration<double>(clk::now() - began).count();

  // Quiet line: the client gone, the daemon holding the break, its counts
  // standing still for a second.
  ASSERT_TRUE(eventually([] { return status(1)["AMR System"] == "disconnected"; }, milliseconds(5000), kLook));
  uint64_t before = UINT64_MAX, steady_since = 0;
  ASSERT_TRUE(eventually(
      [&] {
        auto report = status(1);
        const uint64_t now = number(report, "Responses OK") + number(report, "Responses failed");
        steady_since = now == before ? steady_since + 1 : 0;
        before = now;
        return steady_since >= 50;  // 50 looks kLook apart
      },
      milliseconds(20000), kLook));
  EXPECT_TRUE(eventually([&] { return daemon.fd_count() == fds_start; }, milliseconds(5000), kLook));
  const int fds_end = daemon.fd_count();
  const long rss_end = vm_rss_kb(daemon.pid());

  std::map<std::string, uint64_t> m = sim.stop();
  const meter_trace trace = read_trace(sim.trace_path());
  auto report = status(1);
  ASSERT_EQ(report["Service"], "running") << "the daemon no longer answers status 1";
  EXPECT_TRUE(daemon.running());
  const uint64_t rsp_created = number(report, "Responses OK");
  const uint64_t rsp_failed = number(report, "Responses failed");

  // Every response the meter saw ACKed: delivered, or dropped with the client
  // that had left.
  const amr_tally &t = amr.tally();
  uint64_t lost = 0, dropped_by_design = 0, delivered_unseen = t.delivered;
  for (uint64_t seq : trace.acked) {
    const fate f = amr.state_of(seq);
    if (f == fate::delivered)
      delivered_unseen--;
    else if (f == fate::abandoned)
      dropped_by_design++;
    else if (lost++ < 10)
      ADD_FAILURE() << "response " << seq << " was ACKed but never reached its connected client";
  }

  const std::vector<e2e::syslog_line> lines = log.lines();
  const int data_lost = log.count("tcp_server_pipe_exec - socket closed, data lost");
  const int give_ups = count_prefix(lines, "nbr14522_cmd_send - command send error (");
  const int select_errors = count_prefix(lines, "nbr14522_main - select error") +
                            count_prefix(lines, "tcp_server_main - select error");

  printf("soak: %" PRIu64 " transactions in %.0f s, seed %" PRIu64 "\n", transactions, seconds, seed);
  printf("  AMR side: %" PRIu64 " commands, %" PRIu64 " responses delivered (%" PRIu64 " late, %" PRIu64
         " while leaving), %" PRIu64 " timed out (%" PRIu64 " overtaken by an older command's response)\n",
         t.sent, t.delivered, t.late, t.while_leaving, t.timeouts, t.timeouts_overtaken);
  printf("            %" PRIu64 " connections: %" PRIu64 " drops mid-transaction (%" PRIu64 " drained, %" PRIu64
         " closed, %" PRIu64 " reset), %" PRIu64 " takeovers (%" PRIu64 " replaced clients saw a reset)\n",
         t.connections, t.drops[0] + t.drops[1] + t.drops[2], t.drops[0], t.drops[1], t.drops[2], t.takeovers,
         t.resets_seen);
  printf("  meter faults injected: bad-crc %" PRIu64 ", nak %" PRIu64 ", wait %" PRIu64 ", silence %" PRIu64
         ", chunks %" PRIu64 ", stall %" PRIu64 ", garbage %" PRIu64 " (%" PRIu64 " bytes)\n",
         m["fault_bad_crc"], m["fault_nak"], m["fault_wait"], m["fault_silence"], m["fault_chunks"],
         m["fault_stall"], m["fault_garbage"], m["garbage_bytes_sent"]);
  printf("  meter: %" PRIu64 " commands, %" PRIu64 " good + %" PRIu64 " bad transmissions; ACKed %" PRIu64
         " good + %" PRIu64 " bad + %" PRIu64 " stray; NAKed %" PRIu64 " good + %" PRIu64 " bad + %" PRIu64
         " stray; %" PRIu64 " unanswered, %" PRIu64 " given up\n",
         m["commands_good"], m["responses_sent_good"], m["responses_sent_bad"], m["responses_good_acked"],
         m["responses_bad_acked"], m["stray_acks"], m["responses_good_naked"], m["responses_bad_naked"],
         m["stray_naks"], m["responses_unanswered"], m["responses_given_up"]);
  printf("  daemon: Responses OK %" PRIu64 ", Responses failed %" PRIu64 ", Commands OK %" PRIu64
         ", Commands failed %" PRIu64 " (%d give-ups logged), TCP sessions %" PRIu64 ", connection lost %" PRIu64
         ", %d reads with no client logged\n",
         rsp_created, rsp_failed, number(report, "Commands OK"), number(report, "Commands failed"), give_ups,
         number(report, "TCP sessions"), number(report, "Meter connection lost"), data_lost);
  printf("  ACKed responses lost while their client was connected: %" PRIu64 "; dropped by design with a "
         "departed client: %" PRIu64 "; delivered without the meter seeing the ACK: %" PRIu64 "\n",
         lost, dropped_by_design, delivered_unseen);
  printf("  client failures (bad CRC, foreign, duplicated, out of order, lost connection): %" PRIu64 "\n",
         t.failures);
  printf("  daemon descriptors %d -> %d, VmRSS %ld kB (after %" PRIu64 " transactions %ld kB) -> %ld kB\n",
         fds_start, fds_end, rss_start, warm_up, rss_warm, rss_end);
  fflush(stdout);

  EXPECT_EQ(t.failures, 0u);
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(trace.acked.size() + trace.acked_bad, m["responses_good_acked"] + m["responses_bad_acked"])
      << "the trace and the counters of the meter disagree";
  EXPECT_EQ(m["responses_bad_acked"], 0u);
  // A good response the daemon ACKed either answered a command (Responses OK)
  // or answered none any more, its client gone (dropped).
  const long long rsp_dropped =
      e2e::metric(e2e::shell_request("metrics\n"), "mevrakt_responses_dropped_total{channel=\"1\"}");
  EXPECT_EQ(rsp_created + static_cast<uint64_t>(rsp_dropped),
            m["responses_good_acked"] + m["responses_bad_acked"] + m["stray_acks"]);
  EXPECT_EQ(rsp_failed, m["responses_good_naked"] + m["responses_bad_naked"] + m["stray_naks"]);
  EXPECT_LE(delivered_unseen, m["stray_acks"]);
  EXPECT_EQ(number(report, "TCP sessions"), t.connections);
  for (const char *kind : {"bad_crc", "nak", "wait", "silence", "chunks", "stall", "garbage"})
    EXPECT_GT(m[std::string("fault_") + kind], 0u) << kind << " was never injected";
  EXPECT_EQ(fds_end, fds_start);
  if (kRssGrowthKb >= 0) {
    EXPECT_LE(rss_end - rss_warm, kRssGrowthKb) << "resident memory grew";
  }
  EXPECT_EQ(select_errors, 0);
  EXPECT_EQ(daemon.stop(SIGTERM, milliseconds(5000)), 0);
}

TEST_F(SoakTest, AVanishedLineNeitherStopsNorBusiesTheDaemon)
{
  meter one("one", {"--enq-ms", "50"});
  meter two("two", {"--enq-ms", "50"});
  ASSERT_FALSE(one.path().empty());
  ASSERT_FALSE(two.path().empty());
  start(e2e::channel_settings(1, one.path(), 4201, 1, two.path(), 4202));
  amr_side amr1(4201), amr2(4202);
  ASSERT_TRUE(amr1.connect_new());
  ASSERT_TRUE(amr2.connect_new());
  for (int i = 0; i < 5; i++) {
    EXPECT_TRUE(amr1.await(amr1.send_command(), kResponseDeadline));
    EXPECT_TRUE(amr2.await(amr2.send_command(), kResponseDeadline));
  }

  one.vanish();
  ASSERT_TRUE(log.wait_for_prefix("line lost on " + one.path())) << log.dump();
  amr1.send_command();  // stays pending: no ENQ can come any more

  // Channel 2 keeps reading for three seconds; meanwhile the whole daemon
  // uses a small part of one CPU and logs the dead line only now and then,
  // while it tries to open it again.
  auto line_logs = [&] {
    const std::vector<e2e::syslog_line> lines = log.lines();
    return count_prefix(lines, "line lost on " + one.path()) + count_prefix(lines, "open(" + one.path() + ")");
  };
  const int dead_line_logs = line_logs();
  const long ticks_before = daemon.cpu_ticks();
  const auto began = clk::now();
  int reads = 0;
  while (clk::now() - began < milliseconds(3000)) {
    EXPECT_TRUE(amr2.await(amr2.send_command(), kResponseDeadline));
    reads++;
  }
  const double wall = std::chrono::duration<double>(clk::now() - began).count();
  // Clock ticks are coarse, but enough here: a daemon spinning on the dead
  // line would use some 300 in three seconds, and the bound is 60.
  const double cpu_share = static_cast<double>(daemon.cpu_ticks() - ticks_before) / static_cast<double>(sysconf(_SC_CLK_TCK)) / wall;
  const int more_logs = line_logs() - dead_line_logs;
  printf("line 1 gone: %d reads on channel 2 in %.1f s, daemon CPU %.2f%% of one CPU, %d more line-error logs\n",
         reads, wall, 100 * cpu_share, more_logs);
  EXPECT_LT(cpu_share, 0.20);
  EXPECT_LE(more_logs, 3);
  EXPECT_EQ(amr2.tally().failures + amr1.tally().failures, 0u);

  EXPECT_EQ(status(1)["Service"], "running");
  auto report = status(2);
  EXPECT_EQ(report["Meter"], "connected");
  EXPECT_EQ(number(report, "Responses OK"), 5u + static_cast<unsigned>(reads));
  EXPECT_TRUE(daemon.running());
  EXPECT_EQ(daemon.stop(SIGTERM, milliseconds(5000)), 0);
  EXPECT_TRUE(log.wait_for("stopped", LOG_NOTICE)) << log.dump();
}

}  // namespace
