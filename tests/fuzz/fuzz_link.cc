// SPDX-License-Identifier: MIT
#include "tests/fuzz/fuzz_link.h"

#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/record.h"
#include "nbr14522/engine.h"
#include "tests/fuzz/fuzz.h"
#include "tests/support/stats.h"
#include "tools/tool_util.h"

namespace {

// A frame reaches the client only as the answer to the command in flight:
// the last one written (every write finds the line read empty and no frame
// coming in, see fuzz_link_hold_expire, so the frame started after it), with
// the command's code or an information code, for the client served now.
int on_response(void *ctx, const uint8_t *data, int length)
{
  fuzz_link *f = static_cast<fuzz_link *>(ctx);
  const nbr14522_link *link = f->link;
  FUZZ_CHECK(length == NBR14522_RSP_SIZE);
  FUZZ_CHECK(nbr14522_frame_ok(data, NBR14522_RSP_SIZE));
  FUZZ_CHECK(link->cmd_phase == NBR14522_CMD_IN_FLIGHT || link->cmd_phase == NBR14522_CMD_ANSWERING);
  FUZZ_CHECK(f->written_len == link->cmd_len && memcmp(f->written, link->cmd_buf, static_cast<size_t>(f->written_len)) == 0);
  FUZZ_CHECK(nbr14522_answers(link->cmd_buf[0], data[0]));
  FUZZ_CHECK(nbr14522_rsp_session(link) == link->session);
  f->responses++;
  return 0;
}

// Whether the link wrote a command since the last look.
bool command_written(fuzz_link *f)
{
  bool written = false;
  for (uint64_t end = trace_end(f->trace); f->trace_seen < end; f->trace_seen++) {
    trace_record record;
    if (trace_get(f->trace, f->trace_seen, &record) && record.kind == NBR14522_TRACE_CMD_WRITTEN)
      written = true;
  }
  return written;
}

bool make_timer(timer_t *timer, int *ok)
{
  struct sigevent none;
  memset(&none, 0, sizeof none);
  none.sigev_notify = SIGEV_NONE;
  *ok = timer_create(CLOCK_MONOTONIC, &none, timer) == 0;
  return *ok;
}

int pending(int fd)
{
  int n = 0;
  return fd >= 0 && ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

// Takes what the link wrote to the meter, so that the line never fills up.
void drain_meter(fuzz_link *f)
{
  uint8_t sink[512];
  while (f->meter >= 0 && read(f->meter, sink, sizeof sink) > 0) {
  }
}

}  // namespace

bool fuzz_link_open(fuzz_link *f)
{
  *f = fuzz_link{};
  f->meter = -1;
  nbr14522_link *link = f->link = record_alloc<nbr14522_link>();
  if (!link)
    return false;
  link->dev = "fuzz-line";
  link->trace = f->trace = record_alloc<trace_ring>();
  if (!f->trace)
    return false;
  link->fd_com = link->fd_ev[0] = link->fd_ev[1] = -1;
  log_limit_init(&link->log, link->dev, 150, 30);
  log_limit_init(&link->notices, link->dev, 60, 30);
  log_limit_init(&link->progress, link->dev, 298, 30);

  // Both ends non-blocking, as serial_open leaves a real line. A socket is no
  // terminal: the link's break, drain and flush calls fail on it, and the
  // link logs the failed breaks and goes on.
  int line[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, line) < 0)
    return false;
  link->fd_com = line[0];
  f->meter = line[1];
  if (pipe(link->fd_ev) < 0) {
    link->fd_ev[0] = link->fd_ev[1] = -1;
    return false;
  }
  link->ev_created = 1;
  if (!make_timer(&link->enq_timer, &link->enq_created) || !make_timer(&link->rsp_timer, &link->rsp_created))
    return false;
  nbr14522_rsp_cb cb = {on_response, f};
  nbr14522_set_rsp_handler(link, &cb);
  nbr14522_disconnect_exec(link);
  fuzz_link_check(f);
  return true;
}

void fuzz_link_close(fuzz_link *f)
{
  nbr14522_close(f->link);
  f->link = nullptr;
  record_free(f->trace);
  f->trace = nullptr;
  if (f->meter >= 0)
    close(f->meter);
  f->meter = -1;
}

void fuzz_link_send(fuzz_link *f, const uint8_t *data, size_t size)
{
  if (f->meter >= 0 && size > 0)
    FUZZ_CHECK(write(f->meter, data, size) == static_cast<ssize_t>(size));
  fuzz_link_read_line(f);
}

void fuzz_link_unplug(fuzz_link *f, const uint8_t *last, size_t size)
{
  if (f->meter >= 0 && size > 0)
    FUZZ_CHECK(write(f->meter, last, size) == static_cast<ssize_t>(size));
  if (f->meter >= 0)
    close(f->meter);
  f->meter = -1;
}

void fuzz_link_read_line(fuzz_link *f)
{
  // Every read takes at least a byte, so this ends.
  while (pending(f->link->fd_com) > 0) {
    nbr14522_com_exec(f->link);
    fuzz_link_check(f);
  }
  if (f->meter < 0) {
    nbr14522_com_exec(f->link);
    fuzz_link_check(f);
  }
}

void fuzz_link_read_events(fuzz_link *f)
{
  while (pending(f->link->fd_ev[0]) > 0) {
    nbr14522_pipe_exec(f->link);
    fuzz_link_check(f);
  }
}

void fuzz_link_expire(fuzz_link *f, uint32_t event, bool run_out)
{
  nbr14522_link *link = f->link;
  const bool enq = event == NBR14522_EV_ENQ_TIMEOUT;
  if (run_out && (enq ? link->enq_armed : link->rsp_armed)) {
    // Due 1 ns from now: long past by the time the link asks.
    const struct itimerspec now = {{0, 0}, {0, 1}};
    timer_settime(enq ? link->enq_timer : link->rsp_timer, 0, &now, nullptr);
  }
  FUZZ_CHECK(nbr14522_ev_write(link, static_cast<int>(event), 0, nullptr) == 0);
  fuzz_link_read_events(f);
}

void fuzz_link_hold_expire(fuzz_link *f)
{
  nbr14522_link *link = f->link;
  link->hold_first = link->hold_last = 1;  // long ago on the monotonic clock
  command_written(f);
  const bool line_empty = pending(link->fd_com) == 0 && link->rsp_len == 0;
  nbr14522_due_exec(link);
  if (command_written(f)) {
    FUZZ_CHECK(line_empty);
    f->written_len = link->cmd_len;
    memcpy(f->written, link->cmd_buf, static_cast<size_t>(link->cmd_len));
  }
  fuzz_link_check(f);
}

void fuzz_link_check(fuzz_link *f)
{
  const nbr14522_link *link = f->link;
  drain_meter(f);
  // The engine's own rules first: one statement of them, the engine's.
  if (const char *broken = nbr14522_rules_broken(link)) {
    fprintf(stderr, "link rule broken: %s\n", broken);
    abort();
  }
  // What only the outside sees: counters never go back, every frame
  // accepted as an answer was delivered, and no more.
  const std::array<uint32_t, 8> now = {
      stats_of(link).n_connected, stats_of(link).n_disconnected, stats_of(link).n_conn_lost,
      stats_of(link).n_cmd_ok,    stats_of(link).n_cmd_failed,   stats_of(link).n_rsp_ok,
      stats_of(link).n_rsp_failed, stats_of(link).n_rsp_dropped,
  };
  for (size_t i = 0; i < now.size(); i++)
    FUZZ_CHECK(now[i] >= f->counts[i]);
  f->counts = now;
  FUZZ_CHECK(f->responses == stats_of(link).n_rsp_ok);
}
