// Meter link object: opening and closing, the event channel and the timers.
//
// Threads: the link thread (engine.cc) alone reads the event channel and, once
// the link runs, alone uses the serial line. Any thread may write events: the
// TCP server thread queues commands and disconnects, and the system starts a
// short-lived notification thread at each timer expiry, which queues the
// timeout.
//
// A notification may already be running when nbr14522_close deletes the
// timer, and the system gives no way to wait for it. So a notification carries
// no pointer to the link but a token naming a slot in a static table, which
// outlives every link: the slot's generation changes when the link lets it
// go, and the close waits until no notification is inside the slot. A late
// notification then finds a foreign generation and does nothing, instead of
// writing into a freed link or into a descriptor number reused since.

#include "nbr14522/nbr14522.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <new>

#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include "serial/serial.h"

namespace {

constexpr unsigned kSlotBits = 5;
constexpr unsigned kSlots = 1u << kSlotBits;
constexpr uint32_t kGenMask = 0x3FFFFFF;  // keeps the token a positive int

struct notify_slot {
  std::atomic<nbr14522_link *> link{nullptr};
  std::atomic<uint32_t> gen{0};
  std::atomic<uint32_t> users{0};
};

// Sequentially consistent on purpose: a notification raises `users` before it
// reads `gen`, the close bumps `gen` before it reads `users`, and one of the
// two must see the other's store.
std::array<notify_slot, kSlots> notify_slots;

int slot_token(unsigned index)
{
  return static_cast<int>(((notify_slots[index].gen.load() & kGenMask) << kSlotBits) | index);
}

int slot_claim(nbr14522_link *link)
{
  for (unsigned i = 0; i < kSlots; i++) {
    nbr14522_link *expected = nullptr;
    if (notify_slots[i].link.compare_exchange_strong(expected, link))
      return static_cast<int>(i);
  }
  return -1;
}

// Drains the event channel while waiting, in case a notification is blocked
// writing into a pipe that the stopped link thread no longer empties.
void slot_release(nbr14522_link *link)
{
  notify_slot &slot = notify_slots[static_cast<unsigned>(link->notify_slot)];
  slot.gen.fetch_add(1);
  while (slot.users.load() != 0) {
    struct pollfd p = {link->fd_ev[0], POLLIN, 0};
    uint8_t sink[512];
    if (link->fd_ev[0] >= 0 && poll(&p, 1, 0) > 0 && read(link->fd_ev[0], sink, sizeof sink) > 0)
      continue;
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
  slot.link.store(nullptr);
  link->notify_slot = -1;
}

void notify(union sigval value, void (*queue)(nbr14522_link *))
{
  const auto token = static_cast<uint32_t>(value.sival_int);
  notify_slot &slot = notify_slots[token & (kSlots - 1)];
  slot.users.fetch_add(1);
  if ((slot.gen.load() & kGenMask) == token >> kSlotBits) {
    nbr14522_link *link = slot.link.load();
    if (link)
      queue(link);
  }
  slot.users.fetch_sub(1);
}

void notify_enq(union sigval value)
{
  notify(value, nbr14522_enq_timeout);
}

void notify_rsp(union sigval value)
{
  notify(value, nbr14522_rsp_timeout);
}

// Creates one timer on the monotonic clock, notified on a thread of its own,
// and applies its disarmed setting. `what` is "ENQ" or "RSP" for the logs.
bool timer_make(nbr14522_link *link, timer_t *timer, struct sigevent *notification,
                struct itimerspec *spec, int *ok, void (*function)(union sigval), const char *what)
{
  notification->sigev_notify = SIGEV_THREAD;
  notification->sigev_value.sival_int = slot_token(static_cast<unsigned>(link->notify_slot));
  notification->sigev_notify_function = function;
  notification->sigev_notify_attributes = nullptr;
  if (timer_create(CLOCK_MONOTONIC, notification, timer) < 0) {
    syslog(LOG_ERR, "%s - cannot create %s timer", "nbr14522_open", what);
    return false;
  }
  *ok = 1;
  memset(spec, 0, sizeof *spec);
  if (timer_settime(*timer, 0, spec, nullptr) < 0) {
    syslog(LOG_ERR, "%s - cannot set %s timer", "nbr14522_open", what);
    return false;
  }
  return true;
}

void timer_arm(timer_t timer, struct itimerspec *spec, int ms, const char *who)
{
  spec->it_interval.tv_sec = 0;
  spec->it_interval.tv_nsec = 0;
  spec->it_value.tv_sec = ms / 1000;
  spec->it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  if (timer_settime(timer, 0, spec, nullptr) < 0)
    syslog(LOG_ERR, "%s - cannot set timer: %s", who, strerror(errno));
}

}  // namespace

nbr14522_link *nbr14522_open(const char *dev)
{
  auto *link = new (std::nothrow) nbr14522_link();
  if (!link) {
    syslog(LOG_ERR, "%s - not enough memory", "nbr14522_open");
    return nullptr;
  }
  link->fd_com = -1;
  link->fd_ev[0] = link->fd_ev[1] = -1;
  link->notify_slot = -1;

  link->dev = dev;
  link->fd_com = serial_open(dev, 9600, 8, "N", 1);
  if (link->fd_com < 0) {
    nbr14522_close(link);
    return nullptr;
  }
  serial_set_rts(link->fd_com, 0);
  serial_set_dtr(link->fd_com, 1);

  if (pipe(link->fd_ev) < 0) {
    link->fd_ev[0] = link->fd_ev[1] = -1;
    syslog(LOG_ERR, "%s - cannot create pipe", "nbr14522_open");
    nbr14522_close(link);
    return nullptr;
  }
  link->ev_ok = 1;

  link->notify_slot = slot_claim(link);
  if (link->notify_slot < 0) {
    syslog(LOG_ERR, "%s - cannot create %s timer", "nbr14522_open", "ENQ");
    nbr14522_close(link);
    return nullptr;
  }
  if (!timer_make(link, &link->enq_timer, &link->enq_notify, &link->enq_spec, &link->enq_ok, notify_enq, "ENQ") ||
      !timer_make(link, &link->rsp_timer, &link->rsp_notify, &link->rsp_spec, &link->rsp_ok, notify_rsp, "RSP")) {
    nbr14522_close(link);
    return nullptr;
  }

  if (pthread_create(&link->thread, nullptr, nbr14522_main, link) != 0) {
    syslog(LOG_ERR, "%s - cannot create thread", "nbr14522_open");
    nbr14522_close(link);
    return nullptr;
  }
  link->thread_ok = 1;
  return link;
}

void nbr14522_stop(nbr14522_link *link)
{
  if (!link || !link->thread_ok)
    return;
  pthread_cancel(link->thread);
  pthread_join(link->thread, nullptr);
  link->thread_ok = 0;
}

void nbr14522_close(nbr14522_link *link)
{
  if (!link)
    return;
  nbr14522_stop(link);
  if (link->rsp_ok) {
    timer_delete(link->rsp_timer);
    link->rsp_ok = 0;
  }
  if (link->enq_ok) {
    timer_delete(link->enq_timer);
    link->enq_ok = 0;
  }
  if (link->notify_slot >= 0)
    slot_release(link);
  if (link->ev_ok) {
    for (int &fd : link->fd_ev) {
      if (fd >= 0)
        close(fd);
      fd = -1;
    }
    link->ev_ok = 0;
  }
  if (link->fd_com >= 0) {
    serial_set_dtr(link->fd_com, 1);
    serial_set_rts(link->fd_com, 1);
    close(link->fd_com);
    link->fd_com = -1;
  }
  delete link;
}

void nbr14522_set_rsp_handler(nbr14522_link *link, const nbr14522_rsp_cb *cb)
{
  if (!link || !cb)
    return;
  link->rsp_handler = cb->handler;
  link->rsp_ctx = cb->ctx;
}

int nbr14522_ev_write(nbr14522_link *link, int id, int length, const uint8_t *data)
{
  if (!link)
    return -1;
  if (static_cast<uint32_t>(id) > NBR14522_EV_RSP_TIMEOUT) {
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
    syslog(LOG_ERR, "%s - event write error: %s", "nbr14522_ev_write", strerror(errno));
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
  timer_arm(link->enq_timer, &link->enq_spec, ms, "nbr14522_enq_tout_set");
  link->enq_armed = ms != 0;
}

void nbr14522_rsp_tout_set(nbr14522_link *link, int ms)
{
  timer_arm(link->rsp_timer, &link->rsp_spec, ms, "nbr14522_rsp_tout_set");
  link->rsp_armed = ms != 0;
}
