// SPDX-License-Identifier: MIT
// The link thread: the reading side of NBR 14522 against one meter.
//
// One thread per link, blocked in select on the serial line and the event
// channel; every protocol timing comes from the link's two one-shot timers,
// whose expiries arrive as events. select has a time-out only while a piece
// of a command is held, a send waits for the line to fall quiet, or a lost
// line waits to be opened again. This thread alone touches the line, the
// protocol state and the counters. It may be cancelled only where it waits
// (select, and tcdrain, which a wedged adapter could hold for good);
// everything it does in between is quick and never waits for another
// thread: the pipes it writes are non-blocking. Every line that the meter or
// the AMR client can make it log goes through one of the link's rate limits.
//
// What keeps a reading with the command it answers, whatever the meter's
// timing:
// - One command is in flight at a time: from its first write until a whole
//   good frame answers it (a composed command: its last frame), it is given
//   up after 7 sends, or its client leaves or sends the next.
// - A frame answers the command in flight only if it started after that
//   command was written (the line is read empty before every write, and no
//   write happens while a frame comes in) and carries its code or an
//   information code. Any other good frame is acknowledged and dropped.
// - A command goes out only when the meter can no longer answer an earlier
//   one: every send it may still answer (see `owed`) has been answered, or
//   the time it takes to answer has passed.
// - Nothing read after a write is thrown away: an ENQ that crossed the
//   command (it comes at once, or with the response right behind it) asks for
//   nothing.

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/socket.h"
#include "common/thread.h"
#include "nbr14522/engine.h"

namespace {

constexpr int kEnqSupervisionMs = 501;
constexpr int kWaitSupervisionMs = 305000;
constexpr int kResponseWaitMs = 501;
// A response must be whole this long after its first byte: the line time of
// 258 bytes at 9600 baud 8N1 (269 ms), plus what drivers add on the way (a
// USB adapter's 16 ms latency timer, FIFO thresholds) and a busy board's
// scheduling. Gaps between chunks do not count on their own: drivers hand a
// response over in chunks up to a latency timer apart.
constexpr int kFrameLineMs = (NBR14522_RSP_SIZE * 10 * 1000 + 9599) / 9600;
constexpr int kFrameMs = kFrameLineMs + 100;
static_assert(kFrameLineMs == 269, "258 bytes at 9600 baud 8N1");
constexpr int kMaxSends = 7;
// After the break is released, commands go out from the third ENQ on.
constexpr unsigned kEnqsBeforeSend = 2;
// Once a command arrives, it goes out at once if an ENQ came within the last
// ~11 ms, that is while the 501 ms ENQ timer still has more than 490 ms left.
constexpr long kFreshEnqNs = 489999999;
// An ENQ that comes this soon after the command left the line was sent
// before the meter had the command: a byte time on the line plus a USB
// adapter's latency timer, and well below any meter's ENQ period.
constexpr int64_t kCrossingMs = 25;
// What a late answer may take beyond the meter's last answering time.
constexpr int64_t kQuietSlackMs = 50;
// A piece of a command waits this long for the next piece, and the pieces of
// one command no longer than the second figure in all: long enough for a
// redirector that passes a 9600-baud command on as it comes (69 ms), short
// against the meter's ENQ period.
constexpr int64_t kHoldGapMs = 50;
constexpr int64_t kHoldMaxMs = 250;
// How often a lost line's path is tried again.
constexpr int64_t kReopenMs = 1000;

void pause_before_write(const nbr14522_link *link)
{
  if (link->pause_ns <= 0)
    return;
  struct timespec pause = {0, link->pause_ns};
  nanosleep(&pause, nullptr);
}

void count(std::atomic<uint32_t> &counter)
{
  counter.fetch_add(1, std::memory_order_relaxed);
}

// One event into the channel's trace ring: a few stores, never a wait.
void note(nbr14522_link *link, uint32_t kind, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0)
{
  const uint32_t args[] = {a, b, c};
  trace_add(link->trace, kind, args, 3);
}

// ENQs come every few hundred ms for as long as the meter idles: a run of
// them with nothing else between is one record, counted in place.
void note_enq(nbr14522_link *link)
{
  if (link->enq_run != 0 && trace_fold(link->trace, link->enq_run - 1))
    return;
  link->enq_run = trace_add(link->trace, NBR14522_TRACE_ENQ) + 1;
}

bool connected(const nbr14522_link *link)
{
  return link->connected.load(std::memory_order_relaxed) != 0;
}

bool line_open(const nbr14522_link *link)
{
  return link->fd_com >= 0;
}

// Bytes the line holds that the link has not read yet.
int line_waiting(const nbr14522_link *link)
{
  int waiting = 0;
  if (!line_open(link) || ioctl(link->fd_com, FIONREAD, &waiting) < 0)
    return 0;
  return waiting;
}

bool in_flight(const nbr14522_link *link)
{
  return link->cmd_len > 0 && link->cmd_tries > 0;
}

bool cmd_code_known(uint8_t code)
{
  return code <= 0x9F && (code & 0x0F) <= 9 && !nbr14522_is_control(code);
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

// Break held or released on the line as `break_on` says; a lost line gets
// it when it is back.
void line_break(nbr14522_link *link, const char *who)
{
  if (!line_open(link))
    return;
  const bool on = link->break_on.load(std::memory_order_relaxed) != 0;
  if (ioctl(link->fd_com, on ? TIOCSBRK : TIOCCBRK) < 0)
    log_limited(&link->log, LOG_ERR, "%s - cannot %s break on %s", who, on ? "set" : "clear", link->dev);
}

// Nothing more is owed: a command may go out at the meter's next ENQ.
void owed_clear(nbr14522_link *link)
{
  link->owed = 0;
  link->quiet_until = 0;
}

// One send the meter may still have answered is accounted for.
void owed_settle(nbr14522_link *link)
{
  if (link->owed > 0 && --link->owed == 0)
    link->quiet_until = 0;
}

// Whether an answer to an earlier send may still come: then no other
// command may go out, or that answer would pass for its.
bool owed_pending(nbr14522_link *link)
{
  if (link->owed == 0)
    return false;
  if (link->quiet_until != 0 && clock_now_ms() >= link->quiet_until) {
    owed_clear(link);
    return false;
  }
  return true;
}

// The line failed: it is closed, and its path opened again once a second,
// for the adapter may come back (a USB converter plugged in again, a device
// link pointed at a new line). A response half received is lost with it;
// a command in flight goes out again when the meter asks.
// `error` is the failed read's errno, 0 for end of file.
void line_lost(nbr14522_link *link, int error)
{
  log_limited(&link->log, LOG_WARNING, "line lost on %s: %s", link->dev, error ? strerror(error) : "end of file");
  note(link, NBR14522_TRACE_LINE_LOST, static_cast<uint32_t>(error));
  close(link->fd_com);
  link->fd_com = -1;
  link->line_up.store(0, std::memory_order_relaxed);
  link->rsp_len = 0;
  link->send_due = 0;
  owed_clear(link);
  link->reopen_at = clock_now_ms() + kReopenMs;
}

void line_reopen(nbr14522_link *link)
{
  if (!nbr14522_line_open(link, &link->reopen_log)) {
    link->reopen_at = clock_now_ms() + kReopenMs;
    return;
  }
  link->reopen_at = 0;
  line_break(link, "nbr14522_line_reopen");
  log_limited(&link->notices, LOG_NOTICE, "line back on %s", link->dev);
  note(link, NBR14522_TRACE_LINE_BACK);
}

// Writes one control byte; `pause` false when the caller has paused already.
void nbr14522_ctrl_send(nbr14522_link *link, uint8_t byte, bool pause = true)
{
  if (!line_open(link))
    return;
  if (pause)
    pause_before_write(link);
  if (write(link->fd_com, &byte, 1) < 1) {
    log_limited(&link->log, LOG_ERR, "%s - ctrl send error", "nbr14522_ctrl_send");
    return;
  }
  if (byte == NBR14522_ACK || byte == NBR14522_NAK)
    note(link, byte == NBR14522_ACK ? NBR14522_TRACE_ACK_SENT : NBR14522_TRACE_NAK_SENT);
}

// A send goes out once the line has been read empty (nbr14522_due_exec).
void send_ask(nbr14522_link *link)
{
  link->send_due = 1;
}

// The command in flight leaves it unanswered (`why`: NBR14522_GONE_*). An
// answer it may still get is dropped, and the next command waits until the
// meter can no longer send one.
void cmd_gone(nbr14522_link *link, uint32_t why)
{
  link->gone_code = link->cmd_buf[0];
  link->gone_why = why;
  link->cmd_len = 0;
  link->answering = 0;
  link->send_due = 0;
  if (link->owed > 0) {
    const int64_t takes = link->answer_ms > kResponseWaitMs ? link->answer_ms : kResponseWaitMs;
    link->quiet_until = link->owed_last_ms + takes + kQuietSlackMs;
  }
  // A frame coming in keeps its bound; nothing else is waited for now.
  if (link->rsp_len == 0 && link->rsp_armed)
    nbr14522_rsp_tout_set(link, 0);
}

void give_up(nbr14522_link *link)
{
  count(link->n_cmd_failed);
  log_limited(&link->log, LOG_WARNING, "%s - command send error (%02X)", "nbr14522_cmd_send", link->cmd_buf[0]);
  note(link, NBR14522_TRACE_CMD_GIVEN_UP, link->cmd_buf[0], static_cast<uint32_t>(link->cmd_tries));
  cmd_gone(link, NBR14522_GONE_GIVEN_UP);
  nbr14522_rsp_tout_set(link, 0);
  nbr14522_enq_tout_set(link, kEnqSupervisionMs);
}

// A byte other than a control byte starts a frame. Whatever was about to be
// sent waits: the frame decides. It answers the command in flight if its
// code fits; it cannot answer a command not yet written.
void response_start(nbr14522_link *link)
{
  link->send_due = 0;
  link->waited = 0;
  link->rsp_broken = 0;
  link->rsp_answers = in_flight(link) && nbr14522_answers(link->cmd_buf[0], link->rsp_buf[0]);
  link->rsp_start_ms = clock_now_ms();
  nbr14522_rsp_tout_set(link, kFrameMs);
  link->rsp_len = 1;
  note(link, NBR14522_TRACE_RSP_STARTED, link->rsp_buf[0]);
}

// A good frame that answers no command in flight: the meter has it
// acknowledged (or it would send it again), nobody gets it.
void response_drop(nbr14522_link *link)
{
  const uint8_t code = link->rsp_buf[0];
  const bool late = link->gone_why != 0 && nbr14522_answers(link->gone_code, code);
  const uint32_t why = late ? link->gone_why : 0;
  count(link->n_rsp_dropped);
  note(link, NBR14522_TRACE_RSP_DROPPED, code, why);
  if (why == NBR14522_GONE_REPLACED)
    log_limited(&link->notices, LOG_NOTICE, "%s - response for a replaced client dropped", "nbr14522_com_rsp_exec");
  else
    log_limited(&link->notices, LOG_NOTICE, "%s - response (%02X) answering no command dropped",
                "nbr14522_com_rsp_exec", code);
  owed_settle(link);
}

// Counts an answered command by how long it took since it came.
void read_took(nbr14522_link *link, int64_t ms)
{
  int bucket = 0;
  while (bucket < NBR14522_READ_BUCKETS && ms > NBR14522_READ_BUCKETS_MS[bucket])
    bucket++;
  count(link->reads[bucket]);
  link->read_ms.fetch_add(static_cast<uint64_t>(ms > 0 ? ms : 0), std::memory_order_relaxed);
}

// A good frame that answers the command in flight goes to the command's
// client; the last frame of the answer completes the command.
void response_deliver(nbr14522_link *link)
{
  count(link->n_rsp_ok);
  uint32_t meter;
  memcpy(&meter, link->rsp_buf + 1, sizeof meter);
  link->meter_number.store(meter, std::memory_order_relaxed);
  link->last_answer_s.store(static_cast<uint32_t>(time(nullptr)), std::memory_order_relaxed);
  if (!link->answering) {
    link->answer_ms = link->rsp_start_ms - link->owed_first_ms;
    owed_settle(link);
  }
  link->rsp_session = link->cmd_session;
  // The counts are in before the answer leaves: whoever hears of it next (a
  // status request right after the read) finds them.
  const bool last = nbr14522_is_last(link->cmd_buf[0], link->rsp_buf);
  if (last) {
    count(link->n_cmd_ok);
    read_took(link, clock_now_ms() - link->cmd_arrived_ms);
  }
  if (nbr14522_rsp_fn handler = link->rsp_handler.load(std::memory_order_acquire))
    handler(link->rsp_ctx.load(std::memory_order_relaxed), link->rsp_buf, NBR14522_RSP_SIZE);
  if (!last) {
    // More frames follow, each after our ACK.
    link->answering = 1;
    link->sent_ms = clock_now_ms();
    nbr14522_rsp_tout_set(link, kResponseWaitMs);
    return;
  }
  cmd_gone(link, NBR14522_GONE_ANSWERED);
}

void nbr14522_com_rsp_exec(nbr14522_link *link, int received)
{
  link->rsp_len += received;
  if (link->rsp_len < NBR14522_RSP_SIZE) {
    log_limited(&link->progress, LOG_NOTICE, "nbr14522_com_rsp_exec");
    log_limited(&link->progress, LOG_NOTICE, "nbr_ptr->rsp_len %u", static_cast<unsigned>(link->rsp_len));
    return;
  }
  nbr14522_rsp_tout_set(link, 0);
  link->rsp_len = 0;
  const bool good = nbr14522_frame_ok(link->rsp_buf, NBR14522_RSP_SIZE);
  const uint32_t args[] = {link->rsp_buf[0], good};
  trace_add(link->trace, NBR14522_TRACE_RSP_COMPLETE, args, 2, link->rsp_buf + 1, 4);
  // Its client may have gone while it came in.
  const bool answers = link->rsp_answers && in_flight(link);
  if (!good) {
    count(link->n_rsp_failed);
    log_limited(&link->log, LOG_ERR, "%s - response CRC error", "nbr14522_com_rsp_exec");
    nbr14522_ctrl_send(link, NBR14522_NAK);
    // The meter sends it again.
    if (answers)
      nbr14522_rsp_tout_set(link, kResponseWaitMs);
    return;
  }
  nbr14522_ctrl_send(link, NBR14522_ACK);
  if (answers)
    response_deliver(link);
  else
    response_drop(link);
}

// A frame that stopped half way, or no frame at all after a send: the
// command (or, between a composed answer's frames, our ACK) goes out again.
void rsp_timeout_exec(nbr14522_link *link)
{
  log_limited(&link->log, LOG_WARNING, "response timeout on %s", link->dev);
  note(link, NBR14522_TRACE_RSP_TIMEOUT, static_cast<uint32_t>(link->rsp_len));
  if (link->rsp_len > 0) {
    link->rsp_len = 0;
    link->rsp_broken = link->answering;
    owed_settle(link);
  }
  if (in_flight(link))
    send_ask(link);
}

// Writes the command in flight again, or the pending one for the first
// time. Runs only with the line read empty and no frame coming in.
void nbr14522_cmd_send(nbr14522_link *link)
{
  if (link->cmd_len <= 0)
    return;
  if (link->cmd_tries >= kMaxSends) {
    give_up(link);
    return;
  }
  const bool fresh = link->cmd_tries == 0;
  if (!line_open(link) || (fresh && !link->answering && owed_pending(link)))
    return;  // stays pending until the line is back, or the meter is free, and asks
  // The pause before the write: what the meter sends meanwhile is read, and
  // decides, first.
  pause_before_write(link);
  if (line_waiting(link) > 0) {
    send_ask(link);
    return;
  }
  if (link->answering) {
    // Between a composed answer's frames the meter asks for our ACK again,
    // or a frame that stopped half way is asked for again.
    link->cmd_tries++;
    nbr14522_ctrl_send(link, link->rsp_broken ? NBR14522_NAK : NBR14522_ACK, false);
    link->rsp_broken = 0;
    link->sent_ms = clock_now_ms();
    nbr14522_rsp_tout_set(link, kResponseWaitMs);
    return;
  }
  nbr14522_enq_tout_set(link, 0);
  if (write(link->fd_com, link->cmd_buf, static_cast<size_t>(link->cmd_len)) != link->cmd_len) {
    log_limited(&link->log, LOG_ERR, "%s - command send error", "nbr14522_cmd_send");
    return;
  }
  // The response timer starts once the command has left the line.
  thread_cancel_on();
  tcdrain(link->fd_com);
  thread_cancel_off();
  const int64_t now = clock_now_ms();
  if (fresh) {
    link->owed = 0;
    link->gone_why = 0;
  }
  if (link->owed++ == 0)
    link->owed_first_ms = now;
  link->owed_last_ms = now;
  link->quiet_until = 0;
  link->sent_ms = now;
  link->cmd_tries++;
  note(link, NBR14522_TRACE_CMD_WRITTEN, link->cmd_buf[0], static_cast<uint32_t>(link->cmd_tries), kMaxSends);
  nbr14522_rsp_tout_set(link, kResponseWaitMs);
}

void enq_exec(nbr14522_link *link)
{
  if (!connected(link)) {
    link->connected.store(1, std::memory_order_relaxed);
    count(link->n_connected);
    log_limited(&link->notices, LOG_NOTICE, "meter connected on %s", link->dev);
    note(link, NBR14522_TRACE_METER_CONNECTED);
  }
  nbr14522_enq_tout_set(link, kEnqSupervisionMs);
  // Saturates rather than wrapping after years of idle ENQs.
  if (link->enq_count <= kEnqsBeforeSend)
    link->enq_count++;
  if (link->waited) {
    // Back from the WAIT: it had the command, dropped it, and asks again.
    link->waited = 0;
    owed_clear(link);
  } else if (in_flight(link) && clock_now_ms() - link->sent_ms < kCrossingMs) {
    // Sent before the meter had what we last sent: it asks for nothing.
    note(link, NBR14522_TRACE_ENQ_CROSSED);
    return;
  }
  note_enq(link);
  if (link->cmd_len > 0 && link->enq_count > kEnqsBeforeSend && (in_flight(link) || !owed_pending(link)))
    send_ask(link);
}

// Returns whether the command's CRC is good.
bool nbr14522_cmd_check(nbr14522_link *link)
{
  const uint8_t code = link->cmd_buf[0];
  if (link->cmd_len != NBR14522_CMD_SIZE)
    log_limited(&link->log, LOG_WARNING, "%s - command length error (%i)", "nbr14522_cmd_check", link->cmd_len);
  if (!cmd_code_known(code))
    log_limited(&link->log, LOG_WARNING, "%s - command type unknown (%02X)", "nbr14522_cmd_check", code);
  if (nbr14522_frame_ok(link->cmd_buf, link->cmd_len))
    return true;
  log_limited(&link->log, LOG_WARNING, "%s - command CRC error (%02X)", "nbr14522_cmd_check", code);
  return false;
}

// A whole command (or what there is of one), whose first piece came at
// `arrived_ms`, becomes the pending command of the client served now, unless
// its code is not let through.
void cmd_take(nbr14522_link *link, const uint8_t *data, int length, int64_t arrived_ms)
{
  if (link->cmd_filter && !link->cmd_allowed[data[0]]) {
    count(link->n_cmd_refused);
    note(link, NBR14522_TRACE_CMD_REFUSED, data[0]);
    log_limited(&link->log, LOG_WARNING, "command (%02X) refused on %s", data[0], link->dev);
    return;
  }
  if (link->cmd_len != 0)
    log_limited(&link->log, LOG_WARNING, "%s - previous command (%02X) not finished yet, overriding",
                "nbr14522_cmd_exec", link->cmd_buf[0]);
  if (in_flight(link))
    cmd_gone(link, NBR14522_GONE_NEXT);
  memcpy(link->cmd_buf, data, static_cast<size_t>(length));
  link->cmd_len = length;
  link->cmd_session = link->session;
  link->cmd_arrived_ms = arrived_ms;
  const bool good = nbr14522_cmd_check(link);
  note(link, NBR14522_TRACE_CMD_RECEIVED, link->cmd_buf[0], static_cast<uint32_t>(length), good);
  link->cmd_tries = 0;
  link->send_due = 0;

  if (!connected(link)) {
    log_limited(&link->notices, LOG_NOTICE, "connecting meter on %s", link->dev);
    if (link->break_on.exchange(0, std::memory_order_relaxed) != 0)
      note(link, NBR14522_TRACE_BREAK_RELEASED);
    line_break(link, "nbr14522_cmd_exec");
    link->enq_count = 0;
  }

  // Only the whole remaining time tells that an ENQ has just come: the
  // fraction of the 305 s that a WAIT sets says nothing.
  struct itimerspec left;
  if (timer_gettime(link->enq_timer, &left) < 0)
    log_limited(&link->log, LOG_ERR, "%s - cannot read ENQ timer: %s", "nbr14522_cmd_exec", strerror(errno));
  else if (left.it_value.tv_sec == 0 && left.it_value.tv_nsec > kFreshEnqNs && link->rsp_len == 0)
    send_ask(link);
}

// The pieces held so far go on as they are, as a command of their own.
void hold_flush(nbr14522_link *link)
{
  if (link->hold_len == 0)
    return;
  const int length = link->hold_len;
  link->hold_len = 0;
  cmd_take(link, link->hold_buf, length, link->hold_first);
}

int64_t hold_deadline(const nbr14522_link *link)
{
  if (link->hold_len == 0)
    return 0;
  return clock_earliest(link->hold_first + kHoldMaxMs, link->hold_last + kHoldGapMs);
}

// A whole command goes on at once. A shorter piece is held and joined with
// the pieces that follow until a whole command is in or its time is up; a
// piece that would make the command too long sends what was held on alone.
void nbr14522_cmd_exec(nbr14522_link *link, int length)
{
  if (length < 1 || length > NBR14522_CMD_SIZE) {
    hold_flush(link);
    log_limited(&link->log, LOG_ERR, "%s - bad command length (%i)", "nbr14522_cmd_exec", length);
    note(link, NBR14522_TRACE_CMD_DROPPED, 0, static_cast<uint32_t>(length), NBR14522_DROPPED_LENGTH);
    drop_payload(link, length);
    return;
  }
  uint8_t piece[NBR14522_CMD_SIZE];
  const ssize_t n = read(link->fd_ev[0], piece, static_cast<size_t>(length));
  if (n != length) {
    log_limited(&link->log, LOG_ERR, "%s - cannot read command: %s", "nbr14522_cmd_exec",
                n < 0 ? strerror(errno) : "short read");
    return;
  }
  if (link->hold_len + length > NBR14522_CMD_SIZE)
    hold_flush(link);
  const int64_t now = clock_now_ms();
  if (length == NBR14522_CMD_SIZE) {
    cmd_take(link, piece, length, now);
    return;
  }
  if (link->hold_len == 0)
    link->hold_first = now;
  link->hold_last = now;
  memcpy(link->hold_buf + link->hold_len, piece, static_cast<size_t>(length));
  link->hold_len += length;
  if (link->hold_len == NBR14522_CMD_SIZE)
    hold_flush(link);
}

// A new client is served: what the one before left pending is no longer
// wanted, and an answer to it will not be delivered. Its command may still
// be at the meter: the new client's goes out at the meter's next ENQ.
void nbr14522_session_exec(nbr14522_link *link, int length)
{
  uint32_t session;
  if (length != static_cast<int>(sizeof session) ||
      read(link->fd_ev[0], &session, sizeof session) != static_cast<ssize_t>(sizeof session)) {
    log_limited(&link->log, LOG_ERR, "%s - bad session event (%i)", "nbr14522_ev_exec", length);
    drop_payload(link, length);
    return;
  }
  link->session = session;
  link->hold_len = 0;
  if (link->cmd_len > 0 && link->cmd_session != session) {
    log_limited(&link->notices, LOG_NOTICE, "%s - command (%02X) of a replaced client dropped", "nbr14522_ev_exec",
                link->cmd_buf[0]);
    note(link, NBR14522_TRACE_CMD_DROPPED, link->cmd_buf[0], static_cast<uint32_t>(link->cmd_len),
         NBR14522_DROPPED_REPLACED);
    if (in_flight(link))
      cmd_gone(link, NBR14522_GONE_REPLACED);
    link->cmd_len = 0;
    link->send_due = 0;
  }
}

void nbr14522_ev_exec(nbr14522_link *link, uint32_t id, int length)
{
  if (id == NBR14522_EV_COMMAND) {
    nbr14522_cmd_exec(link, length);
    return;
  }
  if (id == NBR14522_EV_SESSION) {
    nbr14522_session_exec(link, length);
    return;
  }
  drop_payload(link, length);
  switch (id) {
  case NBR14522_EV_DISCONNECT:
    // What the client sent before it left goes on as it would have if it had
    // been whole: a meter still connecting keeps it pending.
    hold_flush(link);
    nbr14522_disconnect_exec(link);
    break;
  case NBR14522_EV_ENQ_TIMEOUT:
    if (!expiry_current(link->enq_timer, &link->enq_armed) || !connected(link))
      break;
    link->connected.store(0, std::memory_order_relaxed);
    count(link->n_conn_lost);
    log_limited(&link->notices, LOG_NOTICE, "meter disconnected on %s", link->dev);
    note(link, NBR14522_TRACE_METER_LOST);
    break;
  case NBR14522_EV_RSP_TIMEOUT:
    if (expiry_current(link->rsp_timer, &link->rsp_armed))
      rsp_timeout_exec(link);
    break;
  default:
    log_limited(&link->log, LOG_WARNING, "%s - event unknown, id=%i", "nbr14522_ev_exec", static_cast<int>(id));
    break;
  }
}

}  // namespace

void nbr14522_disconnect_exec(nbr14522_link *link)
{
  if (connected(link)) {
    if (in_flight(link))
      cmd_gone(link, NBR14522_GONE_LEFT);
    link->cmd_len = 0;
    link->send_due = 0;
    nbr14522_rsp_tout_set(link, 0);
    nbr14522_enq_tout_set(link, 0);
    link->connected.store(0, std::memory_order_relaxed);
    count(link->n_disconnected);
    log_limited(&link->notices, LOG_NOTICE, "disconnecting meter on %s", link->dev);
  }
  // A frame half in is of no use now, and must not take in the next
  // session's first bytes.
  link->rsp_len = 0;
  if (link->break_on.exchange(1, std::memory_order_relaxed) == 0)
    note(link, NBR14522_TRACE_BREAK_HELD);
  line_break(link, "nbr14522_disconnect_exec");
}

void nbr14522_com_exec(nbr14522_link *link)
{
  if (!line_open(link))
    return;
  const int want = link->rsp_len == 0 ? 1 : NBR14522_RSP_SIZE - link->rsp_len;
  const ssize_t n = read(link->fd_com, link->rsp_buf + link->rsp_len, static_cast<size_t>(want));
  if (n < 0) {
    if (errno != EAGAIN && errno != EINTR)
      line_lost(link, errno);
    return;
  }
  if (n == 0) {
    line_lost(link, 0);
    return;
  }

  if (link->break_on.load(std::memory_order_relaxed))
    return;
  if (link->rsp_len != 0) {
    nbr14522_com_rsp_exec(link, static_cast<int>(n));
    return;
  }

  switch (link->rsp_buf[0]) {
  case NBR14522_ENQ:
    enq_exec(link);
    break;
  case NBR14522_ACK:
    log_limited(&link->log, LOG_WARNING, "ACK received on %s", link->dev);
    note(link, NBR14522_TRACE_ACK_RECEIVED);
    break;
  case NBR14522_WAIT:
    log_limited(&link->notices, LOG_NOTICE, "WAIT received on %s", link->dev);
    note(link, NBR14522_TRACE_WAIT_RECEIVED);
    link->send_due = 0;
    link->waited = 1;
    nbr14522_rsp_tout_set(link, 0);
    nbr14522_enq_tout_set(link, kWaitSupervisionMs);
    break;
  case NBR14522_NAK:
    log_limited(&link->log, LOG_WARNING, "NAK received on %s", link->dev);
    note(link, NBR14522_TRACE_NAK_RECEIVED);
    // The meter refused the send: it will not answer that one.
    owed_settle(link);
    if (in_flight(link))
      send_ask(link);
    break;
  default:
    response_start(link);
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

int64_t nbr14522_due(const nbr14522_link *link)
{
  // A send is due at once: the loop reads what the line holds, then sends.
  const int64_t send = link->send_due ? clock_now_ms() : 0;
  return clock_earliest(clock_earliest(hold_deadline(link), send), line_open(link) ? 0 : link->reopen_at);
}

void nbr14522_due_exec(nbr14522_link *link)
{
  const int64_t now = clock_now_ms();
  const int64_t held = hold_deadline(link);
  if (held != 0 && held <= now)
    hold_flush(link);
  if (!line_open(link) && link->reopen_at <= now)
    line_reopen(link);
  // A frame coming in, or bytes not read yet, decide first; what the meter
  // sends in the pause before the write decides too.
  if (!link->send_due || link->rsp_len > 0 || line_waiting(link) > 0)
    return;
  link->send_due = 0;
  nbr14522_cmd_send(link);
}

void *nbr14522_main(void *arg)
{
  auto *link = static_cast<nbr14522_link *>(arg);
  // Two 1 ms pauses lie on every read's path, and the kernel's default timer
  // slack (50 us) would stretch each of them; the thread's other timed waits
  // are tens of milliseconds or more and do not mind.
  prctl(PR_SET_TIMERSLACK, 1UL);
  thread_cancel_off();
  // The meter starts disconnected: hold the break until the first command.
  nbr14522_disconnect_exec(link);
  for (;;) {
    nbr14522_due_exec(link);
    fd_set readable;
    FD_ZERO(&readable);
    socket_watch(link->fd_com, &readable);
    socket_watch(link->fd_ev[0], &readable);
    int highest = -1;
    for (int fd : {link->fd_com, link->fd_ev[0]}) {
      if (fd < FD_SETSIZE && fd > highest)
        highest = fd;
    }
    struct timeval tv;
    const int ready = thread_select(highest + 1, &readable, clock_timeout(nbr14522_due(link), &tv));
    if (ready < 0) {
      syslog(LOG_ERR, "%s - select error: %s", "nbr14522_main", strerror(errno));
      sleep(1);
      continue;
    }
    if (socket_ready(link->fd_com, &readable))
      nbr14522_com_exec(link);
    if (socket_ready(link->fd_ev[0], &readable))
      nbr14522_pipe_exec(link);
  }
  return nullptr;
}
