// SPDX-License-Identifier: MIT
// Meter link object: opening and closing, the event channel and the timers.
//
// Threads: the link thread (engine.cc) alone reads the event channel and, once
// the link runs, alone uses the serial line. Any thread may write events: the
// TCP server thread queues commands and disconnects, and the link's notifier
// thread queues the timers' expiries.
//
// The timers notify that notifier thread, one per link, with a signal aimed
// at it alone; it turns each expiry into an event. Being the link's own
// thread, it is stopped and waited for at close like the link thread, so no
// notification can outlive the link or write into a descriptor number that
// has been reused since. (Timers that start a new thread of the C library's at
// each expiry give no way to wait for one already started, and those threads
// are invisible to the sanitizers.)

#include "nbr14522/engine.h"
#include "nbr14522/nbr14522.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <semaphore.h>
#include <syslog.h>
#include <unistd.h>

#include "common/record.h"
#include "common/thread.h"
#include "serial/serial.h"

// The thread a SIGEV_THREAD_ID timer signals. musl names the field as the
// kernel's headers do; glibc (2.36 at least) has it only under its internal
// name.
#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace {

// What the meter and the AMR client can make a link log, in three budgets
// so that no kind of line crowds out another: warnings and errors; the
// notices of the meter's comings and goings (a few per session); and the
// progress lines of a response's chunks (a response arriving a byte at a
// time logs two lines per byte). A budget lets through at most its burst
// and its refill in any minute, so together, with the line that a lost
// line's failed reopening may log once a minute, at most 600 lines a minute.
constexpr uint32_t kLogBurst = 150;
constexpr uint32_t kLogPerMinute = 30;
constexpr uint32_t kNoticeBurst = 60;
constexpr uint32_t kNoticePerMinute = 30;
constexpr uint32_t kProgressBurst = 298;
constexpr uint32_t kProgressPerMinute = 30;
constexpr uint32_t kReopenBurst = 1;
constexpr uint32_t kReopenPerMinute = 1;
static_assert(kLogBurst + kLogPerMinute + kNoticeBurst + kNoticePerMinute + kProgressBurst + kProgressPerMinute +
                      kReopenBurst + kReopenPerMinute <=
                  600,
              "a channel's log lines stay within 600 a minute");
// The pause before each write to the meter.
constexpr long kPauseNs = 1000000;

// The first real-time signal the C library leaves to applications. Only the
// notifier threads receive it, each for its own link's timers.
int timer_signal()
{
  return SIGRTMIN;
}

struct notifier_start {
  nbr14522_link *link;
  sem_t ready;
};

// Body of the notifier thread. The timer signal is blocked in it from birth
// (see notifier_open), so expiries queue up for sigwaitinfo, which is also
// the only place where the thread may be cancelled.
void *nbr14522_notify_main(void *arg)
{
  auto *start = static_cast<notifier_start *>(arg);
  nbr14522_link *link = start->link;
  link->notify_tid = gettid();
  sem_post(&start->ready);  // `start` lives on the opener's stack: not used after this

  sigset_t wanted;
  sigemptyset(&wanted);
  sigaddset(&wanted, timer_signal());
  thread_cancel_off();
  for (;;) {
    siginfo_t info;
    thread_cancel_on();
    const int signal = sigwaitinfo(&wanted, &info);
    thread_cancel_off();
    if (signal < 0 || info.si_code != SI_TIMER)
      continue;
    if (info.si_value.sival_int == NBR14522_EV_ENQ_TIMEOUT)
      nbr14522_enq_timeout(link);
    else if (info.si_value.sival_int == NBR14522_EV_RSP_TIMEOUT)
      nbr14522_rsp_timeout(link);
  }
  return nullptr;
}

bool notifier_open(nbr14522_link *link)
{
  notifier_start start;
  start.link = link;
  if (sem_init(&start.ready, 0, 0) < 0)
    return false;
  sigset_t timer_only, previous;
  sigemptyset(&timer_only);
  sigaddset(&timer_only, timer_signal());
  pthread_sigmask(SIG_BLOCK, &timer_only, &previous);
  const bool made = pthread_create(&link->notify_thread, nullptr, nbr14522_notify_main, &start) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (made) {
    link->notify_created = 1;
    while (sem_wait(&start.ready) < 0 && errno == EINTR) {
    }
  }
  sem_destroy(&start.ready);
  return made;
}

// Creates one timer on the monotonic clock that notifies the link's notifier
// thread with `event` as its value, and applies its disarmed setting. `what`
// is "ENQ" or "RSP" for the logs.
bool timer_make(nbr14522_link *link, timer_t *timer, struct sigevent *notification, struct itimerspec *setting,
                int *ok, int event, const char *what)
{
  memset(notification, 0, sizeof *notification);
  notification->sigev_notify = SIGEV_THREAD_ID;
  notification->sigev_signo = timer_signal();
  notification->sigev_value.sival_int = event;
  notification->sigev_notify_thread_id = link->notify_tid;
  if (timer_create(CLOCK_MONOTONIC, notification, timer) < 0) {
    syslog(LOG_ERR, "%s - cannot create %s timer", "nbr14522_open", what);
    return false;
  }
  *ok = 1;
  memset(setting, 0, sizeof *setting);
  if (timer_settime(*timer, 0, setting, nullptr) < 0) {
    syslog(LOG_ERR, "%s - cannot set %s timer", "nbr14522_open", what);
    return false;
  }
  return true;
}

void timer_arm(nbr14522_link *link, timer_t timer, struct itimerspec *setting, int ms, const char *who)
{
  setting->it_interval.tv_sec = 0;
  setting->it_interval.tv_nsec = 0;
  setting->it_value.tv_sec = ms / 1000;
  setting->it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  if (timer_settime(timer, 0, setting, nullptr) < 0)
    log_limited(&link->log, LOG_ERR, "%s - cannot set timer: %s", who, strerror(errno));
}

}  // namespace

nbr14522_link *nbr14522_open(const char *dev, trace_ring *trace, const nbr14522_line *line)
{
  auto *link = record_alloc<nbr14522_link>();
  if (!link) {
    syslog(LOG_ERR, "%s - not enough memory", "nbr14522_open");
    return nullptr;
  }
  link->fd_com = -1;
  link->fd_ev[0] = link->fd_ev[1] = -1;

  link->dev = dev;
  link->trace = trace;
  // Before the thread starts, which reads them from its first pass.
  if (line) {
    link->echo = line->echo;
    link->echo_key = line->echo_key;
  }
  link->pause_ns = kPauseNs;
  log_limit_init(&link->log, dev, kLogBurst, kLogPerMinute);
  log_limit_init(&link->notices, dev, kNoticeBurst, kNoticePerMinute);
  log_limit_init(&link->progress, dev, kProgressBurst, kProgressPerMinute);
  log_limit_init(&link->reopen_log, dev, kReopenBurst, kReopenPerMinute);
  if (!nbr14522_line_open(link, nullptr)) {
    nbr14522_close(link);
    return nullptr;
  }

  // Writers never wait for the link thread: a full channel fails the write.
  if (pipe2(link->fd_ev, O_CLOEXEC) < 0 || fcntl(link->fd_ev[1], F_SETFL, O_NONBLOCK) < 0) {
    for (int &fd : link->fd_ev) {
      if (fd >= 0)
        close(fd);
    }
    link->fd_ev[0] = link->fd_ev[1] = -1;
    syslog(LOG_ERR, "%s - cannot create pipe", "nbr14522_open");
    nbr14522_close(link);
    return nullptr;
  }
  link->ev_created = 1;

  if (!notifier_open(link)) {
    syslog(LOG_ERR, "%s - cannot create %s timer", "nbr14522_open", "ENQ");
    nbr14522_close(link);
    return nullptr;
  }
  if (!timer_make(link, &link->enq_timer, &link->enq_notify, &link->enq_spec, &link->enq_created,
                  NBR14522_EV_ENQ_TIMEOUT, "ENQ") ||
      !timer_make(link, &link->rsp_timer, &link->rsp_notify, &link->rsp_spec, &link->rsp_created,
                  NBR14522_EV_RSP_TIMEOUT, "RSP")) {
    nbr14522_close(link);
    return nullptr;
  }

  if (pthread_create(&link->thread, nullptr, nbr14522_main, link) != 0) {
    syslog(LOG_ERR, "%s - cannot create thread", "nbr14522_open");
    nbr14522_close(link);
    return nullptr;
  }
  link->thread_created = 1;
  return link;
}

bool nbr14522_line_open(nbr14522_link *link, log_limit *limit)
{
  const say_sink open_sink = say_limited(limit);
  const int fd = serial_open(link->dev, 9600, 8, "N", 1, limit ? &open_sink : nullptr);
  if (fd < 0)
    return false;
  link->fd_com = fd;
  link->line_up.store(1, std::memory_order_relaxed);
  // A line that comes and goes would log these at every reopen.
  const say_sink modem_sink = say_limited(&link->log);
  serial_set_rts(fd, 0, &modem_sink);
  serial_set_dtr(fd, 1, &modem_sink);
  return true;
}

void nbr14522_stop(nbr14522_link *link)
{
  if (link)
    thread_stop(link->thread, &link->thread_created);
}

void nbr14522_close(nbr14522_link *link)
{
  if (!link)
    return;
  nbr14522_stop(link);
  if (link->rsp_created) {
    timer_delete(link->rsp_timer);
    link->rsp_created = 0;
  }
  if (link->enq_created) {
    timer_delete(link->enq_timer);
    link->enq_created = 0;
  }
  // Expiries already signalled may still be turned into events until the
  // notifier stops; the event channel is still open for them.
  thread_stop(link->notify_thread, &link->notify_created);
  if (link->ev_created) {
    for (int &fd : link->fd_ev) {
      if (fd >= 0)
        close(fd);
      fd = -1;
    }
    link->ev_created = 0;
  }
  if (link->fd_com >= 0) {
    serial_set_dtr(link->fd_com, 1);
    serial_set_rts(link->fd_com, 1);
    close(link->fd_com);
    link->fd_com = -1;
  }
  record_free(link);
}

void nbr14522_snapshot(const nbr14522_link *link, nbr14522_stats *out)
{
  constexpr auto relaxed = std::memory_order_relaxed;
  out->connected = link->connected.load(relaxed) != 0;
  out->break_held = link->break_on.load(relaxed) != 0;
  out->line_usable = link->line_up.load(relaxed) != 0;
  out->n_connected = link->n_connected.load(relaxed);
  out->n_disconnected = link->n_disconnected.load(relaxed);
  out->n_conn_lost = link->n_conn_lost.load(relaxed);
  out->n_cmd_ok = link->n_cmd_ok.load(relaxed);
  out->n_cmd_failed = link->n_cmd_failed.load(relaxed);
  out->n_rsp_ok = link->n_rsp_ok.load(relaxed);
  out->n_rsp_failed = link->n_rsp_failed.load(relaxed);
  out->n_rsp_dropped = link->n_rsp_dropped.load(relaxed);
  out->n_cmd_refused = link->n_cmd_refused.load(relaxed);
  for (uint32_t i = 0; i < NBR14522_GONE_KINDS; i++)
    out->n_cmd_unanswered[i] = link->n_cmd_unanswered[i].load(relaxed);
  out->last_answer_s = link->last_answer_s.load(relaxed);
  const uint32_t meter = link->meter_number.load(relaxed);
  memcpy(out->meter, &meter, sizeof out->meter);
  for (int i = 0; i <= NBR14522_READ_BUCKETS; i++)
    out->reads[i] = link->reads[i].load(relaxed);
  out->read_ms = link->read_ms.load(relaxed);
}

void nbr14522_set_rsp_handler(nbr14522_link *link, const nbr14522_rsp_cb *cb)
{
  if (!link || !cb)
    return;
  link->rsp_ctx.store(cb->ctx, std::memory_order_relaxed);
  link->rsp_handler.store(cb->handler, std::memory_order_release);
}

void nbr14522_allow_commands(nbr14522_link *link, const bool allowed[256])
{
  memcpy(link->cmd_allowed, allowed, sizeof link->cmd_allowed);
  link->cmd_filter = 1;
}

int nbr14522_ev_write(nbr14522_link *link, int id, int length, const uint8_t *data)
{
  if (!link)
    return -1;
  if (static_cast<uint32_t>(id) > NBR14522_EV_SESSION) {
    syslog(LOG_ERR, "%s - event write error: %s (%i)", "nbr14522_ev_write", "invalid event", id);
    return -1;
  }
  if (length < 0 || length > NBR14522_EV_MAX_PAYLOAD) {
    syslog(LOG_ERR, "%s - event write error: %s (%i)", "nbr14522_ev_write", "bad event length", length);
    return -1;
  }
  if (length > 0 && !data) {
    syslog(LOG_ERR, "%s - event write error: %s", "nbr14522_ev_write", "invalid event data");
    return -1;
  }
  if (link->fd_ev[1] < 0) {
    syslog(LOG_ERR, "%s - event write error: %s", "nbr14522_ev_write", "pipe closed");
    return -1;
  }

  std::array<uint8_t, NBR14522_EV_HEADER_SIZE + NBR14522_EV_MAX_PAYLOAD> record;
  const uint32_t header_id = static_cast<uint32_t>(id);
  const int32_t header_length = length;
  memcpy(record.data(), &header_id, 4);
  memcpy(record.data() + 4, &header_length, 4);
  if (length > 0)
    memcpy(record.data() + NBR14522_EV_HEADER_SIZE, data, static_cast<size_t>(length));
  const ssize_t size = NBR14522_EV_HEADER_SIZE + length;
  if (write(link->fd_ev[1], record.data(), static_cast<size_t>(size)) != size) {
    log_limited(&link->log, LOG_ERR, "%s - event write error: %s", "nbr14522_ev_write", strerror(errno));
    return -1;
  }
  return length;
}

int nbr14522_write(nbr14522_link *link, const uint8_t *data, int length)
{
  return nbr14522_ev_write(link, NBR14522_EV_COMMAND, length, data);
}

int nbr14522_disconnect(nbr14522_link *link)
{
  return nbr14522_ev_write(link, NBR14522_EV_DISCONNECT, 0, nullptr);
}

int nbr14522_session(nbr14522_link *link, uint32_t session)
{
  uint8_t payload[sizeof session];
  memcpy(payload, &session, sizeof session);
  return nbr14522_ev_write(link, NBR14522_EV_SESSION, sizeof payload, payload);
}

uint32_t nbr14522_rsp_session(const nbr14522_link *link)
{
  return link->rsp_session;
}

void nbr14522_enq_timeout(nbr14522_link *link)
{
  nbr14522_ev_write(link, NBR14522_EV_ENQ_TIMEOUT, 0, nullptr);
}

void nbr14522_rsp_timeout(nbr14522_link *link)
{
  nbr14522_ev_write(link, NBR14522_EV_RSP_TIMEOUT, 0, nullptr);
}

void nbr14522_enq_tout_set(nbr14522_link *link, int ms)
{
  timer_arm(link, link->enq_timer, &link->enq_spec, ms, "nbr14522_enq_tout_set");
  link->enq_armed = ms != 0;
}

void nbr14522_rsp_tout_set(nbr14522_link *link, int ms)
{
  timer_arm(link, link->rsp_timer, &link->rsp_spec, ms, "nbr14522_rsp_tout_set");
  link->rsp_armed = ms != 0;
}
