// SPDX-License-Identifier: MIT
// mevrakt-read: reads a meter the way an AMR head-end does, for technicians
// and for scripts and benchmarks.
//
// Usage: mevrakt-read [options] HOST:PORT
//        mevrakt-read [options] --serial DEVICE
//   Builds a 66-byte command (code, payload, zeros, CRC in bytes 64-65). A
//   composed command's answer (codes 26, 27, 52) is read in all its frames,
//   up to the one marked last in byte 5.
//   Gateway mode (HOST:PORT): sends it over TCP and waits for the 258-byte
//   response; the gateway does the line protocol. Protocol mode (--serial,
//   or --pace with HOST:PORT through a transparent relay): the reader waits
//   for ENQ itself, sends the command, checks the response's CRC and answers
//   ACK, or NAK to have it resent; it resends the command on NAK, ENQ or
//   silence, at most 7 tries (command sends and NAKs) per read.
//   Every read has a deadline (--timeout), connecting too.
//
//   --code HEX      command code (default 14)
//   --payload HEX   bytes after the code, up to 63
//   --timeout MS    deadline of each read and of connecting (default 5000)
//   --count N       N reads; prints each round trip and a summary
//   --serial DEV    protocol mode on a serial line (raw 9600 8N1)
//   --pace          protocol mode over TCP
//   --raw           write the response bytes instead of a hex dump
//   --csv           round-trip times only, one number (ms) per line
//   --quiet         print only the summary
//   --progress      progress line on stderr every second
//
// The round trip runs from the first send of the command to the last byte
// of the good response. The summary (key=value) goes to stdout, or to
// stderr when stdout carries --raw bytes or --csv numbers. Exit status: 0
// when every read succeeded, 1 when one failed, 2 on bad arguments.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "serial/serial.h"
#include "tools/tool_util.h"

namespace {

const char *const PROG = "mevrakt-read";
constexpr int64_t MS = 1000000;
constexpr int MAX_TRIES = 7;
// Protocol mode: how long the meter may take to start a response, and the
// longest pause inside one. Looser than a gateway's own timers, since the
// bytes may come through a relay and a network.
constexpr int64_t FIRST_BYTE_NS = 1000 * MS;
constexpr int64_t GAP_NS = 100 * MS;
// A composed command's answer comes in several frames; a meter sends at most
// this many here.
constexpr int MAX_FRAMES = 16;

const char USAGE[] =
    "usage: mevrakt-read [--code HEX] [--payload HEX] [--timeout MS] [--count N]\n"
    "                    [--pace] [--raw | --csv] [--quiet] [--progress] HOST:PORT\n"
    "       mevrakt-read [options] --serial DEVICE\n";

const char HELP[] =
    "\n"
    "Sends one NBR 14522 command (66 bytes: code, payload, zeros, CRC) and\n"
    "prints the 258-byte response as a hex dump, after checking its CRC; the\n"
    "answer to a composed command (26, 27, 52) in all its frames.\n"
    "HOST:PORT is a gateway's TCP port: it does the line protocol. With --serial,\n"
    "or --pace through a transparent TCP relay, the reader speaks the protocol\n"
    "itself: waits for ENQ, sends, ACKs a good response, NAKs a bad one, resends\n"
    "on NAK, ENQ or time-out (at most 7 tries per read).\n"
    "\n"
    "  --code HEX      command code, 00 to FF (default 14)\n"
    "  --payload HEX   up to 63 bytes after the code, e.g. 0a1b2c or 0a:1b:2c\n"
    "  --timeout MS    deadline of each read and of connecting (default 5000)\n"
    "  --count N       N reads; prints each round trip (ms) and a summary\n"
    "  --serial DEV    protocol mode on a serial line (raw 9600 8N1)\n"
    "  --pace          protocol mode over TCP\n"
    "  --raw           write the response bytes instead of a hex dump\n"
    "  --csv           only the round-trip times on stdout, one per line\n"
    "  --quiet         only the summary\n"
    "  --progress      a progress line on stderr every second (default when\n"
    "                  stderr is a terminal and N > 1)\n"
    "  -h, --help      this text\n"
    "  -V, --version   the version\n"
    "\n"
    "A round trip runs from the first send of the command to the last byte of\n"
    "the good response. The summary (key=value lines) goes to stdout, or to\n"
    "stderr with --raw or --csv. Exit status: 0 all reads good, 1 a read failed,\n"
    "2 bad arguments.\n";

struct reader_stats {
  uint64_t ok = 0;
  uint64_t failed = 0;
  uint64_t sends = 0;
  uint64_t acks_sent = 0;
  uint64_t naks_sent = 0;
  uint64_t bad_crc = 0;
  uint64_t timeouts = 0;
  uint64_t naks_received = 0;
  uint64_t waits_received = 0;
  double *rtt_ms = nullptr;  // one per good read, room for --count of them
  size_t rtt_count = 0;
};

struct reader {
  uint8_t cmd[NBR14522_CMD_SIZE] = {};
  const char *device = nullptr;
  char host[256] = "";
  char port[8] = "";
  bool protocol = false;
  bool raw = false;
  bool csv = false;
  bool quiet = false;
  bool progress = false;
  uint64_t count = 1;
  int64_t timeout_ns = 5000 * MS;

  int fd = -1;
  uint8_t rx[1024];
  size_t rx_pos = 0;
  size_t rx_len = 0;
  int64_t rx_at_ns = 0;  // when the last chunk was read
  uint8_t rsp[MAX_FRAMES][NBR14522_RSP_SIZE];
  int frames = 0;  // of the last answer
  double rtt_ms = 0.0;
  char why[160] = "";
  reader_stats stats;
};

enum { RX_TIMEOUT = -1, RX_CLOSED = -2 };

__attribute__((format(printf, 2, 3))) bool failure(reader *rd, const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(rd->why, sizeof rd->why, fmt, ap);
  va_end(ap);
  return false;
}

// Splits HOST:PORT (the host may be a bracketed IPv6 address).
bool parse_target(reader *rd, const char *text)
{
  const char *colon = strrchr(text, ':');
  if (!colon || colon == text)
    return false;
  const char *host = text;
  size_t len = static_cast<size_t>(colon - text);
  if (host[0] == '[') {
    if (len < 3 || host[len - 1] != ']')
      return false;
    host++;
    len -= 2;
  }
  uint64_t port;
  if (len >= sizeof rd->host || !tool_parse_uint(colon + 1, 1, 65535, &port))
    return false;
  memcpy(rd->host, host, len);
  rd->host[len] = '\0';
  snprintf(rd->port, sizeof rd->port, "%u", static_cast<unsigned>(port));
  return true;
}

bool tcp_connect(reader *rd)
{
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo *list = nullptr;
  int rc = getaddrinfo(rd->host, rd->port, &hints, &list);
  if (rc != 0)
    return failure(rd, "cannot resolve %s: %s", rd->host, gai_strerror(rc));
  int64_t deadline = clock_now_ns() + rd->timeout_ns;
  failure(rd, "cannot connect to %s:%s", rd->host, rd->port);
  for (struct addrinfo *ai = list; ai && rd->fd < 0; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0)
      continue;
    int err = 0;
    socklen_t len = sizeof err;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) < 0) {
      err = errno;
      if (err == EINPROGRESS) {
        int ready = tool_wait_fd(fd, POLLOUT, deadline);
        if (ready > 0)
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        else
          err = ready == 0 ? ETIMEDOUT : errno;
      }
    }
    if (err != 0) {
      failure(rd, "cannot connect to %s:%s: %s", rd->host, rd->port, strerror(err));
      close(fd);
      continue;
    }
    // Frames are small and latency is what gets measured.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    rd->fd = fd;
  }
  freeaddrinfo(list);
  return rd->fd >= 0;
}

// Whatever goes wrong opening the line becomes the read's reason.
void say_why(void *context, int, const char *format, va_list args)
{
  reader *rd = static_cast<reader *>(context);
  vsnprintf(rd->why, sizeof rd->why, format, args);
}

bool line_open(reader *rd)
{
  rd->rx_pos = rd->rx_len = 0;
  if (!rd->device)
    return tcp_connect(rd);
  // Opened, and locked, as the gateway opens its lines: a line that a
  // running mevraktd holds is refused, with the daemon's reason.
  const say_sink why = {say_why, rd};
  rd->fd = serial_open(rd->device, 9600, 8, "N", 1, &why);
  return rd->fd >= 0;
}

void line_close(reader *rd)
{
  if (rd->fd >= 0)
    close(rd->fd);
  rd->fd = -1;
}

// Returns the next byte from the line, RX_TIMEOUT when `deadline_ns` passed
// first, or RX_CLOSED when the line closed or failed.
int rx_byte(reader *rd, int64_t deadline_ns)
{
  while (rd->rx_pos == rd->rx_len) {
    int ready = tool_wait_fd(rd->fd, POLLIN, deadline_ns);
    if (ready == 0)
      return RX_TIMEOUT;
    if (ready < 0)
      return RX_CLOSED;
    ssize_t n = read(rd->fd, rd->rx, sizeof rd->rx);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
      return RX_CLOSED;
    if (n > 0) {
      rd->rx_pos = 0;
      rd->rx_len = static_cast<size_t>(n);
      rd->rx_at_ns = clock_now_ns();
    }
  }
  return rd->rx[rd->rx_pos++];
}

// Drops what the line already holds: ENQs queued up while we were busy are
// stale, and only a fresh one says the meter is ready now.
void rx_discard(reader *rd)
{
  rd->rx_pos = rd->rx_len = 0;
  for (int i = 0; i < 64; i++)
    if (read(rd->fd, rd->rx, sizeof rd->rx) <= 0)
      return;
}

bool tx(reader *rd, const uint8_t *data, size_t len, int64_t deadline_ns)
{
  return tool_write_all(rd->fd, data, len, deadline_ns) || failure(rd, "write error: %s", strerror(errno));
}

bool tx_byte(reader *rd, uint8_t byte, int64_t deadline_ns)
{
  return tx(rd, &byte, 1, deadline_ns);
}

// Whether the frame just taken ends the answer, or a composed answer goes on.
bool answer_whole(reader *rd)
{
  return nbr14522_is_last(rd->cmd[0], rd->rsp[rd->frames - 1]) || rd->frames == MAX_FRAMES;
}

// Gateway mode: the gateway does the line protocol; we see frames only, one
// or, for a composed command, several.
bool read_gateway(reader *rd)
{
  rx_discard(rd);  // nothing the gateway sent before our command answers it
  int64_t start = clock_now_ns();
  int64_t deadline = start + rd->timeout_ns;
  if (!tx(rd, rd->cmd, NBR14522_CMD_SIZE, deadline))
    return false;
  rd->stats.sends++;
  rd->frames = 0;
  do {
    uint8_t *frame = rd->rsp[rd->frames++];
    for (size_t i = 0; i < NBR14522_RSP_SIZE; i++) {
      int b = rx_byte(rd, deadline);
      if (b == RX_TIMEOUT) {
        rd->stats.timeouts++;
        return failure(rd, "time-out after %zu of %d bytes of frame %d", i, NBR14522_RSP_SIZE, rd->frames);
      }
      if (b == RX_CLOSED)
        return failure(rd, "connection closed after %zu of %d bytes of frame %d", i, NBR14522_RSP_SIZE, rd->frames);
      frame[i] = static_cast<uint8_t>(b);
    }
    if (!nbr14522_frame_ok(frame, NBR14522_RSP_SIZE)) {
      rd->stats.bad_crc++;
      return failure(rd, "bad frame: response CRC error");
    }
  } while (!answer_whole(rd));
  rd->rtt_ms = static_cast<double>(rd->rx_at_ns - start) / MS;
  return true;
}

// Protocol mode: one command from ENQ to ACK, with retries.
bool read_protocol(reader *rd)
{
  reader_stats &st = rd->stats;
  int64_t deadline = clock_now_ns() + rd->timeout_ns;
  rx_discard(rd);
  for (;;) {
    int b = rx_byte(rd, deadline);
    if (b == RX_TIMEOUT)
      return failure(rd, "no ENQ from the meter");
    if (b == RX_CLOSED)
      return failure(rd, "line closed");
    if (b == NBR14522_ENQ)
      break;
  }

  int tries = 0;
  int64_t start = 0;
  bool send = true;
  size_t len = 0;
  int64_t wait_until = 0;
  rd->frames = 0;
  for (;;) {
    if (send) {
      if (tries == MAX_TRIES)
        return failure(rd, "gave up after %d tries", MAX_TRIES);
      rd->rx_pos = rd->rx_len = 0;
      if (tries++ == 0)
        start = clock_now_ns();
      if (!tx(rd, rd->cmd, NBR14522_CMD_SIZE, deadline))
        return false;
      st.sends++;
      send = false;
      len = 0;
      wait_until = std::min(deadline, clock_now_ns() + FIRST_BYTE_NS);
    }
    int b = rx_byte(rd, wait_until);
    if (b == RX_CLOSED)
      return failure(rd, "line closed");
    if (b == RX_TIMEOUT) {
      st.timeouts++;
      if (clock_now_ns() >= deadline)
        return failure(rd, "time-out with %zu of %d response bytes", len, NBR14522_RSP_SIZE);
      send = true;
      continue;
    }
    if (len == 0 && rd->frames > 0 && nbr14522_is_control(static_cast<uint8_t>(b))) {
      // Between a composed answer's frames: an ENQ asks for our ACK again.
      if (b == NBR14522_ENQ && !tx_byte(rd, NBR14522_ACK, deadline))
        return false;
      st.acks_sent += b == NBR14522_ENQ;
      continue;
    }
    if (len == 0 && nbr14522_is_control(static_cast<uint8_t>(b))) {
      if (b == NBR14522_NAK)
        st.naks_received++;
      if (b == NBR14522_WAIT) {
        st.waits_received++;
        wait_until = deadline;
      }
      // ENQ: the meter is idle again, so it never took the command.
      send = b == NBR14522_NAK || b == NBR14522_ENQ;
      continue;
    }
    rd->rsp[rd->frames][len++] = static_cast<uint8_t>(b);
    wait_until = std::min(deadline, rd->rx_at_ns + GAP_NS);
    if (len < NBR14522_RSP_SIZE)
      continue;
    rd->rtt_ms = static_cast<double>(rd->rx_at_ns - start) / MS;
    if (nbr14522_frame_ok(rd->rsp[rd->frames], NBR14522_RSP_SIZE)) {
      st.acks_sent++;
      rd->frames++;
      if (!tx_byte(rd, NBR14522_ACK, deadline))
        return false;
      if (answer_whole(rd))
        return true;
      // The next frame of a composed answer follows our ACK.
      len = 0;
      wait_until = std::min(deadline, clock_now_ns() + FIRST_BYTE_NS);
      continue;
    }
    st.bad_crc++;
    if (tries == MAX_TRIES)
      return failure(rd, "gave up after %d tries", MAX_TRIES);
    tries++;
    st.naks_sent++;
    if (!tx_byte(rd, NBR14522_NAK, deadline))
      return false;
    len = 0;
    wait_until = std::min(deadline, clock_now_ns() + FIRST_BYTE_NS);
  }
}

void print_dump(const uint8_t *data, size_t len)
{
  for (size_t row = 0; row < len; row += 16) {
    char ascii[17] = {};
    printf("%04zx ", row);
    for (size_t i = row; i < row + 16; i++) {
      if (i < len)
        printf("%s %02x", i == row + 8 ? " " : "", data[i]);
      else
        printf("%s   ", i == row + 8 ? " " : "");
      if (i < len)
        ascii[i - row] = data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '.';
    }
    printf("  |%s|\n", ascii);
  }
}

// Nearest-rank percentile of `n` sorted values.
double percentile(const double *sorted, size_t n, double q)
{
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(n)));
  return sorted[rank > 0 ? rank - 1 : 0];
}

void print_summary(const reader *rd, FILE *to)
{
  const reader_stats &s = rd->stats;
  fprintf(to, "reads=%llu ok=%llu failed=%llu\n", static_cast<unsigned long long>(s.ok + s.failed),
          static_cast<unsigned long long>(s.ok), static_cast<unsigned long long>(s.failed));
  fprintf(to, "sends=%llu bad_crc=%llu timeouts=%llu", static_cast<unsigned long long>(s.sends),
          static_cast<unsigned long long>(s.bad_crc), static_cast<unsigned long long>(s.timeouts));
  if (rd->protocol)
    fprintf(to, " acks_sent=%llu naks_sent=%llu naks_received=%llu waits_received=%llu",
            static_cast<unsigned long long>(s.acks_sent), static_cast<unsigned long long>(s.naks_sent),
            static_cast<unsigned long long>(s.naks_received), static_cast<unsigned long long>(s.waits_received));
  fputc('\n', to);
  if (s.rtt_count > 0) {
    double *v = s.rtt_ms;  // sorted in place: the summary is printed last
    const size_t n = s.rtt_count;
    std::sort(v, v + n);
    double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    fprintf(to, "rtt_ms min=%.3f median=%.3f", v[0], median);
    if (n >= 10)
      fprintf(to, " p90=%.3f", percentile(v, n, 0.90));
    if (n >= 100)
      fprintf(to, " p99=%.3f", percentile(v, n, 0.99));
    fprintf(to, " max=%.3f\n", v[n - 1]);
  }
  fflush(to);
}

void print_progress(const reader *rd, uint64_t done, bool tty)
{
  fprintf(stderr, "%s%s: %llu/%llu reads, %llu failed%s", tty ? "\r" : "", PROG,
          static_cast<unsigned long long>(done), static_cast<unsigned long long>(rd->count),
          static_cast<unsigned long long>(rd->stats.failed), tty ? "\033[K" : "\n");
}

int run(reader *rd)
{
  bool tty = isatty(STDERR_FILENO);
  bool progress = rd->progress || (tty && rd->count > 1);
  int64_t next_progress = clock_now_ns() + 1000 * MS;
  // --count is at most 10^9, which a 32-bit size_t holds.
  rd->stats.rtt_ms = static_cast<double *>(calloc(static_cast<size_t>(rd->count), sizeof(double)));
  if (!rd->stats.rtt_ms) {
    fprintf(stderr, "%s: no memory for %llu round-trip times\n", PROG, static_cast<unsigned long long>(rd->count));
    return 1;
  }
  if (!line_open(rd)) {
    fprintf(stderr, "%s: %s\n", PROG, rd->why);
    return 1;
  }
  for (uint64_t i = 1; i <= rd->count; i++) {
    if (rd->fd < 0 && !line_open(rd)) {
      fprintf(stderr, "%s: %s\n", PROG, rd->why);
      rd->stats.failed += rd->count - i + 1;
      break;
    }
    if (rd->protocol ? read_protocol(rd) : read_gateway(rd)) {
      rd->stats.ok++;
      rd->stats.rtt_ms[rd->stats.rtt_count++] = rd->rtt_ms;
      if (!nbr14522_answers(rd->cmd[0], rd->rsp[0][0]))
        fprintf(stderr, "%s: read %llu: response code %02X does not answer command %02X\n", PROG,
                static_cast<unsigned long long>(i), rd->rsp[0][0], rd->cmd[0]);
      if (rd->csv) {
        printf("%.3f\n", rd->rtt_ms);
      } else if (rd->raw) {
        fwrite(rd->rsp, NBR14522_RSP_SIZE, static_cast<size_t>(rd->frames), stdout);
      } else if (rd->count == 1 && !rd->quiet) {
        for (int f = 0; f < rd->frames; f++) {
          if (rd->frames > 1)
            printf("frame %d of %d\n", f + 1, rd->frames);
          print_dump(rd->rsp[f], NBR14522_RSP_SIZE);
        }
      } else if (!rd->quiet)
        printf("read %llu: %.3f ms\n", static_cast<unsigned long long>(i), rd->rtt_ms);
      fflush(stdout);
    } else {
      rd->stats.failed++;
      fprintf(stderr, "%s: read %llu: %s\n", PROG, static_cast<unsigned long long>(i), rd->why);
      // Whatever still comes for this read would pose as the answer to the
      // next one, and a dropped connection must be made again: start over.
      if (!rd->device)
        line_close(rd);
    }
    if (progress && (clock_now_ns() >= next_progress || i == rd->count)) {
      print_progress(rd, i, tty);
      next_progress = clock_now_ns() + 1000 * MS;
    }
  }
  if (progress && tty)
    fputc('\n', stderr);
  line_close(rd);
  print_summary(rd, rd->raw || rd->csv ? stderr : stdout);
  return rd->stats.failed ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
  static const struct option options[] = {
      {"code", required_argument, nullptr, 'c'},
      {"payload", required_argument, nullptr, 'p'},
      {"timeout", required_argument, nullptr, 't'},
      {"count", required_argument, nullptr, 'n'},
      {"serial", required_argument, nullptr, 's'},
      {"pace", no_argument, nullptr, 'P'},
      {"raw", no_argument, nullptr, 'r'},
      {"csv", no_argument, nullptr, 'C'},
      {"quiet", no_argument, nullptr, 'q'},
      {"progress", no_argument, nullptr, 'g'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  static reader rd;
  rd.cmd[0] = 0x14;
  uint64_t value;
  int n;
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, ":hV", options, nullptr);
    if (c == -1)
      break;
    switch (c) {
    case 'c': {
      // One or two digits: "5" is as good as "05".
      char two[3] = {'0', optarg[0], '\0'};
      const char *hex = strlen(optarg) == 1 ? two : optarg;
      if (tool_parse_hex(hex, rd.cmd, 1) != 1 || strlen(hex) != 2)
        return tool_bad_usage(PROG, USAGE, "--code '%s' is not a hex byte (00 to FF)", optarg);
      break;
    }
    case 'p':
      n = tool_parse_hex(optarg, rd.cmd + 1, NBR14522_CMD_SIZE - 3);
      if (n < 0)
        return tool_bad_usage(PROG, USAGE, "--payload '%s' is not hex bytes, or longer than 63 bytes", optarg);
      break;
    case 't':
      if (!tool_parse_uint(optarg, 1, 3600000, &value))
        return tool_bad_usage(PROG, USAGE, "--timeout '%s' is not a number of ms from 1 to 3600000", optarg);
      rd.timeout_ns = static_cast<int64_t>(value) * MS;
      break;
    case 'n':
      if (!tool_parse_uint(optarg, 1, 1000000000, &rd.count))
        return tool_bad_usage(PROG, USAGE, "--count '%s' is not a number from 1 to 1000000000", optarg);
      break;
    case 's':
      rd.device = optarg;
      rd.protocol = true;
      break;
    case 'P':
      rd.protocol = true;
      break;
    case 'r':
      rd.raw = true;
      break;
    case 'C':
      rd.csv = true;
      break;
    case 'q':
      rd.quiet = true;
      break;
    case 'g':
      rd.progress = true;
      break;
    default:
      return tool_option_end(c, argv, PROG, USAGE, HELP);
    }
  }
  if (rd.raw && rd.csv)
    return tool_bad_usage(PROG, USAGE, "--raw and --csv do not go together");
  int args = argc - optind;
  if (rd.device && args > 0)
    return tool_bad_usage(PROG, USAGE, "--serial takes no HOST:PORT ('%s')", argv[optind]);
  if (!rd.device && args != 1)
    return tool_bad_usage(PROG, USAGE, "%s", args == 0 ? "HOST:PORT missing" : "more than one HOST:PORT given");
  if (!rd.device && !parse_target(&rd, argv[optind]))
    return tool_bad_usage(PROG, USAGE, "'%s' is not HOST:PORT (port 1 to 65535)", argv[optind]);
  nbr14522_frame_seal(rd.cmd, NBR14522_CMD_SIZE);
  signal(SIGPIPE, SIG_IGN);
  return run(&rd);
}
