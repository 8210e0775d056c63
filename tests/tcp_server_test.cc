// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/socket.h"
#include "tcp_server/tcp_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/loopback.h"
#include "tests/support/process_state.h"
#include "tests/support/stats.h"

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

// The daemon ignores SIGPIPE from its start; so does this binary.
const bool sigpipe_ignored = (testproc::ignore_sigpipe(), true);

using testlog::error_text;
using testnet::client;
using testnet::port_of;

// What the callbacks saw. They run on the server thread; the test waits for
// them under the lock, with deadlines.
struct recorder {
  std::mutex mu;
  std::condition_variable changed;
  int connects = 0;
  int disconnects = 0;
  std::vector<bytes> chunks;
  bool hold = false;     // makes on_connect wait until released
  bool holding = false;  // on_connect is waiting

  bool wait(const std::function<bool()> &done, milliseconds timeout = 5s)
  {
    std::unique_lock<std::mutex> lock(mu);
    return changed.wait_for(lock, timeout, done);
  }

  // Lets a held on_connect return, and waits until it has.
  void release()
  {
    std::unique_lock<std::mutex> lock(mu);
    hold = false;
    changed.notify_all();
    changed.wait_for(lock, 5s, [&] { return !holding; });
  }

  static int on_connect(void *ctx)
  {
    recorder *r = static_cast<recorder *>(ctx);
    std::unique_lock<std::mutex> lock(r->mu);
    r->connects++;
    r->holding = r->hold;
    r->changed.notify_all();
    r->changed.wait_for(lock, 10s, [&] { return !r->hold; });
    r->holding = false;
    r->changed.notify_all();
    return 0;
  }

  static int on_disconnect(void *ctx)
  {
    recorder *r = static_cast<recorder *>(ctx);
    std::lock_guard<std::mutex> lock(r->mu);
    r->disconnects++;
    r->changed.notify_all();
    return 0;
  }

  static int on_data(void *ctx, const uint8_t *data, int length)
  {
    recorder *r = static_cast<recorder *>(ctx);
    std::lock_guard<std::mutex> lock(r->mu);
    r->chunks.emplace_back(data, data + length);
    r->changed.notify_all();
    return 0;
  }
};

class TcpServerTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    testlog::clear();
    descriptors_before_open = testproc::open_fds();
    server = tcp_server_open(0);
    ASSERT_NE(server, nullptr) << testlog::dump();
    tcp_server_callbacks callbacks{recorder::on_connect, &rec, recorder::on_disconnect, &rec,
                                   recorder::on_data,    &rec};
    tcp_server_set_callbacks(server, &callbacks);
    port = port_of(server->fd_listen);
  }

  void TearDown() override
  {
    rec.release();
    tcp_server_close(server);
  }

  // A field of the recorder, read under its lock.
  template <class T>
  T seen(T recorder::*field)
  {
    std::lock_guard<std::mutex> lock(rec.mu);
    return rec.*field;
  }
  bool wait_connects(int n) { return rec.wait([&] { return rec.connects >= n; }); }
  bool wait_chunks(size_t n) { return rec.wait([&] { return rec.chunks.size() >= n; }); }

  // One server pass after everything queued so far: the pipe is served last
  // in a pass, and without a client its data is dropped with a warning.
  bool server_caught_up()
  {
    int before = testlog::count("tcp_server_pipe_exec - socket closed, data lost", LOG_WARNING);
    const uint8_t probe = 0;
    return tcp_server_write(server, &probe, 1) == 1 &&
           testlog::wait_for("tcp_server_pipe_exec - socket closed, data lost", LOG_WARNING, before + 1);
  }

  const std::string accept_emfile = error_text("tcp_server_socket_open - accept error: ", EMFILE);
  recorder rec;
  int descriptors_before_open = 0;
  tcp_server *server = nullptr;
  uint16_t port = 0;
};

TEST_F(TcpServerTest, EachChunkGoesToTheDataCallbackAsReceived)
{
  client amr(port);
  ASSERT_TRUE(wait_connects(1));
  EXPECT_EQ(stats_of(server).n_sessions, 1u);
  EXPECT_TRUE(stats_of(server).client_connected);

  bytes frame(100);
  for (size_t i = 0; i < frame.size(); i++)
    frame[i] = static_cast<uint8_t>(i);
  amr.send_bytes(frame);
  ASSERT_TRUE(wait_chunks(1));
  EXPECT_EQ(seen(&recorder::chunks), std::vector<bytes>{frame});
}

TEST_F(TcpServerTest, ClientLeavingGivesOneDisconnect)
{
  client amr(port);
  ASSERT_TRUE(wait_connects(1));
  amr.close_now();
  ASSERT_TRUE(rec.wait([&] { return rec.disconnects >= 1; }));
  EXPECT_FALSE(stats_of(server).client_connected);
  ASSERT_TRUE(server_caught_up());
  EXPECT_EQ(seen(&recorder::disconnects), 1);
  EXPECT_EQ(seen(&recorder::connects), 1);
}

TEST_F(TcpServerTest, NewerClientReplacesAndClosesTheServedOne)
{
  client first(port);
  ASSERT_TRUE(wait_connects(1));
  client second(port);
  ASSERT_TRUE(wait_connects(2));
  EXPECT_EQ(stats_of(server).n_sessions, 2u);
  EXPECT_TRUE(first.sees_eof());

  second.send_bytes({1, 2, 3});
  ASSERT_TRUE(wait_chunks(1));
  EXPECT_EQ(seen(&recorder::chunks), std::vector<bytes>{bytes({1, 2, 3})});
  EXPECT_EQ(seen(&recorder::disconnects), 0);
}

TEST_F(TcpServerTest, QueuedDataReachesTheClientInOrder)
{
  client amr(port);
  ASSERT_TRUE(wait_connects(1));
  bytes expected;
  for (int r = 0; r < 10; r++) {
    bytes response(258, static_cast<uint8_t>(r));
    response[0] = static_cast<uint8_t>(r * 7);
    EXPECT_EQ(tcp_server_write(server, response.data(), 258), 258);
    expected.insert(expected.end(), response.begin(), response.end());
  }
  EXPECT_EQ(amr.read(expected.size()), expected);
}

TEST_F(TcpServerTest, DataWithoutClientIsDropped)
{
  const uint8_t early[] = {9, 9, 9};
  EXPECT_EQ(tcp_server_write(server, early, 3), 3);
  ASSERT_TRUE(testlog::wait_for("tcp_server_pipe_exec - socket closed, data lost", LOG_WARNING))
      << testlog::dump();

  client amr(port);
  ASSERT_TRUE(wait_connects(1));
  const uint8_t late[] = {1, 2};
  EXPECT_EQ(tcp_server_write(server, late, 2), 2);
  EXPECT_EQ(amr.read(2), bytes({1, 2}));
}

// The server is held in the connect callback while the client resets, so
// that its next pass finds both the reset socket and queued data at once.
TEST_F(TcpServerTest, ResetClientFailsTheSendAndServerGoesOn)
{
  rec.hold = true;
  client amr(port);
  ASSERT_TRUE(rec.wait([&] { return rec.holding; }));
  const uint8_t response[] = {0xAA, 0xBB};
  EXPECT_EQ(tcp_server_write(server, response, 2), 2);
  amr.reset();
  pollfd p{server->fd_client.load(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  ASSERT_NE(p.revents & (POLLERR | POLLHUP), 0);
  rec.release();

  EXPECT_TRUE(testlog::wait_for(error_text("tcp_server_socket_exec - socket recv error: ", ECONNRESET), LOG_ERR));
  EXPECT_TRUE(testlog::wait_for(error_text("tcp_server_pipe_exec - socket send error: ", EPIPE), LOG_ERR));
  // The reset is reported once; the end of stream after it frees the slot.
  ASSERT_TRUE(rec.wait([&] { return rec.disconnects == 1; })) << testlog::dump();
  EXPECT_FALSE(stats_of(server).client_connected);

  client next(port);
  ASSERT_TRUE(wait_connects(2));
  next.send_bytes({5});
  EXPECT_TRUE(wait_chunks(1));
  EXPECT_EQ(tcp_server_write(server, response, 2), 2);
  EXPECT_EQ(next.read(2), bytes(response, response + 2));
}

// A connection whose descriptor select cannot watch is turned away, and the
// client being served stays served.
TEST_F(TcpServerTest, ConnectionBeyondTheSelectSetIsRefused)
{
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur <= FD_SETSIZE)
    GTEST_SKIP() << "needs descriptors beyond " << FD_SETSIZE;

  client served(port);
  ASSERT_TRUE(wait_connects(1));
  const int served_fd = server->fd_client.load();
  client refused;
  {
    testproc::descriptors_filled taken(RLIM_INFINITY);
    ASSERT_TRUE(refused.connect_to(port));
    ASSERT_TRUE(testlog::wait_for(accept_emfile, LOG_ERR)) << testlog::dump();
  }

  EXPECT_TRUE(refused.sees_eof());
  EXPECT_EQ(server->fd_client.load(), served_fd);
  EXPECT_EQ(stats_of(server).n_sessions, 1u);
  served.send_bytes({7});
  ASSERT_TRUE(wait_chunks(1));
  EXPECT_EQ(seen(&recorder::connects), 1);
}

// A failed accept brings no one, and the served client stays served: its
// data still comes, nothing reports it gone. The waiting connection is taken
// once descriptors are free again, and then replaces it as a newer client.
TEST_F(TcpServerTest, FailedAcceptKeepsTheServedClient)
{
  client served(port);
  ASSERT_TRUE(wait_connects(1));
  const int served_fd = server->fd_client.load();
  client waiting;
  {
    testproc::descriptors_filled taken(FD_SETSIZE);
    ASSERT_TRUE(waiting.connect_to(port));
    ASSERT_TRUE(testlog::wait_for(accept_emfile, LOG_ERR)) << testlog::dump();
    EXPECT_EQ(server->fd_client.load(), served_fd);
    served.send_bytes({7});
    ASSERT_TRUE(wait_chunks(1));
    const uint8_t response[] = {1, 2, 3};
    ASSERT_EQ(tcp_server_write(server, response, 3), 3);
    EXPECT_EQ(served.read(3), bytes(response, response + 3));
  }
  ASSERT_TRUE(wait_connects(2));
  EXPECT_TRUE(served.sees_eof());
  EXPECT_EQ(stats_of(server).n_sessions, 2u);
  EXPECT_EQ(seen(&recorder::disconnects), 0);
  waiting.send_bytes({8});
  EXPECT_TRUE(wait_chunks(2));
}

TEST_F(TcpServerTest, ThousandSessionsLeaveNoDescriptorBehind)
{
  const int before = testproc::open_fds();
  for (int i = 1; i <= 1000; i++) {
    client amr(port);
    ASSERT_TRUE(wait_connects(i)) << "session " << i;
  }
  ASSERT_TRUE(rec.wait([&] { return !stats_of(server).client_connected; }));
  EXPECT_EQ(stats_of(server).n_sessions, 1000u);
  EXPECT_EQ(testproc::open_fds(), before);
  EXPECT_EQ(testlog::count_prefix("close socket error"), 0);
}

// A client that stops reading cannot hold up the server: once its socket
// cannot take what is queued for it at once, it is dropped as gone (one log
// line, the disconnect callback) and a newer client is served. A close with a
// client and data queued still releases everything.
TEST_F(TcpServerTest, ClientThatStopsReadingIsDroppedAndTheNextServed)
{
  client stuck(port);
  ASSERT_TRUE(wait_connects(1));
  bytes chunk(1000, 0x55);
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (stats_of(server).client_connected && std::chrono::steady_clock::now() < deadline) {
    pollfd p{server->fd_pipe[1], POLLOUT, 0};
    if (poll(&p, 1, 100) == 1) {
      ASSERT_EQ(tcp_server_write(server, chunk.data(), int(chunk.size())), int(chunk.size()));
    }
  }
  ASSERT_TRUE(rec.wait([&] { return rec.disconnects == 1; })) << testlog::dump();
  EXPECT_FALSE(stats_of(server).client_connected);
  EXPECT_EQ(testlog::count(error_text("tcp_server_pipe_exec - socket send error: ", EAGAIN), LOG_ERR), 1);
  // What was still queued for the dropped client goes nowhere.
  EXPECT_TRUE(testproc::eventually([&] {
    int queued = 1;
    return ioctl(server->fd_pipe[0], FIONREAD, &queued) == 0 && queued == 0;
  }));

  client next(port);
  ASSERT_TRUE(wait_connects(2));
  const uint8_t response[] = {1, 2, 3};
  ASSERT_EQ(tcp_server_write(server, response, 3), 3);
  EXPECT_EQ(next.read(3), bytes(response, response + 3));
  for (int i = 0; i < 20; i++)
    tcp_server_write(server, chunk.data(), int(chunk.size()));
  tcp_server_close(server);
  server = nullptr;
  stuck.close_now();
  next.close_now();
  EXPECT_EQ(testproc::open_fds(), descriptors_before_open);
  // Said so within the server's log limit.
  for (const testlog::line &line : testlog::lines())
    EXPECT_TRUE(line.text.compare(0, 7, "client ") == 0 ||
                line.text == "tcp_server_pipe_exec - socket closed, data lost" ||
                line.text == error_text("tcp_server_pipe_exec - socket send error: ", EAGAIN) ||
                line.text.find(" messages suppressed on TCP port ") != std::string::npos)
        << line.text;
}

// IPv4-mapped entries in the allowed list stand for the IPv4 address or
// network they map (a /104 mapped prefix is a /8); one with a prefix shorter
// than the mapped block names no IPv4 network and is not a list at all.
TEST(TcpServer, MappedAllowEntriesMatchTheIPv4HostsTheyName)
{
  testlog::clear();
  tcp_server_policy policy{};
  ASSERT_TRUE(address_list_parse("::ffff:127.0.0.2, ::ffff:127.1.0.0/112", &policy.allow));
  tcp_server *server = tcp_server_open(0, &policy);
  ASSERT_NE(server, nullptr) << testlog::dump();
  const uint16_t port = port_of(server->fd_listen);
  for (const char *host : {"127.0.0.2", "127.1.2.3", "127.0.0.3"}) {
    const uint32_t sessions = stats_of(server).n_sessions;
    const uint32_t refused = stats_of(server).n_refused;
    const int fd = testnet::loopback_connect_from(host, "127.0.0.1", port);
    ASSERT_GE(fd, 0) << host;
    EXPECT_TRUE(testproc::eventually([&] { return server->n_sessions + server->n_refused > sessions + refused; }));
    const bool allowed = strcmp(host, "127.0.0.3") != 0;
    EXPECT_EQ(stats_of(server).n_sessions, sessions + (allowed ? 1 : 0)) << host;
    close(fd);
  }
  EXPECT_EQ(testlog::count_prefix("client 127.0.0.3:"), 1) << testlog::dump();
  tcp_server_close(server);

  address_list list;
  ASSERT_TRUE(address_list_parse("::ffff:10.0.0.0/104 ::ffff:0:0/96", &list));
  EXPECT_EQ(list.nets[0].family, AF_INET);
  EXPECT_EQ(list.nets[0].bits, 8);
  EXPECT_EQ(list.nets[1].family, AF_INET);
  EXPECT_EQ(list.nets[1].bits, 0);
  for (const char *text : {"::ffff:0:0/95", "::ffff:127.0.0.1/0", "::ffff:10.0.0.0/129"})
    EXPECT_FALSE(address_list_parse(text, &list)) << text;
  EXPECT_TRUE(address_list_parse("::/80 ::ffff:0:0/96", &list)) << "a native IPv6 network of that size is fine";
  EXPECT_EQ(list.nets[0].family, AF_INET6);
}

TEST(TcpServer, TakenPortFailsToOpen)
{
  testlog::clear();
  tcp_server *first = tcp_server_open(0);
  ASSERT_NE(first, nullptr);
  const int before = testproc::open_fds();
  EXPECT_EQ(tcp_server_open(port_of(first->fd_listen)), nullptr);
  EXPECT_EQ(testlog::count(error_text("bind socket error: ", EADDRINUSE), LOG_ERR), 1) << testlog::dump();
  EXPECT_EQ(testlog::lines().size(), 1u) << testlog::dump();
  EXPECT_EQ(testproc::open_fds(), before);
  tcp_server_close(first);
}

TEST(TcpServer, PortAboveRangeListensOnItsLowBits)
{
  int probe = socket_tcp_listen(0);
  ASSERT_GE(probe, 0);
  const uint16_t free_port = port_of(probe);
  close(probe);

  tcp_server *server = tcp_server_open(65536u + free_port);
  ASSERT_NE(server, nullptr) << testlog::dump();
  EXPECT_EQ(server->port, 65536u + free_port);
  EXPECT_EQ(port_of(server->fd_listen), free_port);
  tcp_server_close(server);
}

TEST(TcpServer, AbsentArgumentsAreIgnoredSilently)
{
  testlog::clear();
  const uint8_t data[] = {1};
  EXPECT_EQ(tcp_server_write(nullptr, data, 1), -1);
  tcp_server_close(nullptr);
  tcp_server_callbacks callbacks{};
  tcp_server_set_callbacks(nullptr, &callbacks);

  tcp_server *server = tcp_server_open(0);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(tcp_server_write(server, data, -1), -1);
  tcp_server_set_callbacks(server, nullptr);
  tcp_server_close(server);
  EXPECT_EQ(testlog::lines().size(), 0u) << testlog::dump();
}

TEST(SocketClose, FailureIsLogged)
{
  testlog::clear();
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  socket_close(fd);
  EXPECT_EQ(testlog::lines().size(), 0u);
  socket_close(fd);
  EXPECT_EQ(testlog::count(error_text("close socket error: ", EBADF), LOG_ERR), 1) << testlog::dump();
}

}  // namespace
