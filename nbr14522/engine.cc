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
// The command and the frame each have a phase (nbr14522.h), changed only by
// cmd_enter and frame_enter; nbr14522_rules_broken, at the end of this file,
// is the contract they keep, checked after every event in checking builds.
// What keeps a reading with the command it answers, whatever the meter:
// - One command is in flight at a time, and each of its sends is owed until
//   the meter answers it (a frame), refuses it (NAK), or can no longer
//   answer it. A meter answers in the order it was sent to, so the oldest
//   owed send is the one a frame answers: the frame goes to the command in
//   flight only if that send is the command's, and its code fits. Anything
//   else is acknowledged and dropped; when in doubt, a frame is dropped (a
//   resend costs half a second, a wrong reading a bill).
// - No other command goes out while the meter owes anything.
// - Nothing is written while a frame comes in, and the line is read empty
//   before every write; nothing read after a write is thrown away.
// - A frame ends at its 258th byte or when its bytes stop, never at a clock
//   that a slow but steady meter could outlast.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
constexpr int kMaxSends = 7;
// After the break is released, commands go out from the third ENQ on.
constexpr unsigned kEnqsBeforeSend = 2;
// Once a command arrives, it goes out at once if an ENQ came within the last
// ~11 ms, that is while the 501 ms ENQ timer still has more than 490 ms left.
constexpr long kFreshEnqNs = 489999999;
// A frame's bytes have stopped when none came for this long: three times
// the 16 ms latency timer of a USB adapter, which hands bytes over in
// chunks that far apart, and 25 times the slowest pacing a meter may keep
// (2 ms a byte), yet well within the 200 ms that meters usually leave
// between ENQs, so that an ENQ after a frame cut short starts afresh.
constexpr int kFrameGapMs = 50;
// The rest of a frame given up is dropped until the line falls silent, but
// no longer than the longest frame could take (258 bytes 2 ms apart): a
// meter that never falls silent is heard again after that.
constexpr int64_t kDrainMaxMs = NBR14522_RSP_SIZE * 2 + kFrameGapMs;
// An ENQ this soon after a command left the line was sent before the meter
// had it (a byte time, plus an adapter's latency timer), and asks for
// nothing; but never longer than half the meter's own ENQ period, or it
// would swallow an ENQ that says the meter missed the command.
constexpr int64_t kCrossingMs = 20;
// What a late answer may take beyond the meter's answering time.
constexpr int64_t kQuietSlackMs = 50;
// No meter is waited for longer than all its sends' response waits.
constexpr int64_t kMaxAnswerMs = kMaxSends * kResponseWaitMs;
// A line that returns what is written has it back as it leaves: within an
// adapter's latency timer of the write's end.
constexpr int64_t kEchoMs = 20;
// A piece of a command waits this long for the next piece, and the pieces of
// one command no longer than the second figure in all: long enough for a
// redirector that passes a 9600-baud command on as it comes (69 ms), short
// against the meter's ENQ period.
constexpr int64_t kHoldGapMs = 50;
constexpr int64_t kHoldMaxMs = 250;
// How often a lost line's path is tried again.
constexpr int64_t kReopenMs = 1000;

// The tags of the link's log lines: the names operators and the manual know
// them by, kept when the functions that say them were renamed.
constexpr char kTagCmdSend[] = "nbr14522_cmd_send";
constexpr char kTagCtrlSend[] = "nbr14522_ctrl_send";
constexpr char kTagCmdExec[] = "nbr14522_cmd_exec";
constexpr char kTagCmdCheck[] = "nbr14522_cmd_check";
constexpr char kTagRsp[] = "nbr14522_com_rsp_exec";
constexpr char kTagEvExec[] = "nbr14522_ev_exec";
constexpr char kTagPipe[] = "nbr14522_pipe_exec";
constexpr char kTagMain[] = "nbr14522_main";
constexpr char kTagDisconnect[] = "nbr14522_disconnect_exec";
constexpr char kTagReopen[] = "nbr14522_line_reopen";

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

// The command has been written and waits for (the rest of) its answer.
bool in_flight(const nbr14522_link *link)
{
  return link->cmd_phase == NBR14522_CMD_IN_FLIGHT || link->cmd_phase == NBR14522_CMD_ANSWERING;
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
    const size_t most = length < static_cast<int>(sizeof sink) ? static_cast<size_t>(length) : sizeof sink;
    const ssize_t n = read(link->fd_ev[0], sink, most);
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

// ---- Phases -------------------------------------------------------------

// The moves each phase allows, [from][to].
constexpr bool kCmdMoves[4][4] = {
    // to: none, pending, in flight, answering
    {true, true, false, false},  // from none
    {true, false, true, false},  // from pending
    {true, false, false, true},  // from in flight
    {true, false, false, true},  // from answering
};
constexpr bool kFrameMoves[3][3] = {
    // to: idle, receiving, draining
    {true, true, false},  // from idle
    {true, true, true},   // from receiving
    {true, false, true},  // from draining
};

// A move no phase allows stops a checking build where it happened.
void move_check(bool allowed, const nbr14522_link *link, const char *what)
{
#ifdef MEVRAKT_CHECK_RULES
  if (!allowed) {
    fprintf(stderr, "nbr14522: %s move not allowed on %s\n", what, link->dev);
    abort();
  }
#else
  (void)allowed, (void)link, (void)what;
#endif
}

// The one place the command's phase changes; what a phase starts with is
// set here with it.
void cmd_enter(nbr14522_link *link, nbr14522_cmd_phase to)
{
  move_check(kCmdMoves[link->cmd_phase][to], link, "command");
  link->cmd_phase = to;
  switch (to) {
  case NBR14522_CMD_NONE:
    link->cmd_len = 0;
    link->cmd_tries = 0;
    link->send_due = 0;
    link->rsp_last_valid = 0;
    break;
  case NBR14522_CMD_PENDING:
    link->cmd_seq++;
    link->cmd_tries = 0;
    link->send_due = 0;
    link->rsp_last_valid = 0;
    break;
  case NBR14522_CMD_IN_FLIGHT:
  case NBR14522_CMD_ANSWERING:
    break;
  }
}

void rsp_wait(nbr14522_link *link, int ms)
{
  nbr14522_rsp_tout_set(link, ms);
}

// The one place the frame's phase changes. While bytes come in (receiving,
// draining) the response timer measures the silence after the latest.
void frame_enter(nbr14522_link *link, nbr14522_frame_phase to)
{
  move_check(kFrameMoves[link->frame_phase][to], link, "frame");
  const bool timed = link->frame_phase != NBR14522_FRAME_IDLE;
  link->frame_phase = to;
  switch (to) {
  case NBR14522_FRAME_IDLE:
    link->rsp_len = 0;
    link->rsp_answers = 0;
    link->rsp_after_write = 0;
    if (timed && link->rsp_armed)
      rsp_wait(link, 0);
    break;
  case NBR14522_FRAME_RECEIVING:
    rsp_wait(link, kFrameGapMs);
    break;
  case NBR14522_FRAME_DRAINING:
    link->rsp_len = 0;
    link->rsp_answers = 0;
    link->rsp_after_write = 0;
    link->drain_until = clock_now_ms() + kDrainMaxMs;
    rsp_wait(link, kFrameGapMs);
    break;
  }
}

// ---- Sends the meter owes an answer -------------------------------------

nbr14522_send *owed_at(nbr14522_link *link, int i)
{
  return &link->owed[(link->owed_first + i) % NBR14522_OWED_MAX];
}

const nbr14522_send *owed_head(const nbr14522_link *link)
{
  return link->owed_count > 0 ? &link->owed[link->owed_first] : nullptr;
}

int64_t answer_time(const nbr14522_link *link)
{
  return link->answer_ms > kResponseWaitMs ? link->answer_ms : kResponseWaitMs;
}

// When the meter would have answered the oldest send it owes: its answering
// time after that send, or after the meter was done with the one before.
int64_t owed_deadline(const nbr14522_link *link)
{
  const int64_t sent = link->owed[link->owed_first].sent_ms;
  return (sent > link->owed_clock ? sent : link->owed_clock) + answer_time(link) + kQuietSlackMs;
}

void owed_pop(nbr14522_link *link)
{
  link->owed_first = (link->owed_first + 1) % NBR14522_OWED_MAX;
  link->owed_count--;
}

// Sends past their time can no longer be answered, oldest first; while the
// meter said WAIT, it is still working on them. A send the meter let pass
// was not taken: the next one's time runs from its own send, not from here.
void owed_expire(nbr14522_link *link, int64_t now)
{
  while (link->owed_count > 0 && !link->waited && now >= owed_deadline(link)) {
    owed_pop(link);
    link->settled_by_frame = 0;
  }
}

void owed_clear(nbr14522_link *link)
{
  link->owed_count = 0;
  link->owed_clock = clock_now_ms();
  link->settled_by_frame = 0;
}

// Whether the meter may still answer an earlier send: then no other command
// may go out, or that answer would pass for its.
bool owed_pending(nbr14522_link *link)
{
  owed_expire(link, clock_now_ms());
  return link->owed_count > 0;
}

void owed_push(nbr14522_link *link, uint8_t why, int64_t now)
{
  if (link->owed_count == NBR14522_OWED_MAX)
    owed_pop(link);  // cannot happen: a command has 7 sends
  *owed_at(link, link->owed_count++) = {link->cmd_seq, now, why};
}

// Our ACK of a frame that is not its answer's last: the meter answers it
// with the next frame before anything else it owes.
void owed_push_ack(nbr14522_link *link, uint32_t cmd, int64_t now)
{
  const nbr14522_send *head = owed_head(link);
  if (head && head->why == NBR14522_SEND_ACK && head->cmd == cmd) {
    link->owed[link->owed_first].sent_ms = now;  // an ACK sent again stands for the first
    return;
  }
  if (link->owed_count == NBR14522_OWED_MAX)
    link->owed_count--;
  link->owed_first = (link->owed_first + NBR14522_OWED_MAX - 1) % NBR14522_OWED_MAX;
  link->owed_count++;
  link->owed[link->owed_first] = {cmd, now, NBR14522_SEND_ACK};
}

void meter_queues(nbr14522_link *link)
{
  link->queues = 1;
  log_limited(&link->notices, LOG_NOTICE, "meter on %s answers every send: no resend on a repeated ENQ", link->dev);
  note(link, NBR14522_TRACE_METER_QUEUES);
}

// The meter is done with the oldest send it owed: it answered it with a
// whole frame (`by_frame`), refused it, or cut its answer short. A meter
// that answers both a send and its resend made for a repeated ENQ takes
// every command it hears.
void owed_settle(nbr14522_link *link, bool by_frame)
{
  const nbr14522_send *head = owed_head(link);
  if (!head)
    return;
  const nbr14522_send done = *head;
  owed_pop(link);
  link->owed_clock = clock_now_ms();
  if (by_frame && done.why == NBR14522_SEND_ENQ && link->settled_by_frame && link->settled_cmd == done.cmd &&
      !link->queues)
    meter_queues(link);
  link->settled_cmd = done.cmd;
  link->settled_by_frame = by_frame;
}

// ---- Writes -------------------------------------------------------------

// What a line that returns every byte written will give back next.
void echo_expect(nbr14522_link *link, const uint8_t *data, int length)
{
  if (!link->echo)
    return;
  if (link->echo_len + length > static_cast<int>(sizeof link->echo_buf))
    link->echo_at = link->echo_len = 0;
  memcpy(link->echo_buf + link->echo_len, data, static_cast<size_t>(length));
  link->echo_len += length;
  link->echo_until = clock_now_ms() + kEchoMs;
}

void wrote(nbr14522_link *link, const uint8_t *data, int length)
{
  link->sent_ms = clock_now_ms();
  link->rsp_after_write = 1;
  echo_expect(link, data, length);
}

// Writes one control byte; `pause` false when the caller has paused already.
void ctrl_send(nbr14522_link *link, uint8_t byte, bool pause = true)
{
  if (!line_open(link))
    return;
  if (pause)
    pause_before_write(link);
  if (write(link->fd_com, &byte, 1) < 1) {
    log_limited(&link->log, LOG_ERR, "%s - ctrl send error", kTagCtrlSend);
    return;
  }
  wrote(link, &byte, 1);
  if (byte == NBR14522_ACK || byte == NBR14522_NAK)
    note(link, byte == NBR14522_ACK ? NBR14522_TRACE_ACK_SENT : NBR14522_TRACE_NAK_SENT);
}

// A send goes out once the line has been read empty (nbr14522_due_exec).
void send_ask(nbr14522_link *link, uint8_t why)
{
  link->send_due = 1;
  link->send_why = why;
}

// The command leaves the link (`why`: NBR14522_GONE_*). A late answer to
// it is dropped when it comes; a command that leaves unanswered is counted
// by why.
void cmd_leave(nbr14522_link *link, uint32_t why)
{
  if (link->cmd_phase == NBR14522_CMD_NONE)
    return;
  if (in_flight(link)) {
    link->gone_seq = link->cmd_seq;
    link->gone_code = link->cmd_buf[0];
    link->gone_why = why;
    // Nothing is waited for now; a frame coming in keeps its silence timer.
    if (link->frame_phase == NBR14522_FRAME_IDLE && link->rsp_armed)
      rsp_wait(link, 0);
  }
  if (why != NBR14522_GONE_ANSWERED)
    count(link->n_cmd_unanswered[why]);
  link->rsp_answers = 0;  // a frame coming in answers nobody now
  cmd_enter(link, NBR14522_CMD_NONE);
}

void give_up(nbr14522_link *link)
{
  count(link->n_cmd_failed);
  log_limited(&link->log, LOG_WARNING, "%s - command send error (%02X)", kTagCmdSend, link->cmd_buf[0]);
  note(link, NBR14522_TRACE_CMD_GIVEN_UP, link->cmd_buf[0], static_cast<uint32_t>(link->cmd_tries));
  cmd_leave(link, NBR14522_GONE_GIVEN_UP);
  rsp_wait(link, 0);
  nbr14522_enq_tout_set(link, kEnqSupervisionMs);
}

// Writes the command in flight again, or the pending one for the first
// time; between a composed answer's frames, our ACK (or NAK) again. Runs
// only with the line read empty and no frame coming in.
void cmd_send(nbr14522_link *link, uint8_t why)
{
  if (link->cmd_phase == NBR14522_CMD_NONE)
    return;
  if (link->cmd_tries >= kMaxSends) {
    give_up(link);
    return;
  }
  const bool fresh = link->cmd_phase == NBR14522_CMD_PENDING;
  if (!line_open(link) || (fresh && owed_pending(link)))
    return;  // stays pending until the line is back, or the meter is free, and asks
  // The pause before the write: what the meter sends meanwhile is read, and
  // decides, first.
  pause_before_write(link);
  if (line_waiting(link) > 0) {
    send_ask(link, why);
    return;
  }
  if (link->cmd_phase == NBR14522_CMD_ANSWERING) {
    // Between a composed answer's frames the meter asks for our ACK again,
    // or a frame that stopped half way is asked for again.
    link->cmd_tries++;
    const uint8_t byte = link->rsp_broken ? NBR14522_NAK : NBR14522_ACK;
    link->rsp_broken = 0;
    ctrl_send(link, byte, false);
    owed_push_ack(link, link->cmd_seq, link->sent_ms);
    rsp_wait(link, kResponseWaitMs);
    return;
  }
  nbr14522_enq_tout_set(link, 0);
  if (write(link->fd_com, link->cmd_buf, static_cast<size_t>(link->cmd_len)) != link->cmd_len) {
    log_limited(&link->log, LOG_ERR, "%s - command send error", kTagCmdSend);
    return;
  }
  // The response timer starts once the command has left the line.
  thread_cancel_on();
  tcdrain(link->fd_com);
  thread_cancel_off();
  if (fresh)
    cmd_enter(link, NBR14522_CMD_IN_FLIGHT);
  link->cmd_tries++;
  wrote(link, link->cmd_buf, link->cmd_len);
  owed_push(link, fresh ? static_cast<uint8_t>(NBR14522_SEND_FIRST) : why, link->sent_ms);
  note(link, NBR14522_TRACE_CMD_WRITTEN, link->cmd_buf[0], static_cast<uint32_t>(link->cmd_tries), kMaxSends);
  rsp_wait(link, kResponseWaitMs);
}

// ---- Frames -------------------------------------------------------------

// A byte other than a control byte starts a frame. Whatever was about to be
// sent waits: the frame decides. It answers the command in flight only if
// the oldest send the meter owes is that command's, and its code fits.
void frame_start(nbr14522_link *link)
{
  const int64_t now = clock_now_ms();
  link->send_due = 0;
  link->rsp_broken = 0;
  owed_expire(link, now);
  const nbr14522_send *head = owed_head(link);
  const bool answers =
      in_flight(link) && head && head->cmd == link->cmd_seq && nbr14522_answers(link->cmd_buf[0], link->rsp_buf[0]);
  // How long the meter takes to answer, from when it could start: a WAIT's
  // length says nothing of it.
  if (answers && !link->waited && head->why != NBR14522_SEND_ACK) {
    const int64_t since = head->sent_ms > link->owed_clock ? head->sent_ms : link->owed_clock;
    link->answer_ms = now - since < kMaxAnswerMs ? now - since : kMaxAnswerMs;
  }
  link->waited = 0;
  link->rsp_cmd = link->cmd_seq;
  link->rsp_len = 1;
  frame_enter(link, NBR14522_FRAME_RECEIVING);
  link->rsp_answers = answers;
  note(link, NBR14522_TRACE_RSP_STARTED, link->rsp_buf[0]);
}

// Whose answer a frame is that goes to nobody, by the oldest send owed.
uint32_t frame_owner(const nbr14522_link *link)
{
  const nbr14522_send *head = owed_head(link);
  if (!head)
    return 0;
  return head->cmd == link->gone_seq ? link->gone_why : NBR14522_GONE_ANSWERED;
}

// A good frame that goes to nobody: the meter has it acknowledged (or it
// would send it again). `why` as frame_owner, or NBR14522_GONE_KINDS for a
// frame sent again.
void frame_drop(nbr14522_link *link, uint32_t why)
{
  const uint8_t code = link->rsp_buf[0];
  count(link->n_rsp_dropped);
  note(link, NBR14522_TRACE_RSP_DROPPED, code, why);
  if (why == NBR14522_GONE_REPLACED)
    log_limited(&link->notices, LOG_NOTICE, "%s - response for a replaced client dropped", kTagRsp);
  else
    log_limited(&link->notices, LOG_NOTICE, "%s - response (%02X) answering no command dropped", kTagRsp, code);
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
void frame_deliver(nbr14522_link *link)
{
  count(link->n_rsp_ok);
  uint32_t meter;
  memcpy(&meter, link->rsp_buf + 1, sizeof meter);
  link->meter_number.store(meter, std::memory_order_relaxed);
  link->last_answer_s.store(static_cast<uint32_t>(time(nullptr)), std::memory_order_relaxed);
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
  if (last) {
    cmd_leave(link, NBR14522_GONE_ANSWERED);
    return;
  }
  // More frames follow, each in answer to our ACK.
  cmd_enter(link, NBR14522_CMD_ANSWERING);
  memcpy(link->rsp_last, link->rsp_buf, sizeof link->rsp_last);
  link->rsp_last_valid = 1;
  owed_push_ack(link, link->cmd_seq, link->sent_ms);
  rsp_wait(link, kResponseWaitMs);
}

// The 258th byte is in.
void frame_complete(nbr14522_link *link)
{
  // Its client may have gone, and another command come, while it came in.
  const bool answers = link->rsp_answers && link->rsp_cmd == link->cmd_seq && in_flight(link);
  frame_enter(link, NBR14522_FRAME_IDLE);
  const bool good = nbr14522_frame_ok(link->rsp_buf, NBR14522_RSP_SIZE);
  const uint32_t args[] = {link->rsp_buf[0], good};
  trace_add(link->trace, NBR14522_TRACE_RSP_COMPLETE, args, 2, link->rsp_buf + 1, 4);
  if (!good) {
    // The meter sends it again: what it owes stays owed.
    count(link->n_rsp_failed);
    log_limited(&link->log, LOG_ERR, "%s - response CRC error", kTagRsp);
    ctrl_send(link, NBR14522_NAK);
  } else if (answers && link->rsp_last_valid && memcmp(link->rsp_last, link->rsp_buf, sizeof link->rsp_last) == 0) {
    // A composed answer's frame again: the meter missed our ACK of it.
    ctrl_send(link, NBR14522_ACK);
    owed_settle(link, true);
    frame_drop(link, NBR14522_GONE_KINDS);
    owed_push_ack(link, link->cmd_seq, link->sent_ms);
  } else {
    const uint32_t owner = frame_owner(link);
    ctrl_send(link, NBR14522_ACK);
    owed_settle(link, true);
    if (answers) {
      frame_deliver(link);
    } else {
      frame_drop(link, owner);
      // The rest of a composed answer nobody wants is still owed to our ACK.
      if (nbr14522_is_composed(link->rsp_buf[0]) && !nbr14522_is_last(link->rsp_buf[0], link->rsp_buf) && owner)
        owed_push_ack(link, link->settled_cmd, link->sent_ms);
    }
  }
  // A command still in flight always waits for something.
  if (in_flight(link) && !link->rsp_armed)
    rsp_wait(link, kResponseWaitMs);
}

// Without being told, a line returned the command just written: every read
// there would fail slowly, NAK after NAK, so this one fails at once.
void echo_found(nbr14522_link *link)
{
  if (!link->echo_said) {
    link->echo_said = 1;
    log_limited(&link->log, LOG_WARNING, "line on %s returns what is written: set %s=1", link->dev,
                link->echo_key ? link->echo_key : "MOD_MEVRAKT_PROTn_ECHO");
  }
  note(link, NBR14522_TRACE_ECHO, 0);
  frame_enter(link, NBR14522_FRAME_DRAINING);
  if (in_flight(link)) {
    count(link->n_cmd_failed);
    cmd_leave(link, NBR14522_GONE_ECHO);
  }
}

// Whether the frame coming in is the command just written, come back.
bool frame_is_echo(const nbr14522_link *link)
{
  return !link->echo && link->rsp_after_write && in_flight(link) && link->rsp_cmd == link->cmd_seq &&
         link->rsp_len >= link->cmd_len &&
         memcmp(link->rsp_buf, link->cmd_buf, static_cast<size_t>(link->cmd_len)) == 0;
}

void frame_more(nbr14522_link *link, int received)
{
  const int before = link->rsp_len;
  link->rsp_len += received;
  if (link->rsp_len < NBR14522_RSP_SIZE) {
    log_limited(&link->progress, LOG_NOTICE, "%s", kTagRsp);
    log_limited(&link->progress, LOG_NOTICE, "nbr_ptr->rsp_len %u", static_cast<unsigned>(link->rsp_len));
  }
  if (before < link->cmd_len && frame_is_echo(link)) {
    echo_found(link);
    return;
  }
  if (link->rsp_len < NBR14522_RSP_SIZE) {
    frame_enter(link, NBR14522_FRAME_RECEIVING);
    return;
  }
  frame_complete(link);
}

// The frame's bytes stopped before its 258th: it is given up, and what may
// still come of it is dropped until the line falls silent.
void frame_stopped(nbr14522_link *link)
{
  log_limited(&link->log, LOG_WARNING, "response timeout on %s", link->dev);
  note(link, NBR14522_TRACE_RSP_TIMEOUT, static_cast<uint32_t>(link->rsp_len));
  if (frame_is_echo(link)) {
    echo_found(link);
    return;
  }
  link->rsp_broken = link->cmd_phase == NBR14522_CMD_ANSWERING && link->rsp_answers;
  owed_settle(link, false);
  frame_enter(link, NBR14522_FRAME_DRAINING);
}

// The response timer ran out: a frame's bytes stopped, its rest stopped
// too, or no frame came after a send.
void rsp_timeout_exec(nbr14522_link *link)
{
  if (link->frame_phase != NBR14522_FRAME_IDLE && line_waiting(link) > 0) {
    rsp_wait(link, kFrameGapMs);  // bytes came meanwhile: they are read first
    return;
  }
  switch (link->frame_phase) {
  case NBR14522_FRAME_RECEIVING:
    frame_stopped(link);
    return;
  case NBR14522_FRAME_DRAINING:
    frame_enter(link, NBR14522_FRAME_IDLE);
    break;
  case NBR14522_FRAME_IDLE:
    log_limited(&link->log, LOG_WARNING, "response timeout on %s", link->dev);
    note(link, NBR14522_TRACE_RSP_TIMEOUT, 0);
    break;
  }
  if (in_flight(link))
    send_ask(link, NBR14522_SEND_TIMEOUT);
}

// ---- What the line says -------------------------------------------------

void enq_exec(nbr14522_link *link)
{
  const int64_t now = clock_now_ms();
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
  if (link->enq_last_ms != 0 && link->sent_ms < link->enq_last_ms)
    link->enq_period_ms = now - link->enq_last_ms;
  link->enq_last_ms = now;
  int64_t crossing = kCrossingMs;
  if (link->enq_period_ms > 0 && link->enq_period_ms / 2 < crossing)
    crossing = link->enq_period_ms / 2;
  if (link->waited) {
    // Back from the WAIT: it dropped what it was busy with, and asks again.
    link->waited = 0;
    owed_clear(link);
  } else if (in_flight(link) && now - link->sent_ms < crossing) {
    // Sent before the meter had what we last sent: it asks for nothing.
    note(link, NBR14522_TRACE_ENQ_CROSSED, static_cast<uint32_t>(now - link->sent_ms));
    return;
  }
  note_enq(link);
  if (link->cmd_phase == NBR14522_CMD_NONE || link->enq_count <= kEnqsBeforeSend)
    return;
  if (link->cmd_phase == NBR14522_CMD_PENDING) {
    if (!owed_pending(link))
      send_ask(link, NBR14522_SEND_FIRST);
    return;
  }
  // A meter that answers every send keeps its ENQ going while it works: its
  // answer is waited for within the response wait.
  if (link->queues && link->cmd_phase == NBR14522_CMD_IN_FLIGHT && link->rsp_armed)
    return;
  send_ask(link, NBR14522_SEND_ENQ);
}

void wait_exec(nbr14522_link *link)
{
  log_limited(&link->notices, LOG_NOTICE, "WAIT received on %s", link->dev);
  note(link, NBR14522_TRACE_WAIT_RECEIVED);
  link->send_due = 0;
  link->waited = 1;
  rsp_wait(link, 0);
  nbr14522_enq_tout_set(link, kWaitSupervisionMs);
}

void nak_exec(nbr14522_link *link)
{
  log_limited(&link->log, LOG_WARNING, "NAK received on %s", link->dev);
  note(link, NBR14522_TRACE_NAK_RECEIVED);
  // The meter refused the send: it will not answer that one.
  owed_settle(link, false);
  if (in_flight(link))
    send_ask(link, NBR14522_SEND_NAK);
}

// One byte read while no frame comes in.
void byte_exec(nbr14522_link *link)
{
  switch (link->rsp_buf[0]) {
  case NBR14522_ENQ:
    enq_exec(link);
    break;
  case NBR14522_ACK:
    log_limited(&link->log, LOG_WARNING, "ACK received on %s", link->dev);
    note(link, NBR14522_TRACE_ACK_RECEIVED);
    break;
  case NBR14522_WAIT:
    wait_exec(link);
    break;
  case NBR14522_NAK:
    nak_exec(link);
    break;
  default:
    frame_start(link);
    break;
  }
  if (link->frame_phase == NBR14522_FRAME_IDLE)
    link->rsp_after_write = 0;
}

// With `echo` set, what the line should have returned by now and did not:
// the line is said once to be set wrongly.
void echo_missing(nbr14522_link *link)
{
  link->echo_at = link->echo_len = 0;
  if (!link->missing_said) {
    link->missing_said = 1;
    log_limited(&link->log, LOG_WARNING, "line on %s does not return what is written, though %s=1", link->dev,
                link->echo_key ? link->echo_key : "MOD_MEVRAKT_PROTn_ECHO");
  }
}

void echo_expire(nbr14522_link *link, int64_t now)
{
  if (link->echo_len > 0 && link->echo_at == 0 && now > link->echo_until)
    echo_missing(link);
}

// With `echo` set, whether `byte` is the line returning what was written:
// then it is dropped.
bool echo_read(nbr14522_link *link, uint8_t byte)
{
  echo_expire(link, clock_now_ms());
  if (link->echo_len == 0)
    return false;
  if (byte == link->echo_buf[link->echo_at]) {
    if (++link->echo_at == link->echo_len)
      link->echo_at = link->echo_len = 0;
    return true;
  }
  echo_missing(link);
  return false;
}

// The line failed: it is closed, and its path opened again once a second,
// for the adapter may come back (a USB converter plugged in again, a device
// link pointed at a new line), maybe with another meter behind it. A frame
// half received is lost with it; a command in flight goes out again when
// the meter asks. `error` is the failed read's errno, 0 for end of file.
void line_lost(nbr14522_link *link, int error)
{
  log_limited(&link->log, LOG_WARNING, "line lost on %s: %s", link->dev, error ? strerror(error) : "end of file");
  note(link, NBR14522_TRACE_LINE_LOST, static_cast<uint32_t>(error));
  close(link->fd_com);
  link->fd_com = -1;
  link->line_up.store(0, std::memory_order_relaxed);
  frame_enter(link, NBR14522_FRAME_IDLE);
  link->send_due = 0;
  link->echo_at = link->echo_len = 0;
  owed_clear(link);
  link->queues = 0;
  link->enq_period_ms = 0;
  link->reopen_at = clock_now_ms() + kReopenMs;
}

void line_reopen(nbr14522_link *link)
{
  if (!nbr14522_line_open(link, &link->reopen_log)) {
    link->reopen_at = clock_now_ms() + kReopenMs;
    return;
  }
  link->reopen_at = 0;
  line_break(link, kTagReopen);
  // A command in flight goes out again when the meter asks, or when the
  // response wait runs out, should it not.
  if (in_flight(link))
    rsp_wait(link, kResponseWaitMs);
  log_limited(&link->notices, LOG_NOTICE, "line back on %s", link->dev);
  note(link, NBR14522_TRACE_LINE_BACK);
}

// ---- Events -------------------------------------------------------------

// Returns whether the command's CRC is good.
bool cmd_check(nbr14522_link *link)
{
  const uint8_t code = link->cmd_buf[0];
  if (link->cmd_len != NBR14522_CMD_SIZE)
    log_limited(&link->log, LOG_WARNING, "%s - command length error (%i)", kTagCmdCheck, link->cmd_len);
  if (!cmd_code_known(code))
    log_limited(&link->log, LOG_WARNING, "%s - command type unknown (%02X)", kTagCmdCheck, code);
  if (nbr14522_frame_ok(link->cmd_buf, link->cmd_len))
    return true;
  log_limited(&link->log, LOG_WARNING, "%s - command CRC error (%02X)", kTagCmdCheck, code);
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
    log_limited(&link->log, LOG_WARNING, "%s - previous command (%02X) not finished yet, overriding", kTagCmdExec,
                link->cmd_buf[0]);
  cmd_leave(link, NBR14522_GONE_NEXT);
  memcpy(link->cmd_buf, data, static_cast<size_t>(length));
  link->cmd_len = length;
  cmd_enter(link, NBR14522_CMD_PENDING);
  link->cmd_session = link->session;
  link->cmd_arrived_ms = arrived_ms;
  const bool good = cmd_check(link);
  note(link, NBR14522_TRACE_CMD_RECEIVED, link->cmd_buf[0], static_cast<uint32_t>(length), good);

  if (!connected(link)) {
    log_limited(&link->notices, LOG_NOTICE, "connecting meter on %s", link->dev);
    if (link->break_on.exchange(0, std::memory_order_relaxed) != 0)
      note(link, NBR14522_TRACE_BREAK_RELEASED);
    line_break(link, kTagCmdExec);
    link->enq_count = 0;
  }

  // Only the whole remaining time tells that an ENQ has just come: the
  // fraction of the 305 s that a WAIT sets says nothing.
  struct itimerspec left;
  if (timer_gettime(link->enq_timer, &left) < 0)
    log_limited(&link->log, LOG_ERR, "%s - cannot read ENQ timer: %s", kTagCmdExec, strerror(errno));
  else if (left.it_value.tv_sec == 0 && left.it_value.tv_nsec > kFreshEnqNs &&
           link->frame_phase == NBR14522_FRAME_IDLE)
    send_ask(link, NBR14522_SEND_FIRST);
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
void cmd_exec(nbr14522_link *link, int length)
{
  if (length < 1 || length > NBR14522_CMD_SIZE) {
    hold_flush(link);
    log_limited(&link->log, LOG_ERR, "%s - bad command length (%i)", kTagCmdExec, length);
    note(link, NBR14522_TRACE_CMD_DROPPED, 0, static_cast<uint32_t>(length), NBR14522_DROPPED_LENGTH);
    drop_payload(link, length);
    return;
  }
  uint8_t piece[NBR14522_CMD_SIZE];
  const ssize_t n = read(link->fd_ev[0], piece, static_cast<size_t>(length));
  if (n != length) {
    log_limited(&link->log, LOG_ERR, "%s - cannot read command: %s", kTagCmdExec,
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
// be at the meter: the new client's goes out once the meter owes nothing.
void session_exec(nbr14522_link *link, int length)
{
  uint32_t session;
  if (length != static_cast<int>(sizeof session) ||
      read(link->fd_ev[0], &session, sizeof session) != static_cast<ssize_t>(sizeof session)) {
    log_limited(&link->log, LOG_ERR, "%s - bad session event (%i)", kTagEvExec, length);
    drop_payload(link, length);
    return;
  }
  link->session = session;
  link->hold_len = 0;
  if (link->cmd_phase != NBR14522_CMD_NONE && link->cmd_session != session) {
    log_limited(&link->notices, LOG_NOTICE, "%s - command (%02X) of a replaced client dropped", kTagEvExec,
                link->cmd_buf[0]);
    note(link, NBR14522_TRACE_CMD_DROPPED, link->cmd_buf[0], static_cast<uint32_t>(link->cmd_len),
         NBR14522_DROPPED_REPLACED);
    cmd_leave(link, NBR14522_GONE_REPLACED);
  }
}

void ev_exec(nbr14522_link *link, uint32_t id, int length)
{
  if (id == NBR14522_EV_COMMAND) {
    cmd_exec(link, length);
    return;
  }
  if (id == NBR14522_EV_SESSION) {
    session_exec(link, length);
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
    log_limited(&link->log, LOG_WARNING, "%s - event unknown, id=%i", kTagEvExec, static_cast<int>(id));
    break;
  }
}

// In checking builds (debug, sanitizers, fuzzing) a broken rule stops the
// daemon where it broke, instead of a reading going wrong later.
void rules_assert(const nbr14522_link *link)
{
#ifdef MEVRAKT_CHECK_RULES
  if (const char *broken = nbr14522_rules_broken(link)) {
    fprintf(stderr, "nbr14522: rule broken on %s: %s\n", link->dev, broken);
    abort();
  }
#else
  (void)link;
#endif
}

}  // namespace

void nbr14522_disconnect_exec(nbr14522_link *link)
{
  if (connected(link)) {
    cmd_leave(link, NBR14522_GONE_LEFT);
    link->send_due = 0;
    rsp_wait(link, 0);
    nbr14522_enq_tout_set(link, 0);
    link->connected.store(0, std::memory_order_relaxed);
    count(link->n_disconnected);
    log_limited(&link->notices, LOG_NOTICE, "disconnecting meter on %s", link->dev);
  }
  // A frame half in is of no use now, and must not take in the next
  // session's first bytes.
  frame_enter(link, NBR14522_FRAME_IDLE);
  link->echo_at = link->echo_len = 0;
  if (link->break_on.exchange(1, std::memory_order_relaxed) == 0)
    note(link, NBR14522_TRACE_BREAK_HELD);
  line_break(link, kTagDisconnect);
}

void nbr14522_com_exec(nbr14522_link *link)
{
  if (!line_open(link))
    return;
  const bool frame = link->frame_phase == NBR14522_FRAME_RECEIVING;
  uint8_t drained[NBR14522_RSP_SIZE];
  uint8_t *into = frame                                          ? link->rsp_buf + link->rsp_len
                  : link->frame_phase == NBR14522_FRAME_DRAINING ? drained
                                                                 : link->rsp_buf;
  const int want = frame                                          ? NBR14522_RSP_SIZE - link->rsp_len
                   : link->frame_phase == NBR14522_FRAME_DRAINING ? NBR14522_RSP_SIZE
                                                                  : 1;
  const ssize_t n = read(link->fd_com, into, static_cast<size_t>(want));
  if (n < 0) {
    if (errno != EAGAIN && errno != EINTR)
      line_lost(link, errno);
    rules_assert(link);
    return;
  }
  if (n == 0) {
    line_lost(link, 0);
    rules_assert(link);
    return;
  }

  if (link->break_on.load(std::memory_order_relaxed)) {
    // Dropped: no client wants the meter.
  } else if (frame) {
    frame_more(link, static_cast<int>(n));
  } else if (link->frame_phase == NBR14522_FRAME_DRAINING) {
    if (clock_now_ms() < link->drain_until)
      frame_enter(link, NBR14522_FRAME_DRAINING);  // still coming: the silence starts anew
    else {
      frame_enter(link, NBR14522_FRAME_IDLE);
      if (in_flight(link))
        send_ask(link, NBR14522_SEND_TIMEOUT);
    }
  } else if (!echo_read(link, link->rsp_buf[0])) {
    byte_exec(link);
  }
  rules_assert(link);
}

void nbr14522_pipe_exec(nbr14522_link *link)
{
  uint8_t header[NBR14522_EV_HEADER_SIZE];
  const ssize_t n = read(link->fd_ev[0], header, sizeof header);
  if (n != static_cast<ssize_t>(sizeof header)) {
    const char *why = n < 0 ? strerror(errno) : n == 0 ? "closed" : "bad event length";
    log_limited(&link->log, LOG_ERR, "%s - pipe read error: %s", kTagPipe, why);
    return;
  }
  uint32_t id;
  int32_t length;
  memcpy(&id, header, 4);
  memcpy(&length, header + 4, 4);
  ev_exec(link, id, length);
  rules_assert(link);
}

int64_t nbr14522_due(const nbr14522_link *link)
{
  // A send is due at once: the loop reads what the line holds, then sends.
  const int64_t send = link->send_due ? clock_now_ms() : 0;
  const int64_t echo = link->echo_len > 0 ? link->echo_until + 1 : 0;
  return clock_earliest(clock_earliest(clock_earliest(hold_deadline(link), send), echo),
                        line_open(link) ? 0 : link->reopen_at);
}

void nbr14522_due_exec(nbr14522_link *link)
{
  const int64_t now = clock_now_ms();
  const int64_t held = hold_deadline(link);
  if (held != 0 && held <= now)
    hold_flush(link);
  if (!line_open(link) && link->reopen_at <= now)
    line_reopen(link);
  echo_expire(link, now);
  // A frame coming in, or bytes not read yet, decide first; what the meter
  // sends in the pause before the write decides too.
  if (link->send_due && link->frame_phase == NBR14522_FRAME_IDLE && link->echo_len == 0 &&
      line_waiting(link) == 0) {
    link->send_due = 0;
    cmd_send(link, link->send_why);
  }
  rules_assert(link);
}

const char *nbr14522_rules_broken(const nbr14522_link *link)
{
  const int len = link->cmd_len;
  const int tries = link->cmd_tries;
  switch (link->cmd_phase) {
  case NBR14522_CMD_NONE:
    if (len != 0 || tries != 0)
      return "no command, yet a length or sends";
    break;
  case NBR14522_CMD_PENDING:
    if (len < 1 || len > NBR14522_CMD_SIZE || tries != 0)
      return "a pending command is 1 to 66 bytes, not sent yet";
    break;
  case NBR14522_CMD_IN_FLIGHT:
  case NBR14522_CMD_ANSWERING:
    if (len < 1 || len > NBR14522_CMD_SIZE || tries < 1 || tries > kMaxSends)
      return "a command in flight is 1 to 66 bytes, sent 1 to 7 times";
    break;
  default:
    return "the command's phase is none of its four";
  }
  if (link->cmd_phase == NBR14522_CMD_ANSWERING && !nbr14522_is_composed(link->cmd_buf[0]))
    return "only a composed command's answer comes in frames";
  switch (link->frame_phase) {
  case NBR14522_FRAME_IDLE:
  case NBR14522_FRAME_DRAINING:
    if (link->rsp_len != 0 || link->rsp_answers)
      return "no frame comes in, yet bytes of one are kept";
    break;
  case NBR14522_FRAME_RECEIVING:
    if (link->rsp_len < 1 || link->rsp_len >= NBR14522_RSP_SIZE)
      return "a frame coming in has 1 to 257 bytes";
    break;
  default:
    return "the frame's phase is none of its three";
  }
  if (link->frame_phase != NBR14522_FRAME_IDLE && !link->rsp_armed)
    return "the bytes of a frame are timed";
  if (link->rsp_answers && !(in_flight(link) && link->rsp_cmd == link->cmd_seq))
    return "a frame answers only the command in flight";
  const bool held = link->break_on.load(std::memory_order_relaxed) != 0;
  if (held && connected(link))
    return "a meter behind a break is not connected";
  if (held && link->frame_phase == NBR14522_FRAME_RECEIVING)
    return "no frame comes in behind a break";
  if (link->send_due && link->cmd_phase == NBR14522_CMD_NONE)
    return "a send is asked for a command";
  if (link->owed_count < 0 || link->owed_count > NBR14522_OWED_MAX)
    return "the meter owes 0 to 8 sends";
  for (int i = 0; i < link->owed_count; i++) {
    const nbr14522_send &s = link->owed[(link->owed_first + i) % NBR14522_OWED_MAX];
    if (s.cmd > link->cmd_seq || (link->cmd_phase == NBR14522_CMD_PENDING && s.cmd == link->cmd_seq))
      return "the meter owes only sends that were made";
  }
  if (in_flight(link) && link->frame_phase == NBR14522_FRAME_IDLE && !link->rsp_armed && !link->send_due &&
      !link->waited && line_open(link) && !held)
    return "a command in flight always waits for something";
  if (link->waited && link->frame_phase == NBR14522_FRAME_RECEIVING)
    return "a frame ends a WAIT";
  if (!line_open(link) && (link->frame_phase != NBR14522_FRAME_IDLE || link->owed_count))
    return "a closed line has nothing under way";
  if (link->enq_count > kEnqsBeforeSend + 1)
    return "ENQs are counted up to 3";
  if (link->hold_len < 0 || link->hold_len >= NBR14522_CMD_SIZE)
    return "a held command is 0 to 65 bytes";
  if (link->echo_at < 0 || link->echo_at > link->echo_len ||
      link->echo_len > static_cast<int>(sizeof link->echo_buf) || (!link->echo && link->echo_len != 0))
    return "only a line set to echo has echo to read";
  if (link->rsp_last_valid && link->cmd_phase != NBR14522_CMD_ANSWERING)
    return "a frame handed on is kept only while its answer goes on";
  if (link->n_cmd_ok.load(std::memory_order_relaxed) > link->n_rsp_ok.load(std::memory_order_relaxed))
    return "an answered command has had a frame handed on";
  return nullptr;
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
      syslog(LOG_ERR, "%s - select error: %s", kTagMain, strerror(errno));
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
