// The link thread: the reading side of NBR 14522 against one meter.
//
// One thread per link, blocked in select on the serial line and the event
// channel; every timing comes from the link's two one-shot timers, whose
// expiries arrive as events. This thread alone touches the line, the protocol
// state and the counters. It may be cancelled only where it waits (select,
// and tcdrain, which a wedged adapter could hold for good); everything it
// does in between is quick and never waits for another thread: the pipes it
// writes are non-blocking. Every line that the meter or the AMR client can
// make it log goes through the link's rate limit.

#include <cerrno>
#include <cstring>

#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include "common/thread.h"
#include "nbr14522/crc16.h"
#include "nbr14522/engine.h"

namespace {

constexpr int kEnqSupervisionMs = 501;
constexpr int kWaitSupervisionMs = 305000;
constexpr int kResponseWaitMs = 501;
constexpr int kInterChunkMs = 5;
constexpr int kMaxSends = 7;
// After the break is released, commands go out from the third ENQ on.
constexpr unsigned kEnqsBeforeSend = 2;
// Once a command arrives, it goes out at once if an ENQ came within the last
// ~11 ms, that is while the 501 ms ENQ timer still has more than 490 ms left.
constexpr long kFreshEnqNs = 489999999;
// A line that fails (an adapter pulled out, a pty whose other side closed)
// stays readable forever; instead of waiting on it, the thread then probes it
// on every pass and at least once a second, and logs the error on the first
// failure and then on every 60th.
constexpr time_t kProbeSeconds = 1;
constexpr unsigned kFailLogEvery = 60;

void pause_1ms()
{
  struct timespec pause = {0, 1000000};
  nanosleep(&pause, nullptr);
}

void count(std::atomic<uint32_t> &counter)
{
  counter.fetch_add(1, std::memory_order_relaxed);
}

bool connected(const nbr14522_link *link)
{
  return link->connected.load(std::memory_order_relaxed) != 0;
}

bool cmd_code_known(uint8_t code)
{
  return code <= 0x9F && (code & 0x0F) <= 9 && code != NBR14522_ENQ && code != NBR14522_ACK &&
         code != NBR14522_WAIT && code != NBR14522_NAK;
}

uint16_t crc_of(const uint8_t *data, int length)
{
  uint16_t crc;
  crc16_init(&crc);
  crc16_update(&crc, data, length);
  return crc;
}

// An expiry is queued by another thread, so by the time it is read the timer
// may have been stopped or armed anew; only an expiry of the arming still in
// force counts.
bool expiry_current(timer_t timer, int *armed)
{
  if (!*armed)
    return false;
  struct itimerspec left;
  if (timer_gettime(timer, &left) == 0 && (left.it_value.tv_sec != 0 || left.it_value.tv_nsec != 0))
    return false;
  *armed = 0;
  return true;
}

// Reads and drops a payload that no handler wants. Writers put the whole
// payload into the pipe with its header, so these reads never block.
void drop_payload(nbr14522_link *link, int length)
{
  uint8_t sink[512];
  if (length > NBR14522_EV_MAX_PAYLOAD)
    return;
  while (length > 0) {
    ssize_t n = read(link->fd_ev[0], sink, length < static_cast<int>(sizeof sink) ? length : sizeof sink);
    if (n <= 0)
      return;
    length -= static_cast<int>(n);
  }
}

void nbr14522_ctrl_send(nbr14522_link *link, uint8_t byte)
{
  pause_1ms();
  if (write(link->fd_com, &byte, 1) < 1)
    log_limited(&link->log, LOG_ERR, "%s - ctrl send error", "nbr14522_ctrl_send");
}

void nbr14522_cmd_send(nbr14522_link *link)
{
  if (link->cmd_len <= 0)
    return;
  if (link->cmd_tries >= kMaxSends) {
    log_limited(&link->log, LOG_WARNING, "%s - command send error (%02X)", "nbr14522_cmd_send", link->cmd_buf[0]);
    link->cmd_len = 0;
    count(link->n_cmd_failed);
    nbr14522_rsp_tout_set(link, 0);
    nbr14522_enq_tout_set(link, kEnqSupervisionMs);
    return;
  }
  nbr14522_enq_tout_set(link, 0);
  pause_1ms();
  if (write(link->fd_com, link->cmd_buf, static_cast<size_t>(link->cmd_len)) != link->cmd_len) {
    log_limited(&link->log, LOG_ERR, "%s - command send error", "nbr14522_cmd_send");
    return;
  }
  // The response timer starts once the command has left the line; whatever
  // the meter sent before it had the whole command is not an answer to it.
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  tcdrain(link->fd_com);
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  link->cmd_tries++;
  tcflush(link->fd_com, TCIFLUSH);
  link->rsp_len = 0;
  nbr14522_rsp_tout_set(link, kResponseWaitMs);
}

void nbr14522_com_rsp_exec(nbr14522_link *link, int received)
{
  link->rsp_len += received;
  if (link->rsp_len < NBR14522_RSP_SIZE) {
    log_limited(&link->log, LOG_NOTICE, "nbr14522_com_rsp_exec");
    log_limited(&link->log, LOG_NOTICE, "nbr_ptr->rsp_len %u", static_cast<unsigned>(link->rsp_len));
    nbr14522_rsp_tout_set(link, kInterChunkMs);
    return;
  }
  nbr14522_rsp_tout_set(link, 0);
  link->rsp_len = 0;
  if (crc_of(link->rsp_buf, NBR14522_RSP_SIZE) != 0) {
    log_limited(&link->log, LOG_ERR, "%s - response CRC error", "nbr14522_com_rsp_exec");
    nbr14522_ctrl_send(link, NBR14522_NAK);
    count(link->n_rsp_failed);
    return;
  }
  nbr14522_ctrl_send(link, NBR14522_ACK);
  count(link->n_rsp_ok);
  if (nbr14522_rsp_fn handler = link->rsp_handler.load(std::memory_order_acquire))
    handler(link->rsp_ctx.load(std::memory_order_relaxed), link->rsp_buf, NBR14522_RSP_SIZE);
}

void com_failed(nbr14522_link *link, int priority, const char *format, const char *error)
{
  if (link->com_fail_count++ % kFailLogEvery == 0)
    syslog(priority, format, "nbr14522_com_exec", link->dev, error);
  link->com_failing = 1;
}

void nbr14522_cmd_check(nbr14522_link *link)
{
  const uint8_t code = link->cmd_buf[0];
  if (link->cmd_len != NBR14522_CMD_SIZE)
    log_limited(&link->log, LOG_WARNING, "%s - command length error (%i)", "nbr14522_cmd_check", link->cmd_len);
  if (!cmd_code_known(code))
    log_limited(&link->log, LOG_WARNING, "%s - command type unknown (%02X)", "nbr14522_cmd_check", code);
  if (crc_of(link->cmd_buf, link->cmd_len) != 0)
    log_limited(&link->log, LOG_WARNING, "%s - command CRC error (%02X)", "nbr14522_cmd_check", code);
}

void nbr14522_cmd_exec(nbr14522_link *link, int length)
{
  if (length < 1 || length > NBR14522_CMD_SIZE) {
    log_limited(&link->log, LOG_ERR, "%s - bad command length (%i)", "nbr14522_cmd_exec", length);
    drop_payload(link, length);
    return;
  }
  if (link->cmd_len != 0)
    log_limited(&link->log, LOG_WARNING, "%s - previous command (%02X) not finished yet, overriding", "nbr14522_cmd_exec",
           link->cmd_buf[0]);

  // A command that cannot be read whole is dropped: the frame it replaced is
  // already overwritten, and half a frame must never reach the meter.
  const ssize_t n = read(link->fd_ev[0], link->cmd_buf, static_cast<size_t>(length));
  if (n != length) {
    log_limited(&link->log, LOG_ERR, "%s - cannot read command: %s", "nbr14522_cmd_exec", n < 0 ? strerror(errno) : "short read");
    link->cmd_len = 0;
    return;
  }
  link->cmd_len = length;
  nbr14522_cmd_check(link);
  link->cmd_tries = 0;

  if (!connected(link)) {
    log_limited(&link->log, LOG_NOTICE, "connecting meter on %s", link->dev);
    if (ioctl(link->fd_com, TIOCCBRK) < 0)
      log_limited(&link->log, LOG_ERR, "%s - cannot %s break on %s", "nbr14522_cmd_exec", "clear", link->dev);
    link->break_on.store(0, std::memory_order_relaxed);
    link->enq_count = 0;
  }

  struct itimerspec left;
  if (timer_gettime(link->enq_timer, &left) < 0)
    log_limited(&link->log, LOG_ERR, "%s - cannot read ENQ timer: %s", "nbr14522_cmd_exec", strerror(errno));
  else if (left.it_value.tv_sec == 0 && left.it_value.tv_nsec > kFreshEnqNs)
    nbr14522_cmd_send(link);
}

void nbr14522_ev_exec(nbr14522_link *link, uint32_t id, int length)
{
  if (id == NBR14522_EV_COMMAND) {
    nbr14522_cmd_exec(link, length);
    return;
  }
  drop_payload(link, length);
  switch (id) {
  case NBR14522_EV_DISCONNECT:
    nbr14522_disconnect_exec(link);
    break;
  case NBR14522_EV_ENQ_TIMEOUT:
    if (!expiry_current(link->enq_timer, &link->enq_armed) || !connected(link))
      break;
    link->connected.store(0, std::memory_order_relaxed);
    count(link->n_conn_lost);
    log_limited(&link->log, LOG_NOTICE, "meter disconnected on %s", link->dev);
    break;
  case NBR14522_EV_RSP_TIMEOUT:
    if (!expiry_current(link->rsp_timer, &link->rsp_armed))
      break;
    log_limited(&link->log, LOG_WARNING, "response timeout on %s", link->dev);
    nbr14522_cmd_send(link);
    break;
  default:
    log_limited(&link->log, LOG_WARNING, "%s - event unknown, id=%i", "nbr14522_ev_exec", static_cast<int>(id));
    break;
  }
}

void watch(int fd, fd_set *set, int *highest)
{
  if (fd < 0 || fd >= FD_SETSIZE)
    return;
  FD_SET(fd, set);
  if (fd > *highest)
    *highest = fd;
}

}  // namespace

void nbr14522_disconnect_exec(nbr14522_link *link)
{
  if (connected(link)) {
    link->cmd_len = 0;
    nbr14522_rsp_tout_set(link, 0);
    nbr14522_enq_tout_set(link, 0);
    link->connected.store(0, std::memory_order_relaxed);
    count(link->n_disconnected);
    log_limited(&link->log, LOG_NOTICE, "disconnecting meter on %s", link->dev);
  }
  link->break_on.store(1, std::memory_order_relaxed);
  if (ioctl(link->fd_com, TIOCSBRK) < 0)
    log_limited(&link->log, LOG_ERR, "%s - cannot %s break on %s", "nbr14522_disconnect_exec", "set", link->dev);
}

void nbr14522_com_exec(nbr14522_link *link)
{
  const int want = link->rsp_len == 0 ? 1 : NBR14522_RSP_SIZE - link->rsp_len;
  const ssize_t n = read(link->fd_com, link->rsp_buf + link->rsp_len, static_cast<size_t>(want));
  if (n < 0) {
    if (errno == EAGAIN)
      link->com_failing = 0;  // nothing to read, but the line answers
    else if (errno != EINTR)
      com_failed(link, LOG_ERR, "%s - %s read error: %s", strerror(errno));
    return;
  }
  if (n == 0) {
    com_failed(link, LOG_WARNING, "%s - %s closed", nullptr);
    return;
  }
  link->com_failing = 0;
  link->com_fail_count = 0;

  if (link->break_on.load(std::memory_order_relaxed))
    return;
  if (link->rsp_len != 0) {
    nbr14522_com_rsp_exec(link, static_cast<int>(n));
    return;
  }

  switch (link->rsp_buf[0]) {
  case NBR14522_ENQ:
    if (!connected(link)) {
      link->connected.store(1, std::memory_order_relaxed);
      count(link->n_connected);
      log_limited(&link->log, LOG_NOTICE, "meter connected on %s", link->dev);
    }
    nbr14522_enq_tout_set(link, kEnqSupervisionMs);
    // Saturates rather than wrapping after years of idle ENQs.
    if (link->enq_count <= kEnqsBeforeSend)
      link->enq_count++;
    if (link->enq_count > kEnqsBeforeSend)
      nbr14522_cmd_send(link);
    break;
  case NBR14522_ACK:
    log_limited(&link->log, LOG_WARNING, "ACK received on %s", link->dev);
    break;
  case NBR14522_WAIT:
    log_limited(&link->log, LOG_NOTICE, "WAIT received on %s", link->dev);
    nbr14522_rsp_tout_set(link, 0);
    nbr14522_enq_tout_set(link, kWaitSupervisionMs);
    break;
  case NBR14522_NAK:
    log_limited(&link->log, LOG_WARNING, "NAK received on %s", link->dev);
    nbr14522_cmd_send(link);
    break;
  default:
    // Any other byte starts a response, which ends the pending command
    // whether or not it was sent.
    if (link->cmd_tries > 0)
      count(link->n_cmd_ok);
    link->cmd_len = 0;
    nbr14522_rsp_tout_set(link, kInterChunkMs);
    link->rsp_len = 1;
    break;
  }
}

void nbr14522_pipe_exec(nbr14522_link *link)
{
  uint8_t header[NBR14522_EV_HEADER_SIZE];
  const ssize_t n = read(link->fd_ev[0], header, sizeof header);
  if (n != static_cast<ssize_t>(sizeof header)) {
    const char *why = n < 0 ? strerror(errno) : n == 0 ? "closed" : "bad event length";
    log_limited(&link->log, LOG_ERR, "%s - pipe read error: %s", "nbr14522_pipe_exec", why);
    return;
  }
  uint32_t id;
  int32_t length;
  memcpy(&id, header, 4);
  memcpy(&length, header + 4, 4);
  nbr14522_ev_exec(link, id, length);
}

void *nbr14522_main(void *arg)
{
  auto *link = static_cast<nbr14522_link *>(arg);
  // Two 1 ms pauses lie on every read's path, and the kernel's default timer
  // slack (50 us) would stretch each of them; the thread's other timed waits
  // last a second and do not mind.
  prctl(PR_SET_TIMERSLACK, 1UL);
  thread_cancel_off();
  // The meter starts disconnected: hold the break until the first command.
  nbr14522_disconnect_exec(link);
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    int highest = -1;
    const bool failing = link->com_failing != 0;
    if (!failing)
      watch(link->fd_com, &readable, &highest);
    watch(link->fd_ev[0], &readable, &highest);
    struct timeval probe = {kProbeSeconds, 0};
    const int ready = thread_select(highest + 1, &readable, failing ? &probe : nullptr);
    if (ready < 0) {
      syslog(LOG_ERR, "%s - select error: %s", "nbr14522_main", strerror(errno));
      sleep(1);
      continue;
    }
    if (failing || (link->fd_com >= 0 && FD_ISSET(link->fd_com, &readable)))
      nbr14522_com_exec(link);
    if (link->fd_ev[0] >= 0 && FD_ISSET(link->fd_ev[0], &readable))
      nbr14522_pipe_exec(link);
  }
  return nullptr;
}
