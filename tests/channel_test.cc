// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "daemon/channel.h"
#include "daemon/report.h"
#include "mevrakt_version.h"
#include "tests/support/log_capture.h"
#include "tests/support/loopback.h"
#include "tests/support/process_state.h"
#include "tests/support/pty_meter.h"
#include "tests/support/status_report.h"
#include "tests/support/stats.h"

using namespace testmeter;
using testproc::eventually;

namespace {

// The daemon ignores SIGPIPE from its start; so does this binary.
const bool sigpipe_ignored = (testproc::ignore_sigpipe(), true);

using testnet::port_of;

// A port nobody listens on right now.
uint16_t free_port()
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  uint16_t port = port_of(fd);
  close(fd);
  return port;
}

// Whether something else could listen on `port`, i.e. nothing holds it.
bool port_free(uint16_t port)
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  bool ok = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && listen(fd, 1) == 0;
  close(fd);
  return ok;
}

std::string status_of(const mevrakt_channel *channel)
{
  int fds[2];
  if (pipe(fds) < 0)
    return "";
  mevrakt_status(const_cast<mevrakt_channel *>(channel), "", fds[1]);
  close(fds[1]);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0)
    text.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  return text;
}

// What a shell handler answers, read on a thread of its own as a client
// would, so that an answer longer than the socket's buffer still gets out.
std::string answer_of(int (*handler)(void *, const char *, int), void *context, const char *arguments = "")
{
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) < 0)
    return "";
  std::string text;
  std::thread reader([&] {
    char buf[4096];
    ssize_t n;
    while ((n = read(ends[1], buf, sizeof buf)) > 0)
      text.append(buf, static_cast<size_t>(n));
  });
  EXPECT_EQ(handler(context, arguments, ends[0]), 0);
  close(ends[0]);
  reader.join();
  close(ends[1]);
  return text;
}

std::vector<std::string> lines_of(const std::string &text)
{
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    testlog::clear();
    ASSERT_TRUE(meter.ok());
    cfg = {1, meter.path().c_str(), free_port()};
    channel = channel_open(&cfg);
    ASSERT_NE(channel, nullptr) << testlog::dump();
    port = port_of(channel->server->fd_listen);
  }
  void TearDown() override { channel_close(channel); }

  std::string on(const char *what) const { return std::string(what) + " on " + meter.path(); }

  pty_meter meter;
  channel_settings cfg{};
  mevrakt_channel *channel = nullptr;
  uint16_t port = 0;
  testnet::client amr;
};

TEST_F(ChannelTest, ReadsTheMeterForTheAmrClient)
{
  EXPECT_EQ(testlog::count("running on " + meter.path() + ", listening on TCP port " + std::to_string(port),
                           LOG_NOTICE),
            1);
  EXPECT_EQ(status_of(channel), status_report("disconnected", "disconnected", 0, 0, 0, 0, 0, 0, 0, 0));

  ASSERT_TRUE(amr.connect_to(port));
  const bytes cmd = make_command(0x14, 0x42);
  amr.send_bytes(cmd);
  ASSERT_TRUE(testlog::wait_for(on("connecting meter"), LOG_NOTICE)) << testlog::dump();
  meter.send({ENQ, ENQ, ENQ});
  ASSERT_EQ(meter.read(66), cmd);
  const bytes good = make_response(0x14, 1);
  meter.reply(good);
  EXPECT_EQ(meter.read(1), bytes{ACK});
  EXPECT_EQ(amr.read(258), good) << "the response reaches the client byte for byte";

  // A response with a bad CRC is refused on the line and never reaches TCP;
  // it answers nothing, so its command is not counted as answered.
  amr.send_bytes(cmd);
  meter.send_byte(ENQ);
  ASSERT_EQ(meter.read(66), cmd);
  meter.reply(make_response(0x14, 2, false));
  EXPECT_EQ(meter.read(1), bytes{NAK});
  EXPECT_TRUE(amr.read(1, std::chrono::milliseconds(300)).empty());
  EXPECT_EQ(status_of(channel), status_report("connected", "connected", 1, 1, 0, 0, 1, 0, 1, 1));

  amr.close_now();
  ASSERT_TRUE(testlog::wait_for(on("disconnecting meter"), LOG_NOTICE));
  EXPECT_TRUE(eventually([&] { return stats_of(channel->link).break_held; }));
  EXPECT_EQ(status_of(channel), status_report("disconnected", "disconnected", 1, 1, 1, 0, 1, 0, 1, 1));
}

// Takeovers while a command is at the meter, five in a row: each response
// still answers its own command, so no client ever gets another's; the
// replaced clients get nothing and the last gets its own answer.
TEST_F(ChannelTest, TakeoversKeepEachResponseWithItsClient)
{
  std::vector<std::unique_ptr<testnet::client>> clients;
  for (uint8_t trial = 0; trial <= 5; trial++) {
    clients.push_back(std::make_unique<testnet::client>(port));
    ASSERT_TRUE(eventually([&] { return stats_of(channel->server).n_sessions == trial + 1u; }));
    const bytes cmd = make_command(static_cast<uint8_t>(0x21 + trial));
    clients.back()->send_bytes(cmd);
    if (trial == 0) {
      ASSERT_TRUE(testlog::wait_for(on("connecting meter")));
      meter.send({ENQ, ENQ});
    } else {
      // The command at the meter (the replaced client's) is answered now.
      meter.reply(make_response(static_cast<uint8_t>(0x20 + trial)));
      ASSERT_EQ(meter.read(1), bytes{ACK});
    }
    // The new client's command goes out at the next ENQ, however late its
    // bytes reached the link.
    bytes sent;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
         sent.empty() && std::chrono::steady_clock::now() < deadline;) {
      meter.send_byte(ENQ);
      sent = meter.read(66, std::chrono::milliseconds(100));
    }
    ASSERT_EQ(sent, cmd) << "trial " << int(trial);
  }
  const bytes last = make_response(0x26);
  meter.reply(last);
  ASSERT_EQ(meter.read(1), bytes{ACK});
  EXPECT_EQ(clients.back()->read(258), last);
  for (size_t k = 0; k + 1 < clients.size(); k++)
    EXPECT_TRUE(clients[k]->read(1, std::chrono::milliseconds(50)).empty()) << "client " << k;
  clients.clear();
  // The link drops them, or the server when it took the new client before
  // the link heard of it.
  EXPECT_EQ(testlog::count("nbr14522_com_rsp_exec - response for a replaced client dropped") +
                testlog::count("tcp_server_pipe_exec - response for a replaced client dropped"),
            5);
  // The replaced clients' commands left with them: only the last counts as
  // answered, and the five late answers as dropped.
  EXPECT_EQ(stats_of(channel->link).n_cmd_ok, 1u);
  EXPECT_EQ(stats_of(channel->link).n_rsp_dropped, 5u);
}

// Whether `text` has the shape of `pattern`, in which '#' stands for a digit.
bool shaped(const std::string &text, const std::string &pattern)
{
  if (text.size() != pattern.size())
    return false;
  for (size_t i = 0; i < text.size(); i++) {
    if (pattern[i] == '#' ? !isdigit(static_cast<unsigned char>(text[i])) : text[i] != pattern[i])
      return false;
  }
  return true;
}

std::string hex4(const bytes &frame)
{
  char text[16];
  snprintf(text, sizeof text, "%02X %02X %02X %02X", frame[1], frame[2], frame[3], frame[4]);
  return text;
}

// The values of the samples in `metrics` whose labels are exactly `labels`,
// by name. The text's format is for the real parsers to judge (service_test).
std::map<std::string, unsigned long> samples(const std::string &metrics, const std::string &labels)
{
  std::map<std::string, unsigned long> found;
  for (const std::string &line : lines_of(metrics)) {
    const size_t at = line.find('{');
    if (line[0] != '#' && at != std::string::npos && line.compare(at, labels.size() + 1, labels + " ") == 0)
      found[line.substr(0, at)] = std::stoul(line.substr(at + labels.size() + 1));
  }
  return found;
}

// Four reads, and then the AMR client leaves: a good one, one whose response
// is NAKed for its CRC and sent again, one the meter answers with WAIT first,
// one whose response does not come in time. The tests read what the trace
// and the metrics tell of it.
class FourReadsTest : public ChannelTest {
 protected:
  void SetUp() override
  {
    ChannelTest::SetUp();
    if (!HasFatalFailure())
      four_reads();
  }

  void four_reads()
  {
    ASSERT_TRUE(eventually([&] { return stats_of(channel->link).break_held; }));
    ASSERT_TRUE(amr.connect_to(port));
    peer = "127.0.0.1:" + std::to_string(port_of(amr.fd()));
    const bytes cmd = make_command(0x14);
    const bytes bad = make_response(0x14, 0, false);
    auto answered = [&] {
      meter.reply(good);
      ASSERT_EQ(meter.read(1), bytes{ACK});
      ASSERT_EQ(amr.read(258), good);
    };
    // The ENQ that sends a command must come once the link has it.
    auto taken = [&](uint64_t from) {
      return eventually([&] {
        trace_record r;
        for (uint64_t t = from; t < trace_end(&channel->trace); t++) {
          if (trace_get(&channel->trace, t, &r) && r.kind == NBR14522_TRACE_CMD_RECEIVED)
            return true;
        }
        return false;
      });
    };
    auto command = [&](bool first) {
      const uint64_t from = trace_end(&channel->trace);
      amr.send_bytes(cmd);
      ASSERT_TRUE(taken(from));
      meter.send(first ? bytes{ENQ, ENQ, ENQ} : bytes{ENQ});
      ASSERT_EQ(meter.read(66), cmd);
    };
    command(true);
    answered();
    command(false);
    meter.reply(bad);
    ASSERT_EQ(meter.read(1), bytes{NAK});
    answered();
    command(false);
    meter.reply_byte(WAIT);
    ASSERT_TRUE(testlog::wait_for(on("WAIT received"), LOG_NOTICE));
    meter.send_byte(ENQ);
    ASSERT_EQ(meter.read(66), cmd);
    answered();
    command(false);
    ASSERT_EQ(meter.read(66, milliseconds(2000)), cmd) << "sent again once the response is late";
    answered();
    amr.close_now();
    ASSERT_TRUE(eventually([&] { return stats_of(channel->link).break_held; }));
  }

  std::string metrics(const char *arguments = "")
  {
    mevrakt_channels both = {{channel, nullptr}, started};
    return answer_of(mevrakt_metrics, &both, arguments);
  }

  const bytes good = make_response(0x14);
  std::string peer;  // the AMR client's address, as the trace names it
  const int64_t started = 1765000000;
};

// Catches a trace that leaves out a step, tells one out of order, or loses
// its time stamps.
TEST_F(FourReadsTest, TraceTellsEachStepInOrderWithItsTime)
{
  const std::string sent = "command written code 14 send ";
  const std::string received = "command received code 14 length 66 crc good";
  const std::string complete = "response complete code 14 meter " + hex4(good) + " crc ";
  const std::vector<std::string> expected = {
      "break held", "client accepted " + peer + " session 1", received, "break released", "meter connected",
      "ENQ x3", sent + "1 of 7", "response started code 14", complete + "good", "ACK sent",
      // NAKed
      received, "ENQ", sent + "1 of 7", "response started code 14", complete + "bad", "NAK sent",
      "response started code 14", complete + "good", "ACK sent",
      // WAIT
      received, "ENQ", sent + "1 of 7", "WAIT received", "ENQ", sent + "2 of 7", "response started code 14",
      complete + "good", "ACK sent",
      // late
      received, "ENQ", sent + "1 of 7", "response time-out after 0 bytes", sent + "2 of 7",
      "response started code 14", complete + "good", "ACK sent",
      "client gone " + peer + " session 1 (closed by the client)", "break held"};
  const std::string stamp = "####-##-## ##:##:##.### ", run = "ENQ x3 every ", last = " ms, last at ##:##:##.###";
  std::vector<std::string> events;
  std::string previous;
  for (const std::string &line : lines_of(answer_of(mevrakt_trace, channel))) {
    ASSERT_TRUE(shaped(line.substr(0, stamp.size()), stamp)) << line;
    EXPECT_LE(previous, line.substr(0, stamp.size())) << "oldest first";
    previous = line.substr(0, stamp.size());
    const std::string event = line.substr(stamp.size());
    const bool enqs = event.compare(0, run.size(), run) == 0 && event.size() > run.size() + last.size() &&
                      shaped(event.substr(event.size() - last.size()), last);
    events.push_back(enqs ? "ENQ x3" : event);
  }
  EXPECT_EQ(events, expected);
  EXPECT_EQ(answer_of(mevrakt_trace, nullptr), "Service is disabled.\n");
}

// Catches metrics that count otherwise than the status report, or read
// durations whose buckets do not hold every read below them.
TEST_F(FourReadsTest, MetricsCountWhatTheStatusReportCounts)
{
  EXPECT_EQ(status_of(channel), status_report("disconnected", "disconnected", 1, 1, 1, 0, 4, 0, 4, 1));
  const std::string text = metrics();
  std::map<std::string, unsigned long> one = samples(text, "{channel=\"1\"}");
  EXPECT_GE(one["mevrakt_last_response_timestamp_seconds"], static_cast<unsigned long>(started));
  one.erase("mevrakt_last_response_timestamp_seconds");
  one.erase("mevrakt_read_duration_seconds_sum");
  const std::map<std::string, unsigned long> expected = {
      {"mevrakt_service_running", 1},
      {"mevrakt_amr_client_connected", 0},
      {"mevrakt_meter_connected", 0},
      {"mevrakt_break_held", 1},
      {"mevrakt_line_usable", 1},
      {"mevrakt_tcp_sessions_total", 1},
      {"mevrakt_meter_connections_total", 1},
      {"mevrakt_meter_disconnected_total", 1},
      {"mevrakt_meter_connection_lost_total", 0},
      {"mevrakt_commands_ok_total", 4},
      {"mevrakt_commands_failed_total", 0},
      {"mevrakt_responses_ok_total", 4},
      {"mevrakt_responses_dropped_total", 0},
      {"mevrakt_responses_failed_total", 1},
      {"mevrakt_connections_refused_total", 0},
      {"mevrakt_commands_refused_total", 0},
      {"mevrakt_read_duration_seconds_count", 4},
  };
  EXPECT_EQ(one, expected) << text;
  EXPECT_EQ(samples(text, "{channel=\"2\"}"), (std::map<std::string, unsigned long>{{"mevrakt_service_running", 0}}))
      << text;

  // Four reads answered, each within the buckets, each bucket holding those below it.
  std::vector<unsigned long> buckets;
  for (const std::string &line : lines_of(text))
    if (line.compare(0, 49, "mevrakt_read_duration_seconds_bucket{channel=\"1\",") == 0)
      buckets.push_back(std::stoul(line.substr(line.rfind(' ') + 1)));
  ASSERT_EQ(buckets.size(), static_cast<size_t>(NBR14522_READ_BUCKETS + 1)) << text;
  EXPECT_EQ(buckets.back(), 4u);
  EXPECT_TRUE(std::is_sorted(buckets.begin(), buckets.end())) << text;
}

// Catches a build or meter label that names the wrong thing, and an
// OpenMetrics form that names a counter's family as the text format does.
TEST_F(FourReadsTest, InfoLabelsAndTheOpenMetricsForm)
{
  const std::string text = metrics();
  std::string number = hex4(good);
  number.erase(std::remove(number.begin(), number.end(), ' '), number.end());
  EXPECT_NE(text.find("\nmevrakt_build_info{version=\"" MEVRAKT_VERSION "\"} 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nmevrakt_meter_info{channel=\"1\",meter=\"" + number + "\"} 1\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("\nmevrakt_start_time_seconds " + std::to_string(started) + "\n"), std::string::npos) << text;

  const std::string open = metrics("openmetrics");
  EXPECT_NE(open.find("# TYPE mevrakt_commands_ok counter\nmevrakt_commands_ok_total{channel=\"1\"} 4\n"),
            std::string::npos)
      << open;
  EXPECT_EQ(open.compare(open.size() - 6, 6, "# EOF\n"), 0);
}

TEST(ChannelOpen, DisabledChannelAndItsReport)
{
  testlog::clear();
  channel_settings cfg = {0, "/dev/ttyS3", 4001};
  EXPECT_EQ(channel_open(&cfg), nullptr);
  EXPECT_EQ(testlog::count("disabled on /dev/ttyS3", LOG_NOTICE), 1);
  EXPECT_EQ(status_of(nullptr), "Service is disabled.\n\n");
  channel_close(nullptr);
}

// A port the head-end could never reach (0 would be chosen by the system, a
// number above 65535 would wrap) refuses the channel before anything opens.
TEST(ChannelOpen, PortOutOfRangeOpensNothing)
{
  testlog::clear();
  pty_meter meter;
  testproc::footprint before;
  for (uint32_t port : {0u, 65536u, 4294967295u}) {
    channel_settings cfg = {1, meter.path().c_str(), port};
    EXPECT_EQ(channel_open(&cfg), nullptr);
    EXPECT_EQ(testlog::count("mevrakt_open - TCP port " + std::to_string(port) +
                                 " out of range (1 to 65535), channel on " + meter.path() + " not opened",
                             LOG_ERR),
              1);
  }
  // Each with the line that names the channel.
  EXPECT_EQ(testlog::lines().size(), 6u) << testlog::dump();
  EXPECT_TRUE(testproc::back_to(before));
}

// The optional keys: a value that cannot be right refuses the channel with
// one line naming the key and the value, before anything opens.
TEST(ChannelOpen, UnreadableAccessKeysRefuseTheChannel)
{
  testlog::clear();
  pty_meter meter;
  testproc::footprint before;
  const std::pair<const char *, const char *> cases[] = {
      {"ALLOW", "10.0.0.300"},  {"ALLOW", "10.0.0.0/33"},     {"ALLOW", ""},     {"ALLOW", "gateway.example"},
      {"ALLOW", "::1/129"},     {"LISTEN", "0.0.0.0 4001"},   {"LISTEN", "localhost"},
      {"COMMANDS", "14,1G"},    {"COMMANDS", "114"},          {"COMMANDS", ", "},
      {"ALIVE_CHECK", "100"},   {"ALIVE_CHECK", "-1"},         {"ALIVE_CHECK", "7m"},
      {"IDLE_TIMEOUT", "86401"}, {"IDLE_TIMEOUT", "ten"},
  };
  for (const auto &[key, value] : cases) {
    channel_settings cfg = {1, meter.path().c_str(), free_port()};
    cfg.key_prefix = "MOD_MEVRAKT_PROT2_";
    const std::string field = key;
    (field == "ALLOW" ? cfg.allow : field == "LISTEN" ? cfg.listen : field == "COMMANDS" ? cfg.commands
                      : field == "ALIVE_CHECK" ? cfg.alive_check : cfg.idle_timeout) = value;
    EXPECT_EQ(channel_open(&cfg), nullptr) << key << "=" << value;
    EXPECT_EQ(testlog::count("mevrakt_open - bad value for MOD_MEVRAKT_PROT2_" + field + ": \"" + value +
                                 "\", channel on " + meter.path() + " not opened",
                             LOG_ERR),
              1)
        << testlog::dump();
  }
  EXPECT_EQ(testlog::lines().size(), 2 * std::size(cases));  // with the lines naming the channel
  EXPECT_TRUE(testproc::back_to(before));
}

// Without settings of its own, a channel checks that its head-end is still
// there within 7 minutes; ALIVE_CHECK sets that time, and 0 turns it off.
TEST(ChannelOpen, AliveCheckTunesKeepalive)
{
  for (const char *minutes : {static_cast<const char *>(nullptr), "1", "0"}) {
    pty_meter meter;
    channel_settings cfg = {1, meter.path().c_str(), free_port()};
    cfg.alive_check = minutes;
    mevrakt_channel *channel = channel_open(&cfg);
    ASSERT_NE(channel, nullptr);
    testnet::client amr(port_of(channel->server->fd_listen));
    ASSERT_TRUE(eventually([&] { return stats_of(channel->server).client_connected; }));
    const int fd = channel->server->fd_client.load();
    int on = -1, idle = -1, count = -1, interval = -1;
    unsigned user_timeout = 0;
    socklen_t size = sizeof on;
    getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &size);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, &size);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &size);
    getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, &size);
    const int seconds = minutes ? atoi(minutes) * 60 : 420;
    if (seconds == 0) {
      EXPECT_EQ(on, 0);
    } else {
      EXPECT_EQ(on, 1);
      EXPECT_LE(idle + count * interval, seconds);
      EXPECT_GE(idle + count * interval, seconds * 3 / 4);
      EXPECT_EQ(user_timeout, static_cast<unsigned>(seconds) * 1000u);
    }
    channel_close(channel);
  }
}

TEST(ChannelOpen, UnopenableDeviceOpensNoPort)
{
  testlog::clear();
  testproc::footprint before;
  const uint16_t port = free_port();
  channel_settings cfg = {1, "/nonexistent/ttyS4", port};
  EXPECT_EQ(channel_open(&cfg), nullptr);
  EXPECT_EQ(testlog::count("open(/nonexistent/ttyS4) error: No such file or directory", LOG_ERR), 1);
  EXPECT_TRUE(port_free(port));
  EXPECT_TRUE(testproc::back_to(before));
}

TEST(ChannelOpen, TakenPortClosesTheLinkAgain)
{
  testlog::clear();
  pty_meter meter;
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  testproc::footprint before;
  channel_settings cfg = {1, meter.path().c_str(), port_of(holder)};
  EXPECT_EQ(channel_open(&cfg), nullptr);
  EXPECT_EQ(testlog::count("bind socket error: Address already in use", LOG_ERR), 1);
  EXPECT_TRUE(testproc::back_to(before));
  close(holder);
}

// The meter answers every command at once and the client keeps asking, so
// responses are on their way through the channel when it closes. A sanitizer
// build sees any response reaching a freed server.
TEST(ChannelClose, WhileResponsesFlow)
{
  testproc::footprint before;
  for (int round = 0; round < 5; round++) {
    testlog::clear();
    pty_meter meter;
    channel_settings cfg = {1, meter.path().c_str(), free_port()};
    mevrakt_channel *channel = channel_open(&cfg);
    ASSERT_NE(channel, nullptr);
    testnet::client amr(port_of(channel->server->fd_listen));
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::thread meter_side([&] {
      while (!stop) {
        bytes got = meter.read(66, std::chrono::milliseconds(20));
        if (got.size() == 66) {
          meter.reply(make_response(got[0]));
          answered++;
        } else {
          meter.send_byte(ENQ);
        }
      }
    });
    std::thread client_side([&] {
      const bytes cmd = make_command(0x14);
      while (!stop) {
        if (send(amr.fd(), cmd.data(), cmd.size(), MSG_NOSIGNAL) != 66)
          break;
        amr.read(258, std::chrono::milliseconds(200));
      }
    });
    ASSERT_TRUE(eventually([&] { return answered >= 3 + round; }, std::chrono::milliseconds(10000)));
    channel_close(channel);
    stop = true;
    meter_side.join();
    client_side.join();
  }
  EXPECT_TRUE(testproc::back_to(before));
}

}  // namespace
