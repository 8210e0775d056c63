// SPDX-License-Identifier: MIT
// mevrakt-bench-client: the AMR side of the gateway benchmark.
//
// Usage: mevrakt-bench-client [--count N] [--gap-ms G] [--hold-ms H] PORT
//   Connects once to 127.0.0.1:PORT and makes N reads over that one
//   connection: sends a 66-byte command (code 14) and waits for the 258-byte
//   response, then pauses G ms before the next command. Prints each round
//   trip in ms, from the send to the read that completed the response, one
//   per line; after the last read it keeps the connection H ms before
//   closing it. Exit status 0 when every read got a good frame.
//
// Why not mevrakt-read's gateway mode: that sends each command the moment
// the last response is in, when the meter has not yet sent the ENQ that
// follows its ACK, so every read would also time the meter's ENQ period.
// With a pause longer than that period, each command meets an ENQ the
// gateway has just seen and goes out at once: what is left is the gateway.
#include <cstdio>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/tool_util.h"

namespace {

const char *const PROG = "mevrakt-bench-client";
constexpr int64_t MS = 1000000;
constexpr int64_t READ_DEADLINE_NS = 5000 * MS;

const char USAGE[] = "usage: mevrakt-bench-client [--count N] [--gap-ms G] [--hold-ms H] PORT\n";

void pause_ms(uint64_t ms)
{
  struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * MS)};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

int connect_port(uint16_t port)
{
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    perror(PROG);
    if (fd >= 0)
      close(fd);
    return -1;
  }
  // As an AMR head-end should: a frame is small and waiting for more only
  // delays it.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// One read; returns the round trip in ns, or -1 on a time-out, a closed
// connection or a bad frame.
int64_t read_once(int fd, const uint8_t *cmd)
{
  const int64_t start = clock_now_ns();
  const int64_t deadline = start + READ_DEADLINE_NS;
  if (!tool_write_all(fd, cmd, NBR14522_CMD_SIZE, deadline))
    return -1;
  uint8_t rsp[NBR14522_RSP_SIZE];
  size_t got = 0;
  while (got < NBR14522_RSP_SIZE) {
    if (tool_wait_fd(fd, POLLIN, deadline) <= 0)
      return -1;
    ssize_t n = read(fd, rsp + got, NBR14522_RSP_SIZE - got);
    if (n <= 0)
      return -1;
    got += static_cast<size_t>(n);
  }
  const int64_t end = clock_now_ns();
  return nbr14522_frame_ok(rsp, NBR14522_RSP_SIZE) && rsp[0] == cmd[0] ? end - start : -1;
}

}  // namespace

int main(int argc, char **argv)
{
  uint64_t count = 1, gap_ms = 0, hold_ms = 0, port = 0;
  int i = 1;
  for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
    uint64_t *value = strcmp(argv[i], "--count") == 0    ? &count
                      : strcmp(argv[i], "--gap-ms") == 0  ? &gap_ms
                      : strcmp(argv[i], "--hold-ms") == 0 ? &hold_ms
                                                           : nullptr;
    if (!value || !tool_parse_uint(argv[i + 1], 0, 100000000, value))
      return tool_bad_usage(PROG, USAGE, "bad option '%s %s'", argv[i], argv[i + 1]);
  }
  if (i + 1 != argc || !tool_parse_uint(argv[i], 1, 65535, &port))
    return tool_bad_usage(PROG, USAGE, "give one PORT, 1 to 65535");

  uint8_t cmd[NBR14522_CMD_SIZE] = {0x14};
  nbr14522_frame_seal(cmd, NBR14522_CMD_SIZE);
  int fd = connect_port(static_cast<uint16_t>(port));
  if (fd < 0)
    return 1;
  uint64_t failed = 0;
  for (uint64_t n = 0; n < count; n++) {
    if (n > 0)
      pause_ms(gap_ms);
    int64_t rtt = read_once(fd, cmd);
    if (rtt < 0) {
      // The connection's state is unknown now: the next response could be
      // this one's. Stop rather than time the wrong thing.
      fprintf(stderr, "%s: read %llu failed\n", PROG, static_cast<unsigned long long>(n + 1));
      failed = count - n;
      break;
    }
    printf("%.3f\n", static_cast<double>(rtt) / MS);
    fflush(stdout);
  }
  pause_ms(hold_ms);
  close(fd);
  fprintf(stderr, "reads=%llu ok=%llu failed=%llu\n", static_cast<unsigned long long>(count),
          static_cast<unsigned long long>(count - failed), static_cast<unsigned long long>(failed));
  return failed ? 1 : 0;
}
