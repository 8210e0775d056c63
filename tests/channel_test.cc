// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <set>
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
#include "tests/support/stats.h"

using namespace testmeter;
using testproc::eventually;

namespace {

// The daemon ignores SIGPIPE from its start; so does this binary.
const bool sigpipe_ignored = (testproc::ignore_sigpipe(), true);

uint16_t bound_port(int fd)
{
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  return ntohs(addr.sin_port);
}

// A port nobody listens on right now.
uint16_t free_port()
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  uint16_t port = bound_port(fd);
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

bytes receive(int fd, size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000))
{
  bytes out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    struct pollfd p = {fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
      break;
    uint8_t buf[512];
    ssize_t got = recv(fd, buf, n - out.size() < sizeof buf ? n - out.size() : sizeof buf, 0);
    if (got <= 0)
      break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
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

std::string report(const char *amr, const char *meter, unsigned sessions, unsigned connected,
                   unsigned disconnected, unsigned lost, unsigned cmd_ok, unsigned cmd_failed, unsigned rsp_created,
                   unsigned rsp_failed)
{
  char text[1024];
  snprintf(text, sizeof text,
           "Service               : running\n"
           "AMR System            : %s\n"
           "Meter                 : %s\n\n"
           "TCP sessions          : %u\n"
           "Meter connected       : %u\n"
           "Meter disconnected    : %u\n"
           "Meter connection lost : %u\n"
           "Commands OK           : %u\n"
           "Commands failed       : %u\n"
           "Responses OK          : %u\n"
           "Responses failed      : %u\n",
           amr, meter, sessions, connected, disconnected, lost, cmd_ok, cmd_failed, rsp_created, rsp_failed);
  return text;
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
    port = bound_port(channel->server->fd_listen);
  }
  void TearDown() override
  {
    channel_close(channel);
    if (client >= 0)
      close(client);
  }

  std::string on(const char *what) const { return std::string(what) + " on " + meter.path(); }

  pty_meter meter;
  channel_settings cfg{};
  mevrakt_channel *channel = nullptr;
  uint16_t port = 0;
  int client = -1;
};

TEST_F(ChannelTest, ReadsTheMeterForTheAmrClient)
{
  EXPECT_EQ(testlog::count("running on " + meter.path() + ", listening on TCP port " + std::to_string(port),
                           LOG_NOTICE),
            1);
  EXPECT_EQ(status_of(channel), report("disconnected", "disconnected", 0, 0, 0, 0, 0, 0, 0, 0));

  client = testnet::loopback_connect(port);
  ASSERT_GE(client, 0);
  const bytes cmd = make_command(0x14, 0x42);
  ASSERT_EQ(send(client, cmd.data(), cmd.size(), 0), 66);
  ASSERT_TRUE(testlog::wait_for(on("connecting meter"), LOG_NOTICE)) << testlog::dump();
  meter.send({ENQ, ENQ, ENQ});
  ASSERT_EQ(meter.read(66), cmd);
  const bytes good = make_response(0x14, 1);
  meter.reply(good);
  EXPECT_EQ(meter.read(1), bytes{ACK});
  EXPECT_EQ(receive(client, 258), good) << "the response reaches the client byte for byte";

  // A response with a bad CRC is refused on the line and never reaches TCP;
  // it answers nothing, so its command is not counted as answered.
  ASSERT_EQ(send(client, cmd.data(), cmd.size(), 0), 66);
  meter.send_byte(ENQ);
  ASSERT_EQ(meter.read(66), cmd);
  meter.reply(make_response(0x14, 2, false));
  EXPECT_EQ(meter.read(1), bytes{NAK});
  EXPECT_TRUE(receive(client, 1, std::chrono::milliseconds(300)).empty());
  EXPECT_EQ(status_of(channel), report("connected", "connected", 1, 1, 0, 0, 1, 0, 1, 1));

  close(client);
  client = -1;
  ASSERT_TRUE(testlog::wait_for(on("disconnecting meter"), LOG_NOTICE));
  EXPECT_TRUE(eventually([&] { return stats_of(channel->link).break_held; }));
  EXPECT_EQ(status_of(channel), report("disconnected", "disconnected", 1, 1, 1, 0, 1, 0, 1, 1));
}

// Takeovers while a command is at the meter, five in a row: each response
// still answers its own command, so no client ever gets another's; the
// replaced clients get nothing and the last gets its own answer.
TEST_F(ChannelTest, TakeoversKeepEachResponseWithItsClient)
{
  std::vector<int> clients;
  for (uint8_t trial = 0; trial <= 5; trial++) {
    clients.push_back(testnet::loopback_connect(port));
    ASSERT_TRUE(eventually([&] { return stats_of(channel->server).n_sessions == trial + 1u; }));
    const bytes cmd = make_command(static_cast<uint8_t>(0x21 + trial));
    ASSERT_EQ(send(clients.back(), cmd.data(), cmd.size(), 0), 66);
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
  EXPECT_EQ(receive(clients.back(), 258), last);
  for (size_t k = 0; k + 1 < clients.size(); k++)
    EXPECT_TRUE(receive(clients[k], 1, std::chrono::milliseconds(50)).empty()) << "client " << k;
  for (int fd : clients)
    close(fd);
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

bool metric_name(const std::string &name)
{
  return name.size() > 8 && name.compare(0, 8, "mevrakt_") == 0 &&
         name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") == std::string::npos;
}

std::string hex4(const bytes &frame)
{
  char text[16];
  snprintf(text, sizeof text, "%02X %02X %02X %02X", frame[1], frame[2], frame[3], frame[4]);
  return text;
}

// Four reads: a good one, one whose response is NAKed for its CRC and sent
// again, one the meter answers with WAIT first, one whose response does not
// come in time. The trace tells each step in order, with its time; the
// metrics then match the status report, in the exposition format.
TEST_F(ChannelTest, TraceAndMetricsTellWhatHappened)
{
  ASSERT_TRUE(eventually([&] { return stats_of(channel->link).break_held; }));
  client = testnet::loopback_connect(port);
  ASSERT_GE(client, 0);
  sockaddr_in self{};
  socklen_t self_length = sizeof self;
  getsockname(client, reinterpret_cast<sockaddr *>(&self), &self_length);
  const std::string peer = "127.0.0.1:" + std::to_string(ntohs(self.sin_port));
  const bytes cmd = make_command(0x14);
  const bytes good = make_response(0x14), bad = make_response(0x14, 0, false);
  auto answered = [&] {
    meter.reply(good);
    ASSERT_EQ(meter.read(1), bytes{ACK});
    ASSERT_EQ(receive(client, 258), good);
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
    ASSERT_EQ(send(client, cmd.data(), cmd.size(), 0), 66);
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
  close(client);
  client = -1;
  ASSERT_TRUE(eventually([&] { return stats_of(channel->link).break_held; }));

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

  // Every line is a HELP, a TYPE or a sample of the family typed last;
  // counters end in _total; each value is the status report's, read from
  // the link's and the server's snapshots.
  const std::string status = status_of(channel);
  mevrakt_channels both = {{channel, nullptr}, 1765000000};
  std::set<std::string> helped, typed;
  std::map<std::string, std::string> types;
  std::map<std::string, unsigned> one, two;
  std::vector<std::string> buckets;
  std::string current, meter_info, build_info;
  for (const std::string &line : lines_of(answer_of(mevrakt_metrics, &both))) {
    const std::string head = line.substr(0, 7), rest = line.substr(line.size() < 7 ? line.size() : 7);
    const std::string name = rest.substr(0, rest.find(' '));
    const std::string what = name.size() < rest.size() ? rest.substr(name.size() + 1) : "";
    if (head == "# HELP ") {
      EXPECT_TRUE(metric_name(name) && !what.empty()) << line;
      EXPECT_TRUE(helped.insert(name).second) << line;
      EXPECT_EQ(typed.count(name), 0u) << "HELP before TYPE: " << line;
      continue;
    }
    if (head == "# TYPE ") {
      EXPECT_TRUE(helped.count(name) && typed.insert(name).second) << line;
      EXPECT_TRUE(what == "counter" || what == "gauge" || what == "histogram") << line;
      const bool total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
      EXPECT_EQ(total, what == "counter") << line;
      current = name;
      types[name] = what;
      continue;
    }
    const size_t brace = line.find('{'), space = line.rfind(' ');
    const std::string sample = line.substr(0, std::min(brace, space));
    const std::string labels = brace == std::string::npos ? "" : line.substr(brace, space - brace);
    const std::string value = line.substr(space + 1);
    if (types[current] == "histogram") {
      EXPECT_TRUE(sample == current + "_bucket" || sample == current + "_sum" || sample == current + "_count") << line;
      if (sample == current + "_bucket")
        buckets.push_back(value);
      continue;
    }
    EXPECT_EQ(sample, current) << "a sample under its own TYPE: " << line;
    if (sample == "mevrakt_meter_info")
      meter_info = labels;
    else if (sample == "mevrakt_build_info")
      build_info = labels;
    else if (sample == "mevrakt_commands_unanswered_total")
      EXPECT_EQ(labels.compare(0, 21, "{channel=\"1\",reason=\""), 0) << line;
    else if (labels == "{channel=\"1\"}" || labels == "{channel=\"2\"}")
      (labels[10] == '1' ? one : two)[sample] = static_cast<unsigned>(std::stoul(value));
    else if (sample != "mevrakt_start_time_seconds")
      ADD_FAILURE() << "not in the exposition format: " << line;
  }
  EXPECT_EQ(two, (std::map<std::string, unsigned>{{"mevrakt_service_running", 0}}));
  EXPECT_EQ(one.size(), 17u);
  EXPECT_EQ(helped, typed);
  EXPECT_EQ(build_info, std::string("{version=\"") + MEVRAKT_VERSION + "\"}");
  std::string number = hex4(good);
  number.erase(std::remove(number.begin(), number.end(), ' '), number.end());
  EXPECT_EQ(meter_info, "{channel=\"1\",meter=\"" + number + "\"}");
  auto value = [&](const char *name) { return one.count(name) ? one[name] : 99999u; };
  EXPECT_GE(value("mevrakt_last_response_timestamp_seconds"), both.started);
  // Four reads answered, each within the buckets, each bucket holding those below it.
  ASSERT_EQ(buckets.size(), static_cast<size_t>(NBR14522_READ_BUCKETS + 1));
  EXPECT_EQ(buckets.back(), "4");
  EXPECT_TRUE(std::is_sorted(buckets.begin(), buckets.end(),
                             [](const std::string &x, const std::string &y) { return std::stoul(x) < std::stoul(y); }));
  const char *connected[] = {"disconnected", "connected"};
  EXPECT_EQ(value("mevrakt_service_running"), 1u);
  EXPECT_EQ(status, report(connected[value("mevrakt_amr_client_connected") & 1],
                           connected[value("mevrakt_meter_connected") & 1], value("mevrakt_tcp_sessions_total"),
                           value("mevrakt_meter_connections_total"), value("mevrakt_meter_disconnected_total"),
                           value("mevrakt_meter_connection_lost_total"), value("mevrakt_commands_ok_total"),
                           value("mevrakt_commands_failed_total"), value("mevrakt_responses_ok_total"),
                           value("mevrakt_responses_failed_total")));
  EXPECT_EQ(status, report("disconnected", "disconnected", 1, 1, 1, 0, 4, 0, 4, 1));
  EXPECT_EQ(value("mevrakt_break_held"), 1u);
  EXPECT_EQ(value("mevrakt_line_usable"), 1u);
  // In OpenMetrics a counter's family has no _total, and the text ends so.
  const std::string open = answer_of(mevrakt_metrics, &both, "openmetrics");
  EXPECT_NE(open.find("# TYPE mevrakt_commands_ok counter\nmevrakt_commands_ok_total{channel=\"1\"} 4\n"),
            std::string::npos)
      << open;
  EXPECT_EQ(open.compare(open.size() - 6, 6, "# EOF\n"), 0);
  EXPECT_EQ(value("mevrakt_connections_refused_total"), 0u);
  EXPECT_EQ(value("mevrakt_commands_refused_total"), 0u);
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
    const int client = testnet::loopback_connect(bound_port(channel->server->fd_listen));
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
      EXPECT_EQ(user_timeout, seconds * 1000u);
    }
    close(client);
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
  channel_settings cfg = {1, meter.path().c_str(), bound_port(holder)};
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
    int client = testnet::loopback_connect(bound_port(channel->server->fd_listen));
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
        if (send(client, cmd.data(), cmd.size(), MSG_NOSIGNAL) != 66)
          break;
        receive(client, 258, std::chrono::milliseconds(200));
      }
    });
    ASSERT_TRUE(eventually([&] { return answered >= 3 + round; }, std::chrono::milliseconds(10000)));
    channel_close(channel);
    stop = true;
    meter_side.join();
    client_side.join();
    close(client);
  }
  EXPECT_TRUE(testproc::back_to(before));
}

}  // namespace
