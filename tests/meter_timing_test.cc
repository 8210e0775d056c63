// SPDX-License-Identifier: MIT
// Meters that keep their own timing, against the real mevraktd in the
// sandbox: slow ones, ones that answer every send, that keep sending ENQ
// while they work, that send frames nobody asked for, cut a response short,
// cross our command with their ENQ, answer in several frames, or come through
// the chunks of real UART and USB drivers. Whatever the timing, every frame a
// head-end gets answers its own command: the simulated meter copies each
// command's first bytes into its answer, and each head-end names itself and
// numbers its commands in those bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "nbr14522/frame.h"
#include "tests/e2e/e2e.h"
#include "tests/support/loopback.h"
#include "tests/support/pty_meter.h"
#include "tools/tool_util.h"

namespace {

using e2e::milliseconds;
using namespace std::chrono_literals;
using testmeter::bytes;

const char *const MEVRAKTD = getenv("MEVRAKT_DAEMON") ? getenv("MEVRAKT_DAEMON") : MEVRAKTD_BIN;

// Command bytes 1 to 8 come back in every answer, from byte 128 on.
constexpr size_t kEcho = 8;
constexpr size_t kEchoAt = 128;

// A simulated meter that echoes command bytes and writes its counters to a
// file of its own when it stops.
struct simulator : e2e::simulated_meter {
  explicit simulator(std::vector<std::string> options, const std::string &stats)
      : simulated_meter(METER_SIM, with_echo(std::move(options), stats)), stats_path(stats)
  {
  }
  static std::vector<std::string> with_echo(std::vector<std::string> options, const std::string &stats)
  {
    options.insert(options.end(), {"--echo-payload", std::to_string(kEcho), "--stats", stats});
    return options;
  }

  // Stops the meter and gives its counter `key`, -1 if there is none.
  long long counter(const std::string &key)
  {
    proc.stop(SIGTERM);
    const std::string stats = e2e::read_file(stats_path);
    const size_t at = stats.find(key + "=");
    return at == std::string::npos ? -1 : atoll(stats.c_str() + at + key.size() + 1);
  }

  // How often a busy host held up the meter's responses by 40 ms or more:
  // the pauses a gateway may rightly take for a response that stopped.
  long long late() { return counter("late_writes"); }

  std::string stats_path;
};

// Whether `frame` is a good answer to `command`: its code, and its bytes.
bool answers(const bytes &frame, const bytes &command)
{
  return frame.size() == NBR14522_RSP_SIZE && testmeter::crc_ok(frame) && frame[0] == command[0] &&
         memcmp(frame.data() + kEchoAt, command.data() + 1, kEcho) == 0;
}

// One head-end: a connection that sends commands naming it and numbered,
// and keeps every frame it gets.
struct head_end {
  explicit head_end(uint8_t who, uint16_t port = 4001) : fd(testnet::loopback_connect(port)), id(who) {}
  ~head_end()
  {
    if (fd >= 0)
      close(fd);
  }
  head_end(const head_end &) = delete;
  head_end &operator=(const head_end &) = delete;

  const bytes &send_command(uint8_t code = 0x14)
  {
    number++;
    last.assign(NBR14522_CMD_SIZE, 0);
    last[0] = code;
    last[1] = id;
    memcpy(&last[2], &number, sizeof number);
    nbr14522_frame_seal(last.data(), static_cast<int>(last.size()));
    ::send(fd, last.data(), last.size(), MSG_NOSIGNAL);
    return last;
  }

  // The next frame, or nothing by the deadline; counted as its own (it
  // answers the last command sent) or another's.
  bytes frame(milliseconds timeout = 5000ms)
  {
    bytes got = e2e::receive(fd, NBR14522_RSP_SIZE, timeout);
    if (!got.empty())
      (answers(got, last) ? own : foreign)++;
    return got;
  }

  int fd;
  uint8_t id;
  uint32_t number = 0;
  bytes last;
  int own = 0;
  int foreign = 0;
};

class MeterTimingTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(e2e::in_sandbox());
    unlink(e2e::settings_path);
    log.clear();
  }

  // Starts a simulated meter per channel with its options, and the daemon
  // with `extra` settings lines.
  void start(std::vector<std::string> meter1, std::vector<std::string> meter2 = {}, const std::string &extra = "")
  {
    if (daemon) {
      ASSERT_EQ(daemon->stop(SIGTERM, 5000ms), 0);
    }
    daemon = std::make_unique<e2e::process>();
    const std::string stats = "/tmp/mevrakt-meter-timing-" + std::to_string(getpid()) + "-";
    m1 = std::make_unique<simulator>(std::move(meter1), stats + "1");
    m2 = std::make_unique<simulator>(std::move(meter2), stats + "2");
    ASSERT_FALSE(m1->path.empty());
    ASSERT_FALSE(m2->path.empty());
    ASSERT_TRUE(
        e2e::start_daemon(*daemon, MEVRAKTD, e2e::channel_settings(1, m1->path, 4001, 1, m2->path, 4002) + extra));
    ASSERT_TRUE(e2e::waits_for_signal(daemon->pid()));
  }

  static long long value(const std::string &series) { return e2e::metric(e2e::shell_request("metrics\n"), series); }

  // Channel `channel`'s sample of `family` (with `label`, e.g. reason="echo").
  static long long value(int channel, const std::string &family, const std::string &label = "")
  {
    return value(family + "{channel=\"" + std::to_string(channel) + "\"" + (label.empty() ? "" : "," + label) + "}");
  }

  static int occurrences(const std::string &text, const std::string &part)
  {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
      n++;
    return n;
  }

  // Waits until `pred` holds, asking every 10 ms: each look is a shell request.
  template <typename Pred>
  static bool soon(Pred pred, milliseconds timeout = 5000ms)
  {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      poll(nullptr, 0, 10);
    }
    return true;
  }

  // Waits until channel `channel`'s trace holds `part` `n` times.
  static bool traced(int channel, const std::string &part, int n = 1, milliseconds timeout = 5000ms)
  {
    const std::string request = "trace " + std::to_string(channel) + "\n";
    return soon([&] { return occurrences(e2e::shell_request(request), part) >= n; }, timeout);
  }

  e2e::syslog_tail log;
  std::unique_ptr<simulator> m1, m2;
  std::unique_ptr<e2e::process> daemon;
};

// A meter that takes 650 ms to answer and ignores commands meanwhile. A
// head-end that takes over while the last one's command is at the meter gets
// the answer to its own command, never the other's; the late answer is
// acknowledged and dropped, and the new command goes out at the meter's next
// ENQ, not on the old command's time-out. Then twenty quick takeovers: every
// frame any of them gets is its own, and the last is answered.
TEST_F(MeterTimingTest, ASlowMeterNeverAnswersAnotherHeadEnd)
{
  start({"--turnaround", "650"});
  int written = 0, own = 0, foreign = 0;
  for (uint8_t trial = 0; trial < 5; trial++) {
    head_end first(static_cast<uint8_t>(2 * trial));
    first.send_command();
    ASSERT_TRUE(traced(1, "command written code 14 send 1 of 7", ++written)) << e2e::shell_request("trace 1\n");
    head_end second(static_cast<uint8_t>(2 * trial + 1));
    second.send_command();
    ++written;
    second.frame();
    first.frame(100ms);  // the replaced head-end gets nothing
    own += second.own;
    foreign += first.own + first.foreign + second.foreign;
  }
  const long long ok = value("mevrakt_commands_ok_total{channel=\"1\"}");
  printf("slow meter, takeover while the command is at the meter: 5 trials, %d answered, %d foreign; "
         "Commands OK %lld, dropped %lld\n",
         own, foreign, ok, value("mevrakt_responses_dropped_total{channel=\"1\"}"));
  EXPECT_EQ(own, 5) << e2e::shell_request("trace 1\n");
  EXPECT_EQ(foreign, 0);
  EXPECT_EQ(ok, 5);

  std::vector<std::unique_ptr<head_end>> quick;
  for (uint8_t i = 0; i < 20; i++) {
    quick.push_back(std::make_unique<head_end>(static_cast<uint8_t>(100 + i)));
    quick.back()->send_command();
    quick.back()->frame(milliseconds(50 + 37 * (i % 9)));
  }
  quick.back()->frame();
  int answered = 0;
  foreign = 0;
  for (const auto &h : quick) {
    answered += h->own;
    foreign += h->foreign;
  }
  printf("slow meter, 20 quick takeovers: %d answered, %d foreign, the last %s\n", answered, foreign,
         quick.back()->own ? "answered" : "not answered");
  EXPECT_EQ(foreign, 0);
  EXPECT_EQ(quick.back()->own, 1) << e2e::shell_request("trace 1\n");
  EXPECT_EQ(value("mevrakt_commands_ok_total{channel=\"1\"}"), 5 + answered);
  EXPECT_EQ(daemon->stop(SIGTERM, 5000ms), 0);
}

// Channel 1: a meter that takes 650 ms and answers every send, so the resend
// after 501 ms is answered too. Channel 2: a meter that keeps sending ENQ while
// it works and answers every command, so each ENQ makes a send it answers.
// Each read gets its own answer once; the late answers to earlier sends are
// acknowledged and dropped, and counted as such, not as commands.
TEST_F(MeterTimingTest, AMeterThatAnswersEverySendAnswersEachReadOnce)
{
  start({"--turnaround", "650", "--busy", "answer"}, {"--turnaround", "300", "--busy", "answer", "--enq-while-busy"});
  head_end slow(1, 4001);
  for (int read = 0; read < 5; read++) {
    slow.send_command();
    slow.frame();
  }
  head_end eager(2, 4002);
  for (int read = 0; read < 10; read++) {
    eager.send_command();
    eager.frame();
  }
  slow.frame(1500ms);
  eager.frame(100ms);
  const std::string metrics = e2e::shell_request("metrics\n");
  for (const head_end *h : {&slow, &eager}) {
    const std::string c = std::string("{channel=\"") + (h == &slow ? "1" : "2") + "\"}";
    printf("%s: %d reads, %d own, %d foreign; Commands OK %lld, Responses OK %lld, dropped %lld, sends %d\n",
           h == &slow ? "answers after 650 ms and every send" : "ENQ during its turnaround, answers every command",
           static_cast<int>(h->number), h->own, h->foreign,
           e2e::metric(metrics, "mevrakt_commands_ok_total" + c), e2e::metric(metrics, "mevrakt_responses_ok_total" + c),
           e2e::metric(metrics, "mevrakt_responses_dropped_total" + c),
           occurrences(e2e::shell_request(h == &slow ? "trace 1\n" : "trace 2\n"), "command written"));
    EXPECT_EQ(h->own, static_cast<int>(h->number)) << e2e::shell_request(h == &slow ? "trace 1\n" : "trace 2\n");
    EXPECT_EQ(h->foreign, 0);
  }
  for (const char *channel : {"1", "2"}) {
    const std::string c = std::string("{channel=\"") + channel + "\"}";
    EXPECT_EQ(e2e::metric(metrics, "mevrakt_commands_ok_total" + c), channel[0] == '1' ? 5 : 10) << metrics;
    EXPECT_EQ(e2e::metric(metrics, "mevrakt_responses_ok_total" + c), channel[0] == '1' ? 5 : 10) << metrics;
    EXPECT_EQ(e2e::metric(metrics, "mevrakt_commands_failed_total" + c), 0) << metrics;
    EXPECT_GE(e2e::metric(metrics, "mevrakt_responses_dropped_total" + c), channel[0] == '1' ? 4 : 1) << metrics;
  }
  // The meter that keeps its ENQ going answered a send and its resend: once
  // said, its ENQs no longer make resends.
  EXPECT_EQ(log.count("meter on " + m2->path + " answers every send: no resend on a repeated ENQ", LOG_NOTICE), 1)
      << log.dump();
  EXPECT_LE(occurrences(e2e::shell_request("trace 2\n"), "command written"), 12 + m2->late());
  EXPECT_EQ(daemon->stop(SIGTERM, 5000ms), 0);
}

// Channel 1: a meter whose ENQ always crosses our command (ENQ and response
// in one write), and whose second response stops half way before it sends
// ENQ again. Channel 2: a meter that now and then sends a frame
// nobody asked for. The crossed ENQ sends nothing again; the half response is
// abandoned once its bytes stop and the command goes out again; unasked
// frames are acknowledged and dropped; every read gets its own answer, and
// counts once. (A pause the busy host forces on the meter may cost a resend.)
TEST_F(MeterTimingTest, CrossedHalfAndUnaskedFramesLeaveEveryReadItsOwn)
{
  start({"--fault", "crossed=1", "--fault", "half@2"}, {"--fault", "unsolicited=0.3", "--seed", "7"});
  head_end one(7, 4001), two(8, 4002);
  for (int read = 0; read < 10; read++) {
    for (head_end *h : {&one, &two}) {
      h->send_command();
      h->frame();
    }
    // Idle ENQs between reads, in which unasked frames come.
    two.frame(300ms);
  }
  EXPECT_EQ(one.own, 10) << e2e::shell_request("trace 1\n");
  EXPECT_EQ(two.own, 10) << e2e::shell_request("trace 2\n");
  EXPECT_EQ(one.foreign + two.foreign, 0) << "a frame that answers no command reached a head-end";
  const std::string trace = e2e::shell_request("trace 1\n");
  const int timeouts = occurrences(trace, "response time-out after ");
  const std::string metrics = e2e::shell_request("metrics\n");
  for (const char *c : {"{channel=\"1\"}", "{channel=\"2\"}"}) {
    EXPECT_EQ(e2e::metric(metrics, std::string("mevrakt_commands_ok_total") + c), 10) << metrics;
    EXPECT_EQ(e2e::metric(metrics, std::string("mevrakt_commands_failed_total") + c), 0) << metrics;
  }
  EXPECT_GE(e2e::metric(metrics, "mevrakt_responses_dropped_total{channel=\"2\"}"), 1) << metrics;
  EXPECT_EQ(daemon->stop(SIGTERM, 5000ms), 0);
  // Ten reads and the one resend after the half response: eleven commands at
  // the meter, had no crossed ENQ made one more.
  const long long late = m1->late(), at_meter = m1->counter("commands_good");
  printf("ENQ crossing every command, a half response: 10 reads, %d own, %d foreign, %lld commands at the meter, "
         "%d time-outs (%lld late writes); unasked frames: 10 reads, %d own, %d foreign, %lld dropped\n",
         one.own, one.foreign, at_meter, timeouts, late, two.own, two.foreign,
         e2e::metric(metrics, "mevrakt_responses_dropped_total{channel=\"2\"}"));
  EXPECT_GE(timeouts, 1) << trace;
  EXPECT_LE(timeouts, 1 + late) << trace;
  EXPECT_GE(at_meter, 11);
  EXPECT_LE(at_meter, 11 + late) << trace;
}

// A composed command is answered in three frames; the meter misses our ACK
// of the second and asks for it again with ENQ. All three frames reach the
// head-end that sent the command, the last marked as such, and nothing after
// it; the next read is answered as usual. The command counts once.
TEST_F(MeterTimingTest, AComposedAnswerReachesItsHeadEndWhole)
{
  start({"--composed", "3", "--fault", "lose-ack@2"}, {"--composed", "4", "--fault", "repeat-frame@1"});
  head_end h(9);
  h.send_command(0x26);
  for (int part = 1; part <= 3; part++) {
    const bytes got = h.frame();
    ASSERT_EQ(h.own, part) << "frame " << part << "\n" << e2e::shell_request("trace 1\n");
    EXPECT_EQ((got[NBR14522_RSP_FLAGS_BYTE] & NBR14522_RSP_LAST) != 0, part == 3);
  }
  h.frame(300ms);  // nothing after the last frame
  EXPECT_EQ(h.own + h.foreign, 3);
  h.send_command(0x14);
  h.frame();
  EXPECT_EQ(h.own, 4);
  EXPECT_EQ(h.foreign, 0);
  const std::string metrics = e2e::shell_request("metrics\n");
  EXPECT_EQ(e2e::metric(metrics, "mevrakt_commands_ok_total{channel=\"1\"}"), 2) << metrics;
  EXPECT_EQ(e2e::metric(metrics, "mevrakt_responses_ok_total{channel=\"1\"}"), 4) << metrics;
  const std::string trace = e2e::shell_request("trace 1\n");
  EXPECT_EQ(occurrences(trace, "ACK sent"), 5) << "the ACK asked for again went out once more\n" << trace;
  EXPECT_EQ(occurrences(trace, "command written"), 2) << trace;
  EXPECT_EQ(log.count_prefix("response timeout on "), 0) << log.dump();

  // Channel 2's meter misses our ACK of the first frame and sends it again:
  // acknowledged and dropped, so the head-end gets each frame once.
  head_end again(10, 4002);
  again.send_command(0x26);
  std::vector<bytes> frames;
  for (bytes got; !(got = again.frame(frames.size() < 4 ? 5000ms : 300ms)).empty();)
    frames.push_back(got);
  printf("composed answer whose first frame the meter sends again: the head-end got %zu frames, %zu of them new\n",
         frames.size(), std::set<bytes>(frames.begin(), frames.end()).size());
  EXPECT_EQ(frames.size(), 4u) << e2e::shell_request("trace 2\n");
  EXPECT_EQ(std::set<bytes>(frames.begin(), frames.end()).size(), frames.size()) << "a frame reached it twice";
  EXPECT_EQ(value(2, "mevrakt_responses_dropped_total"), 1);
  EXPECT_EQ(value(2, "mevrakt_commands_ok_total"), 1);
  EXPECT_EQ(daemon->stop(SIGTERM, 5000ms), 0);
}

// Responses delivered as real drivers hand them over at 9600 baud: a 16550's
// FIFO (8 bytes every 8.3 ms) and a USB adapter's latency timer (16 bytes
// every 16.7 ms). No read times out or logs a warning. Then a line that
// hands over a byte at a time: the progress lines of its reads spend their
// own budget, and a warning after them is still written.
TEST_F(MeterTimingTest, ChunksOfRealDriversAreNoTimeOut)
{
  start({"--line-speed", "--chunked", "8:8.3"}, {"--line-speed", "--chunked", "16:16.7"});
  for (uint16_t port : {uint16_t{4001}, uint16_t{4002}}) {
    head_end h(static_cast<uint8_t>(port), port);
    for (int read = 0; read < 5; read++) {
      h.send_command();
      h.frame();
    }
    EXPECT_EQ(h.own, 5) << "port " << port;
  }
  const long long late = m1->late() + m2->late();
  printf("chunks of 8 every 8.3 ms and of 16 every 16.7 ms: 10 reads, %d response time-outs (%lld late writes), "
         "%zu log lines\n",
         log.count_prefix("response timeout on "), late, log.lines().size());
  EXPECT_LE(log.count_prefix("response timeout on "), late) << log.dump();
  EXPECT_EQ(log.count_containing(" messages suppressed on "), 0) << log.dump();
  EXPECT_GE(log.count("nbr14522_com_rsp_exec", LOG_NOTICE), 10);

  // Eleven reads whose responses come a byte at a time spend the progress
  // lines' budget (298 lines) however the load bunches the bytes; the
  // twelfth is NAKed.
  start({"--chunked", "1:1", "--fault", "nak@12"});
  log.clear();
  head_end h(3);
  for (int read = 0; read < 12; read++) {
    h.send_command();
    h.frame();
  }
  EXPECT_EQ(h.own, 12);
  const int progress = log.count("nbr14522_com_rsp_exec") + log.count_prefix("nbr_ptr->rsp_len ");
  printf("a byte at a time: 12 reads, %d progress lines, NAK warning %s\n", progress,
         log.count("NAK received on " + m1->path, LOG_WARNING) ? "written" : "missing");
  EXPECT_GE(progress, 298) << "the budget was not spent: the test proves nothing";
  EXPECT_LE(progress, 320) << "the progress lines were not bounded";
  EXPECT_EQ(log.count("NAK received on " + m1->path, LOG_WARNING), 1) << log.dump();
  EXPECT_EQ(daemon->stop(SIGTERM, 5000ms), 0);
}

// A meter that works through every command it hears, one after another,
// 400 to 450 ms each, and keeps its ENQ going meanwhile: each ENQ drew a
// resend it answered later, and those late answers reached the next reads.
// Channel 1: one head-end, ten reads; channel 2: eight takeovers while the
// command is at the meter. Every frame is its owner's, each command counts
// once, the meter is seen to answer every send once, and the reads keep
// their pace.
TEST_F(MeterTimingTest, AMeterThatQueuesEveryCommandNeverAnswersAnotherRead)
{
  const std::vector<std::string> queuing = {"--turnaround", "400:450", "--busy", "queue", "--enq-while-busy"};
  start(queuing, queuing);
  head_end one(1, 4001);
  const auto started = std::chrono::steady_clock::now();
  for (int read = 0; read < 10; read++) {
    one.send_command();
    one.frame();
  }
  const auto took = std::chrono::steady_clock::now() - started;
  int own = 0, foreign = 0, written = 0;
  for (uint8_t i = 0; i < 8; i++) {
    head_end first(static_cast<uint8_t>(10 + 2 * i), 4002);
    first.send_command();
    ASSERT_TRUE(traced(2, "command written", ++written)) << e2e::shell_request("trace 2\n");
    head_end second(static_cast<uint8_t>(11 + 2 * i), 4002);
    second.send_command();
    written = occurrences(e2e::shell_request("trace 2\n"), "command written") + 1;
    second.frame();
    first.frame(100ms);
    own += second.own;
    foreign += second.foreign + first.own + first.foreign;
  }
  one.frame(1000ms);
  printf("queues every command, ENQ while it works: one head-end 10 reads, %d own, %d foreign, %lld ms a read; "
         "8 takeovers, %d own, %d foreign; Commands OK %lld and %lld\n",
         one.own, one.foreign, static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count() / 10), own,
         foreign, value(1, "mevrakt_commands_ok_total"), value(2, "mevrakt_commands_ok_total"));
  EXPECT_EQ(one.own, 10) << e2e::shell_request("trace 1\n");
  EXPECT_EQ(one.foreign, 0);
  EXPECT_EQ(own, 8) << e2e::shell_request("trace 2\n");
  EXPECT_EQ(foreign, 0);
  EXPECT_EQ(value(1, "mevrakt_commands_ok_total"), 10);
  EXPECT_EQ(value(2, "mevrakt_commands_ok_total"), 8);
  EXPECT_EQ(value(2, "mevrakt_commands_unanswered_total", "reason=\"replaced\""), 8);
  EXPECT_EQ(log.count("meter on " + m1->path + " answers every send: no resend on a repeated ENQ", LOG_NOTICE), 1)
      << log.dump();
  EXPECT_EQ(occurrences(e2e::shell_request("trace 1\n"), "no resend on a repeated ENQ"), 1);
  EXPECT_EQ(daemon->stop(SIGTERM, 5000ms), 0);
}

// Channel 1: a meter that paces its bytes (0.6 ms after each, 258 bytes in
// about 430 ms) was cut at a fixed frame bound and never read. Channel 2: a
// meter with a 22 ms ENQ period, whose ENQ right after a command says it
// missed it. Every read is whole and its own, sent once, and no ENQ is taken
// for a crossing later than half the meter's period.
TEST_F(MeterTimingTest, APacedMeterAndAQuickEnqAreReadAsTheyCome)
{
  start({"--line-speed", "--pace", "0.6"}, {"--enq-ms", "22"});
  head_end paced(1, 4001), quick(2, 4002);
  for (int read = 0; read < 4; read++) {
    paced.send_command();
    paced.frame();
    quick.send_command();
    quick.frame();
  }
  const std::string trace1 = e2e::shell_request("trace 1\n"), trace2 = e2e::shell_request("trace 2\n");
  const long long late = m1->late();
  printf("paces its bytes: 4 reads, %d own, %d sends, %d response time-outs (%lld late writes); 22 ms ENQ: 4 reads, "
         "%d own\n",
         paced.own, occurrences(trace1, "command written"), occurrences(trace1, "response time-out"), late, quick.own);
  EXPECT_EQ(paced.own, 4) << trace1;
  EXPECT_LE(occurrences(trace1, "command written"), 4 + late) << trace1;
  EXPECT_LE(occurrences(trace1, "response time-out"), late) << trace1;
  EXPECT_EQ(quick.own, 4) << trace2;
  EXPECT_EQ(paced.foreign + quick.foreign, 0);
  for (size_t at = trace2.find(" ms after the command"); at != std::string::npos;
       at = trace2.find(" ms after the command", at + 1))
    EXPECT_LE(atoi(trace2.c_str() + trace2.rfind(' ', at - 1)), 11) << trace2;
  EXPECT_EQ(daemon->stop(SIGTERM, 5000ms), 0);
}

// Both lines return every byte written. Channel 1 is not set to: each read
// used to end in a storm of NAKs; now it fails at once, is counted, and one
// warning names the setting. Channel 2 is set to (ECHO=1): its reads are
// whole.
TEST_F(MeterTimingTest, AnEchoingLineIsReadWhenSetAndFailsFastWhenNot)
{
  start({"--echo"}, {"--echo"}, "MOD_MEVRAKT_PROT2_ECHO=1\n");
  head_end unset(1, 4001), set(2, 4002);
  for (int read = 0; read < 3; read++) {
    unset.send_command();
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_TRUE(soon([&] { return value(1, "mevrakt_commands_unanswered_total", "reason=\"echo\"") > read; }))
        << e2e::shell_request("trace 1\n");
    printf("echoing line, not set: read %d failed after %lld ms\n", read,
           static_cast<long long>(
               std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - sent).count()));
  }
  for (int read = 0; read < 5; read++) {
    set.send_command();
    set.frame();
  }
  unset.frame(300ms);
  EXPECT_EQ(unset.own + unset.foreign, 0);
  EXPECT_EQ(set.own, 5) << e2e::shell_request("trace 2\n");
  EXPECT_EQ(set.foreign, 0);
  EXPECT_EQ(occurrences(e2e::shell_request("trace 1\n"), "NAK sent"), 0);
  EXPECT_EQ(log.count("line on " + m1->path + " returns what is written: set MOD_MEVRAKT_PROT1_ECHO=1", LOG_WARNING), 1)
      << log.dump();
  EXPECT_EQ(value(1, "mevrakt_commands_failed_total"), 3);
  EXPECT_EQ(daemon->stop(SIGTERM, 5000ms), 0);
}

// A meter that answered one read after a WAIT of 8 s, and keeps its ENQ
// going while it works, which draws resends it ignores: that WAIT counted
// as its answering time, so when the next read's client was replaced, the
// new client's command waited 8 s for the meter to be free of the resend.
// Now it waits for the meter's own answering time.
TEST_F(MeterTimingTest, AWaitIsNoMeasureOfTheMetersAnsweringTime)
{
  start({"--turnaround", "450", "--enq-while-busy", "--fault", "wait@1:8000"});
  head_end waited(1);
  waited.send_command();
  waited.frame(12000ms);
  ASSERT_EQ(waited.own, 1) << e2e::shell_request("trace 1\n");
  head_end first(2);
  first.send_command();
  ASSERT_TRUE(traced(1, "command written code 14 send 2 of 7")) << e2e::shell_request("trace 1\n");
  head_end second(3);
  const auto sent = std::chrono::steady_clock::now();
  second.send_command();
  second.frame(12000ms);
  const long long ms = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - sent).count();
  printf("after a read answered behind an 8 s WAIT, a takeover's read took %lld ms\n", ms);
  EXPECT_EQ(second.own, 1);
  EXPECT_EQ(first.own + first.foreign + second.foreign, 0);
  EXPECT_LT(ms, 4000) << e2e::shell_request("trace 1\n");
  EXPECT_EQ(daemon->stop(SIGTERM, 5000ms), 0);
}

}  // namespace
