// SPDX-License-Identifier: MIT
// mevrakt-meter-sim: plays an NBR 14522 meter on a serial line or on a
// pseudo-terminal of its own, with faults on demand, for tests, soaks and
// benchmarks of the gateway. What it takes and what its counters mean: its
// --help (HELP below) and mevrakt-meter-sim(1), which say the same.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "serial/serial.h"
#include "tools/simulated_meter.h"
#include "tools/tool_util.h"

namespace {

const char *const PROG = "mevrakt-meter-sim";
// How often to look whether a reader has opened the pty's slave: a master
// without one reports hang-up at once, so it cannot sit in poll meanwhile.
constexpr int64_t PLUG_CHECK_NS = 50000000;
// A write this late shows the reader a pause in a response that a gateway
// may take for its end.
constexpr int64_t LATE_NS = 40000000;

const char USAGE[] =
    "usage: mevrakt-meter-sim [--enq-ms N] [--line-speed] [--turnaround MS[:MAX]] [--busy MODE]\n"
    "                         [--enq-while-busy] [--composed N] [--chunked B:MS] [--pace MS]\n"
    "                         [--echo] [--meter-id N] [--echo-payload N] [--seed N]\n"
    "                         [--fault FAULT]... [--stats FILE] [--trace] [DEVICE]\n";

const char HELP[] =
    "\n"
    "Plays an NBR 14522 meter on DEVICE (raw 9600 8N1) or, without one, on a new\n"
    "pseudo-terminal. Prints the line's path as the first line on stdout, runs\n"
    "until SIGTERM or SIGINT, then prints its counters (key=value).\n"
    "\n"
    "  --enq-ms N     ENQ period while idle, 1 to 500 ms (default 200)\n"
    "  --line-speed   time the line as 9600 8N1 would, both ways (1.0417 ms a\n"
    "                 byte; a command is heard 68.75 ms after its first byte)\n"
    "  --turnaround MS[:MAX]  pause before answering a command, 0 to 10000 ms\n"
    "                 (default 10); with MAX, each drawn from MS to MAX\n"
    "  --busy MODE    a command heard while answering another: ignore (default);\n"
    "                 answer it after that one, its work done meanwhile; or\n"
    "                 queue it, to work on after that one (every send answered)\n"
    "  --enq-while-busy  keep sending ENQ during the turnaround\n"
    "  --composed N   frames in the answer to codes 26, 27 and 52, 1 to 16\n"
    "                 (default 3); bit 0x10 of byte 5 marks the last\n"
    "  --chunked B:MS hand the line what is due in chunks of at most B bytes,\n"
    "                 MS ms apart (e.g. 8:8.3 for a 16550 FIFO at 9600 baud,\n"
    "                 16:16 for a USB adapter's latency timer)\n"
    "  --pace MS      idle time after each byte sent, 0.1 to 10 ms (e.g. 0.6)\n"
    "  --echo         return every byte the reader writes, as a two-wire RS-485\n"
    "                 adapter that hears itself, or an optical head's window\n"
    "  --meter-id N   meter number in responses, up to 8 digits (default 12345678)\n"
    "  --echo-payload N  copy command bytes 1 to N (up to 63) into the response\n"
    "                 from its byte 128 on; the trace shows them on each response\n"
    "  --seed N       seed of the random faults (default 1)\n"
    "  --fault FAULT  inject a fault; repeat the option for several\n"
    "  --stats FILE   write the counters to FILE instead of stderr\n"
    "  --trace        log every protocol event on stderr\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "\n"
    "FAULT is KIND=PROB (chance per occasion, 0 to 1, drawn from --seed) or\n"
    "KIND@N[,N...] (exactly on the Nth occasions, from 1), then :ARG values:\n"
    "  bad-crc             broken response CRC; occasion: each transmission\n"
    "  nak[:N]             NAK a good command N times (1) before answering it\n"
    "  wait[:MS[:MODE]]    WAIT, pause MS (1000), then MODE answer (default) or\n"
    "                      enq (resume ENQ, dropping the command); per command\n"
    "  silence[:MS]        send no ENQ for MS (700); occasion: each ENQ slot\n"
    "  chunks[:N[:GAP]]    response in N chunks (3), GAP ms apart (2)\n"
    "  stall[:MS]          one gap of MS (20) in the middle of the response\n"
    "  garbage[:N]         N non-control bytes (3) before an ENQ; each ENQ slot\n"
    "  crossed             an ENQ right before the response, in one write\n"
    "  half[:N]            only N bytes (129) of the response, then ENQ again\n"
    "  unsolicited         the last answer again, unasked; each ENQ slot\n"
    "  lose-ack[:MS]       between a composed answer's frames, ignore the ACK\n"
    "                      and send ENQ after MS (100) to ask for it again\n"
    "  repeat-frame[:MS]   between a composed answer's frames, ignore the ACK\n"
    "                      and send the same frame again after MS (100)\n"
    "Faults of one kind add up; the last probability and arguments given count.\n"
    "e.g. --fault bad-crc=0.05 --fault nak@2:3 --fault wait=0.01:2000:enq\n"
    "\n"
    "Counters: enq_sent, commands_good, commands_bad_crc, commands_incomplete\n"
    "(dropped after 100 ms), naks_sent (to commands), waits_sent,\n"
    "responses_sent_good/bad (transmissions, resends included),\n"
    "responses_{good,bad}_{acked,naked}, responses_unanswered (no reply in 1 s,\n"
    "or cut short), responses_given_up (NAKed after 3 resends),\n"
    "garbage_bytes_sent, stray_bytes (stray_acks and stray_naks among them),\n"
    "commands_queued (heard while busy, --busy answer or queue), acks_ignored\n"
    "(lose-ack, repeat-frame), echoed_bytes (--echo), late_writes (response bytes\n"
    "written 40 ms or more late: a busy host held the simulator up),\n"
    "fault_KIND (times injected).\n"
    "\n"
    "Meters met in the field, as options:\n"
    "  works through every command it hears, ENQ going while it works:\n"
    "      --turnaround 400:450 --busy queue --enq-while-busy\n"
    "  paces its bytes:            --line-speed --pace 0.6\n"
    "  a line that echoes:         --echo\n"
    "  sends a frame again when it misses our ACK:  --composed 4 --fault repeat-frame@1\n"
    "  answers a read after a WAIT of 8 s:          --fault wait@1:8000\n"
    "  a short ENQ period:         --enq-ms 22\n";

volatile sig_atomic_t g_stop = 0;

// MS with at most one decimal (8.3), from 0.1 to `max_ms`.
bool parse_tenths(const char *text, uint64_t max_ms, int64_t *ns)
{
  char part[32];
  if (strlen(text) >= sizeof part)
    return false;
  snprintf(part, sizeof part, "%s", text);
  uint64_t whole, tenths = 0;
  if (char *dot = strchr(part, '.')) {
    *dot = '\0';
    if (strlen(dot + 1) != 1 || !tool_parse_uint(dot + 1, 0, 9, &tenths))
      return false;
  }
  if (!tool_parse_uint(part, 0, max_ms, &whole) || whole * 10 + tenths == 0 || whole * 10 + tenths > max_ms * 10)
    return false;
  *ns = static_cast<int64_t>(whole * 10 + tenths) * 100000;
  return true;
}

// "B:MS", MS with at most one decimal (8:8.3).
bool parse_chunks(const char *text, size_t *bytes, int64_t *period_ns)
{
  char part[32];
  const char *colon = strchr(text, ':');
  if (!colon || static_cast<size_t>(colon - text) >= sizeof part)
    return false;
  memcpy(part, text, static_cast<size_t>(colon - text));
  part[colon - text] = '\0';
  uint64_t b;
  if (!tool_parse_uint(part, 1, NBR14522_RSP_SIZE, &b) || !parse_tenths(colon + 1, 1000, period_ns))
    return false;
  *bytes = static_cast<size_t>(b);
  return true;
}

// "MS" or "MS:MAX", each 0 to 10000, MAX not below MS.
bool parse_turnaround(const char *text, int64_t *min_ns, int64_t *max_ns)
{
  char part[32];
  if (strlen(text) >= sizeof part)
    return false;
  snprintf(part, sizeof part, "%s", text);
  uint64_t low, high = 0;
  char *colon = strchr(part, ':');
  if (colon) {
    *colon = '\0';
    if (!tool_parse_uint(colon + 1, 0, 10000, &high))
      return false;
  }
  if (!tool_parse_uint(part, 0, 10000, &low) || (colon && high < low))
    return false;
  *min_ns = static_cast<int64_t>(low) * 1000000;
  *max_ns = static_cast<int64_t>(high) * 1000000;
  return true;
}

void on_signal(int)
{
  g_stop = 1;
}

// Makes a pty whose slave starts raw: with the default cooked mode its echo
// would hand our own ENQs back to us before a reader sets its line up, and
// the setting stays with the slave while we hold the master.
int pty_open(char *path, size_t len)
{
  int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "%s: cannot create a pseudo-terminal: %s\n", PROG, strerror(errno));
    return -1;
  }
  if (grantpt(fd) < 0 || unlockpt(fd) < 0 || ptsname_r(fd, path, len) != 0) {
    fprintf(stderr, "%s: cannot set up the pseudo-terminal: %s\n", PROG, strerror(errno));
    close(fd);
    return -1;
  }
  struct termios tio;
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  const int slave = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0 || tcgetattr(slave, &tio) < 0) {
    fprintf(stderr, "%s: cannot set up %s: %s\n", PROG, path, strerror(errno));
    if (slave >= 0)
      close(slave);
    close(fd);
    return -1;
  }
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  close(slave);
  return fd;
}

struct line {
  int fd = -1;
  bool pty = false;
  bool blocked = false;  // the last write met a full buffer
  int64_t plug_check_ns = 0;
  // A driver's delivery: at most chunk_bytes at a time, chunk_ns apart.
  size_t chunk_bytes = 0;
  int64_t chunk_ns = 0;
  int64_t next_chunk_ns = 0;
};

// When the next queued byte may be written: when it is due, and, in chunks,
// not before the next chunk.
int64_t next_write_ns(const sim_meter *sim, const line *ln)
{
  return std::max(sim->out.front().due_ns, ln->chunk_bytes ? ln->next_chunk_ns : 0);
}

// Writes the queued bytes that are due. Returns false on a fatal line error.
bool flush_due(sim_meter *sim, line *ln, int64_t now_ns)
{
  while (!sim->out.empty() && !ln->blocked) {
    const int64_t due_ns = next_write_ns(sim, ln);
    if (due_ns > now_ns)
      break;
    uint8_t buf[NBR14522_RSP_SIZE];
    const size_t most = ln->chunk_bytes ? std::min(ln->chunk_bytes, sizeof buf) : sizeof buf;
    size_t n = 0;
    while (n < most && n < sim->out.size() && sim->out[n].due_ns <= now_ns) {
      buf[n] = sim->out[n].byte;
      n++;
    }
    ssize_t done = write(ln->fd, buf, n);
    if (done > 0) {
      if (sim->state == SIM_SENDING && now_ns - due_ns >= LATE_NS)
        sim->stats.late_writes++;
      sim_written(sim, static_cast<size_t>(done), now_ns);
      if (ln->chunk_bytes) {
        // A driver hands chunks over on its own clock: a write of ours that
        // came late (a busy host) does not push back the ones after it, or
        // a response would take longer than the line it stands for. After
        // an idle line or a long stall the clock starts again from now.
        const bool on_time = now_ns - due_ns <= ln->chunk_ns;
        ln->next_chunk_ns = (on_time ? due_ns : now_ns) + ln->chunk_ns;
        break;
      }
    } else if (done < 0 && errno == EAGAIN) {
      ln->blocked = true;
    } else if (done < 0 && errno == EINTR) {
      continue;
    } else if (ln->pty) {
      sim_set_plugged(sim, false, now_ns);  // EIO: the reader closed the slave
    } else {
      fprintf(stderr, "%s: write error: %s\n", PROG, strerror(errno));
      return false;
    }
  }
  return true;
}

// Reads what the line holds. Returns false on a fatal line error.
bool read_line(sim_meter *sim, line *ln, int64_t now_ns)
{
  uint8_t buf[512];
  for (;;) {
    ssize_t n = read(ln->fd, buf, sizeof buf);
    if (n > 0) {
      sim_input(sim, buf, static_cast<size_t>(n), now_ns);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno == EAGAIN)
      return true;
    if (ln->pty) {
      sim_set_plugged(sim, false, now_ns);
      return true;
    }
    fprintf(stderr, "%s: %s\n", PROG, n == 0 ? "line closed" : strerror(errno));
    return false;
  }
}

int run(sim_meter *sim, line *ln, const sigset_t *wait_mask)
{
  // A pty starts unplugged: nobody has its slave open yet.
  sim->plugged = !ln->pty;
  sim_start(sim, clock_now_ns());
  while (!g_stop) {
    int64_t now = clock_now_ns();
    if (ln->pty && !sim->plugged && now >= ln->plug_check_ns) {
      struct pollfd p = {ln->fd, POLLIN, 0};
      if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP))
        sim_set_plugged(sim, true, now);
      ln->plug_check_ns = now + PLUG_CHECK_NS;
    }
    sim_tick(sim, now);
    if (!flush_due(sim, ln, now))
      return 1;

    int64_t next = sim_next_ns(sim);
    if (!sim->out.empty() && !ln->blocked)
      next = std::min(next, next_write_ns(sim, ln));
    if (!sim->plugged)
      next = std::min(next, ln->plug_check_ns);
    struct timespec timeout;
    struct timespec *tp = nullptr;
    if (next != INT64_MAX) {
      int64_t left = std::max<int64_t>(0, next - clock_now_ns());
      timeout.tv_sec = left / 1000000000;
      timeout.tv_nsec = static_cast<long>(left % 1000000000);
      tp = &timeout;
    }
    struct pollfd p = {ln->fd, static_cast<short>(POLLIN | (ln->blocked ? POLLOUT : 0)), 0};
    int n = ppoll(&p, sim->plugged ? 1 : 0, tp, wait_mask);
    if (n < 0 && errno != EINTR) {
      fprintf(stderr, "%s: poll error: %s\n", PROG, strerror(errno));
      return 1;
    }
    if (n <= 0)
      continue;
    now = clock_now_ns();
    if (p.revents & POLLOUT)
      ln->blocked = false;
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) && !read_line(sim, ln, now))
      return 1;
    if (ln->pty && (p.revents & POLLHUP))
      sim_set_plugged(sim, false, now);
  }
  // Answers the reader sent before the stop may still wait in the line: the
  // counters must include them.
  if (sim->plugged)
    read_line(sim, ln, clock_now_ns());
  return 0;
}

}  // namespace

int main(int argc, char **argv)
{
  static const struct option options[] = {
      {"enq-ms", required_argument, nullptr, 'e'},
      {"line-speed", no_argument, nullptr, 'l'},
      {"meter-id", required_argument, nullptr, 'm'},
      {"seed", required_argument, nullptr, 's'},
      {"fault", required_argument, nullptr, 'f'},
      {"stats", required_argument, nullptr, 'o'},
      {"trace", no_argument, nullptr, 't'},
      {"help", no_argument, nullptr, 'h'},
      {"turnaround", required_argument, nullptr, 'a'},
      {"echo-payload", required_argument, nullptr, 'p'},
      {"busy", required_argument, nullptr, 'b'},
      {"enq-while-busy", no_argument, nullptr, 'E'},
      {"composed", required_argument, nullptr, 'c'},
      {"chunked", required_argument, nullptr, 'k'},
      {"pace", required_argument, nullptr, 'P'},
      {"echo", no_argument, nullptr, 'x'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  static sim_meter sim;
  line ln;
  const char *stats_path = nullptr;
  uint64_t value;
  char err[160];
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, ":hV", options, nullptr);
    if (c == -1)
      break;
    switch (c) {
    case 'e':
      if (!tool_parse_uint(optarg, 1, 500, &value))
        return tool_bad_usage(PROG, USAGE,
                              "--enq-ms '%s' is not a number from 1 to 500 (501 ms without ENQ is a lost meter)",
                              optarg);
      sim.enq_ns = static_cast<int64_t>(value) * 1000000;
      break;
    case 'l':
      sim.line_speed = true;
      break;
    case 'a':
      if (!parse_turnaround(optarg, &sim.turnaround_ns, &sim.turnaround_max_ns))
        return tool_bad_usage(PROG, USAGE, "--turnaround '%s' is not MS or MS:MAX (0 to 10000, MAX not below MS)",
                              optarg);
      break;
    case 'b':
      if (strcmp(optarg, "ignore") == 0)
        sim.busy = SIM_BUSY_IGNORE;
      else if (strcmp(optarg, "answer") == 0)
        sim.busy = SIM_BUSY_ANSWER;
      else if (strcmp(optarg, "queue") == 0)
        sim.busy = SIM_BUSY_QUEUE;
      else
        return tool_bad_usage(PROG, USAGE, "--busy '%s' is none of ignore, answer and queue", optarg);
      break;
    case 'P':
      if (!parse_tenths(optarg, 10, &sim.pace_ns))
        return tool_bad_usage(PROG, USAGE, "--pace '%s' is not a time from 0.1 to 10 ms", optarg);
      break;
    case 'x':
      sim.echo_line = true;
      break;
    case 'E':
      sim.enq_while_busy = true;
      break;
    case 'c':
      if (!tool_parse_uint(optarg, 1, 16, &value))
        return tool_bad_usage(PROG, USAGE, "--composed '%s' is not a number from 1 to 16", optarg);
      sim.composed_frames = static_cast<int>(value);
      break;
    case 'k':
      if (!parse_chunks(optarg, &ln.chunk_bytes, &ln.chunk_ns))
        return tool_bad_usage(PROG, USAGE, "--chunked '%s' is not BYTES:MS (1 to 258 bytes, 0.1 to 1000 ms)",
                              optarg);
      break;
    case 'm':
      if (!tool_parse_uint(optarg, 0, 99999999, &value))
        return tool_bad_usage(PROG, USAGE, "--meter-id '%s' is not a number of up to 8 digits", optarg);
      sim.meter_id = static_cast<uint32_t>(value);
      break;
    case 'p':
      if (!tool_parse_uint(optarg, 1, SIM_ECHO_MAX, &value))
        return tool_bad_usage(PROG, USAGE, "--echo-payload '%s' is not a number from 1 to %zu", optarg,
                              SIM_ECHO_MAX);
      sim.echo_len = static_cast<size_t>(value);
      break;
    case 's':
      if (!tool_parse_uint(optarg, 0, UINT64_MAX, &sim.seed))
        return tool_bad_usage(PROG, USAGE, "--seed '%s' is not a whole number", optarg);
      break;
    case 'f':
      if (!sim_fault_parse(&sim, optarg, err, sizeof err))
        return tool_bad_usage(PROG, USAGE, "--fault: %s", err);
      break;
    case 'o':
      stats_path = optarg;
      break;
    case 't':
      sim.trace = stderr;
      break;
    default:
      return tool_option_end(c, argv, PROG, USAGE, HELP);
    }
  }
  if (argc - optind > 1)
    return tool_bad_usage(PROG, USAGE, "more than one DEVICE given ('%s')", argv[optind + 1]);

  FILE *stats = stderr;
  if (stats_path && !(stats = fopen(stats_path, "w"))) {
    fprintf(stderr, "%s: cannot write %s: %s\n", PROG, stats_path, strerror(errno));
    return 1;
  }
  char path[256];
  if (optind < argc) {
    snprintf(path, sizeof path, "%s", argv[optind]);
    // The line is taken as the gateway takes its own: raw 9600 8N1, locked.
    const say_sink sink = tool_sink(PROG);
    ln.fd = serial_open(path, 9600, 8, "N", 1, &sink);
  } else {
    ln.pty = true;
    ln.fd = pty_open(path, sizeof path);
  }
  if (ln.fd < 0)
    return 1;

  // SIGTERM and SIGINT are only let in while waiting in ppoll, so the loop
  // sees the stop flag at its next pass and never misses a wake-up.
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t stop_set, wait_mask;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGTERM);
  sigaddset(&stop_set, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_set, &wait_mask);
  sigdelset(&wait_mask, SIGTERM);
  sigdelset(&wait_mask, SIGINT);

  printf("%s\n", path);
  fflush(stdout);
  int rc = run(&sim, &ln, &wait_mask);
  sim_stats_print(&sim, stats);
  if (stats != stderr)
    fclose(stats);
  close(ln.fd);
  return rc;
}
