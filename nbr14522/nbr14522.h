// SPDX-License-Identifier: MIT
// The meter link: one meter on one serial line, spoken to with the reading
// side of NBR 14522 from a thread of its own.
//
// Everything outside the link thread reaches it through the link's event
// channel, a pipe of small records (id, length, payload) written in one call
// each: the TCP side queues commands and disconnect requests, the two
// one-shot timers queue their expiries. Good responses leave the link through
// the response handler, called on the link thread.
#pragma once

#include <atomic>
#include <cstdint>

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>
#include <time.h>

#include <climits>

#include "common/export.h"
#include "common/log_limit.h"
#include "common/trace.h"
#include "nbr14522/frame.h"

// An event's header and payload go into the pipe in one write; keeping them
// within PIPE_BUF makes that write atomic, so concurrent writers never
// interleave and the reader always finds a whole payload behind a header.
constexpr int NBR14522_EV_HEADER_SIZE = 8;
constexpr int NBR14522_EV_MAX_PAYLOAD = PIPE_BUF - NBR14522_EV_HEADER_SIZE;

// Event ids on the event channel.
enum : uint32_t {
  NBR14522_EV_COMMAND = 0,
  NBR14522_EV_DISCONNECT = 1,
  NBR14522_EV_ENQ_TIMEOUT = 2,
  NBR14522_EV_RSP_TIMEOUT = 3,
  // A new AMR client is served from now on: the session number (4 bytes,
  // host order) that the commands after it belong to.
  NBR14522_EV_SESSION = 4,
};

// What the link records in its channel's trace ring, and the arguments each
// kind carries (in order; data: the record's bytes). Codes are frame byte 0.
enum : uint32_t {
  NBR14522_TRACE_FIRST = 0x100,
  NBR14522_TRACE_CMD_RECEIVED = NBR14522_TRACE_FIRST,  // code, length, CRC good (1) or bad (0)
  NBR14522_TRACE_CMD_DROPPED,                          // code, length, why (NBR14522_DROPPED_*)
  NBR14522_TRACE_CMD_REFUSED,                          // code
  NBR14522_TRACE_BREAK_RELEASED,
  NBR14522_TRACE_BREAK_HELD,
  NBR14522_TRACE_METER_CONNECTED,
  NBR14522_TRACE_METER_LOST,   // its ENQs stopped while connected
  NBR14522_TRACE_ENQ,          // a run of ENQs with nothing else between, one record
  NBR14522_TRACE_CMD_WRITTEN,  // code, send, most sends
  NBR14522_TRACE_NAK_RECEIVED,
  NBR14522_TRACE_WAIT_RECEIVED,
  NBR14522_TRACE_ACK_RECEIVED,
  NBR14522_TRACE_RSP_STARTED,   // code
  NBR14522_TRACE_RSP_COMPLETE,  // code, CRC good (1) or bad (0); data: bytes 1 to 4, the meter number
  NBR14522_TRACE_RSP_DROPPED,   // code, why (NBR14522_GONE_*, 0: nothing was asked, NBR14522_GONE_KINDS: a repeat)
  NBR14522_TRACE_ACK_SENT,
  NBR14522_TRACE_NAK_SENT,
  NBR14522_TRACE_RSP_TIMEOUT,   // bytes of the frame received by then (0: no frame came)
  NBR14522_TRACE_CMD_GIVEN_UP,  // code, sends
  NBR14522_TRACE_LINE_LOST,     // errno, 0 for end of file
  NBR14522_TRACE_LINE_BACK,
  NBR14522_TRACE_ENQ_CROSSED,   // ms after the command: an ENQ too soon to ask for anything
  NBR14522_TRACE_METER_QUEUES,  // the meter answered a send and its resend
  NBR14522_TRACE_ECHO,          // the line returned the command written (1: dropped as set, 0: read failed)
  NBR14522_TRACE_END
};

// Why a command was dropped unsent.
enum : uint32_t {
  NBR14522_DROPPED_LENGTH = 1,    // a chunk of 0 or more than 66 bytes
  NBR14522_DROPPED_REPLACED = 2,  // its client was replaced before it went out
};

// Why a command left the link: answered, or not (NBR14522_GONE_GIVEN_UP on).
enum : uint32_t {
  NBR14522_GONE_ANSWERED = 1,
  NBR14522_GONE_GIVEN_UP = 2,  // 7 sends drew no good answer
  NBR14522_GONE_REPLACED = 3,  // its client was replaced
  NBR14522_GONE_LEFT = 4,      // its client left
  NBR14522_GONE_NEXT = 5,      // its client sent another command
  NBR14522_GONE_ECHO = 6,      // the line returned it: no meter can be heard there
  NBR14522_GONE_KINDS
};

// Upper bounds, in ms, of the buckets in which answered commands are
// counted by how long they took from their arrival to their answer's last
// frame: a read at 9600 baud takes 0.35 to 1 s, each resend half a second
// more, and a WAIT up to 305 s.
constexpr uint32_t NBR14522_READ_BUCKETS_MS[] = {50,   100,  250,   500,   750,   1000,   1500,  2000,
                                                 3000, 5000, 10000, 30000, 60000, 120000, 310000};
constexpr int NBR14522_READ_BUCKETS = sizeof NBR14522_READ_BUCKETS_MS / sizeof NBR14522_READ_BUCKETS_MS[0];

/// What a link shows of itself: its state and counters as one call read
/// them. Counters only grow (and wrap at 2^32).
struct nbr14522_stats {
  bool connected;    // the meter sends ENQ and the break is released
  bool break_held;   // no client wants the meter
  bool line_usable;  // the serial line is open
  uint32_t n_connected;
  uint32_t n_disconnected;
  uint32_t n_conn_lost;
  uint32_t n_cmd_ok;
  uint32_t n_cmd_failed;
  uint32_t n_rsp_ok;
  uint32_t n_rsp_failed;
  uint32_t n_rsp_dropped;
  uint32_t n_cmd_refused;
  // Commands that left without an answer, by why (NBR14522_GONE_*; the
  // entries below NBR14522_GONE_GIVEN_UP stay 0).
  uint32_t n_cmd_unanswered[NBR14522_GONE_KINDS];
  uint32_t last_answer_s;  // wall clock (s) of the last good answer; 0: none yet
  uint8_t meter[4];        // its bytes 1 to 4: the meter's number, in BCD
  // Answered commands by duration, each in the first bucket that holds it,
  // or in the last entry when longer than all.
  uint32_t reads[NBR14522_READ_BUCKETS + 1];
  uint64_t read_ms;  // their durations, summed
};

/// Receives each good response (context, bytes, length 258); its result is
/// ignored.
using nbr14522_rsp_fn = int (*)(void *ctx, const uint8_t *data, int length);

struct nbr14522_rsp_cb {
  nbr14522_rsp_fn handler;
  void *ctx;
};

// Where the command stands. The engine's cmd_enter alone changes it.
enum nbr14522_cmd_phase : uint8_t {
  NBR14522_CMD_NONE,       // no command
  NBR14522_CMD_PENDING,    // taken, not written yet
  NBR14522_CMD_IN_FLIGHT,  // written; no frame of its answer yet
  NBR14522_CMD_ANSWERING,  // a composed answer under way: frames came, not the last
};

// What the line's bytes are taken as. The engine's frame_enter alone
// changes it.
enum nbr14522_frame_phase : uint8_t {
  NBR14522_FRAME_IDLE,       // each byte on its own: a control byte, or a frame's first
  NBR14522_FRAME_RECEIVING,  // a frame coming in, rsp_len bytes so far
  NBR14522_FRAME_DRAINING,   // the rest of a frame given up: read and dropped until silence
};

// One write the meter may still answer: a command, or our ACK between a
// composed answer's frames, which the next frame answers.
struct nbr14522_send {
  uint32_t cmd;     // the number of the command it belongs to (cmd_seq)
  int64_t sent_ms;  // monotonic ms when it had left the line
  uint8_t why;      // NBR14522_SEND_*
};

// What asked for a send.
enum : uint8_t {
  NBR14522_SEND_FIRST,    // a new command
  NBR14522_SEND_ENQ,      // a repeated ENQ
  NBR14522_SEND_NAK,      // a NAK
  NBR14522_SEND_TIMEOUT,  // no answer within the response wait
  NBR14522_SEND_ACK,      // the ACK of a composed answer's frame
};

// Sends of one command (at most 7) and the ACK that follows a frame: the
// most the meter can owe at once, for no other command goes out before it
// owes nothing.
constexpr int NBR14522_OWED_MAX = 8;

// Written only by the link thread once the link runs, except where noted.
// `connected`, `break_on`, `line_up` and the counters are read by other threads (the
// status report, tests) without a lock: each is a relaxed atomic word with the
// link thread as its single writer, so a reader may see a stale value only.
struct nbr14522_link {
  const char *dev;  // borrowed; must outlive the link
  int fd_com;
  int fd_ev[2];  // read end, write end
  int ev_created;
  timer_t enq_timer;
  struct sigevent enq_notify;
  struct itimerspec enq_spec;
  int enq_created;
  timer_t rsp_timer;
  struct sigevent rsp_notify;
  struct itimerspec rsp_spec;
  int rsp_created;
  pthread_t notify_thread;  // turns the timers' expiries into events
  int notify_created;
  pid_t notify_tid;
  pthread_t thread;
  int thread_created;

  // The command. One is in flight at a time: from its first write until a
  // whole good frame answers it (a composed command: its last frame), it is
  // given up after 7 sends, or its client leaves or sends the next.
  nbr14522_cmd_phase cmd_phase;
  uint8_t cmd_buf[NBR14522_CMD_SIZE];
  int cmd_len;       // 0: none
  int cmd_tries;     // its sends so far (a composed answer's ACKs sent again count too)
  uint32_t cmd_seq;  // numbers the commands taken, so that a send knows its own
  int64_t sent_ms;   // monotonic ms when its last send (or our ACK) left the line
  // A send asked for (by an ENQ, a NAK, a time-out, a fresh ENQ at intake)
  // goes out only once the line has nothing more to read: bytes that come
  // first (a response that an ENQ was only crossing) may make it moot.
  int send_due;
  uint8_t send_why;  // NBR14522_SEND_*: what asked for it
  // The command that last left (its number, code and NBR14522_GONE_*), to
  // tell whose late answer a dropped frame is.
  uint32_t gone_seq;
  uint8_t gone_code;
  uint32_t gone_why;

  // The frame.
  nbr14522_frame_phase frame_phase;
  uint8_t rsp_buf[NBR14522_RSP_SIZE];
  int rsp_len;
  // The frame coming in answers the command in flight (cmd_seq was
  // `rsp_cmd` when it started): the meter owed nothing older, and its code
  // fits.
  int rsp_answers;
  uint32_t rsp_cmd;
  // Its first byte was the first the line gave after a write: it may be
  // the line returning that write, not the meter.
  int rsp_after_write;
  // A composed answer's frame stopped half way: it is asked for again (NAK).
  int rsp_broken;
  // The frame last handed to the command's client, for a meter that did
  // not hear our ACK and sends it again.
  uint8_t rsp_last[NBR14522_RSP_SIZE];
  int rsp_last_valid;
  int64_t drain_until;  // draining stops here even if the bytes go on

  // Sends the meter may still answer, oldest first: it answers in the order
  // it was sent to, each within its answering time after the answer before
  // (or after the send itself, if later). Until it owes nothing, no other
  // command goes out, and a frame answers the command in flight only if
  // the oldest send owed is that command's.
  nbr14522_send owed[NBR14522_OWED_MAX];
  int owed_first;
  int owed_count;
  int64_t owed_clock;  // when the meter was last done with a send: answered it, or refused it
  int64_t answer_ms;   // how long the meter last took to start an answer, WAIT not counted
  // How the oldest send last settled was settled: to see a meter answer a
  // send and then its resend.
  uint32_t settled_cmd;
  int settled_by_frame;
  // A WAIT came, and no frame or ENQ since: the meter works on what it
  // owes, however long; the ENQ that ends the WAIT says it dropped it.
  int waited;
  // The meter answered a send and its resend made for a repeated ENQ: it
  // takes every command it hears, ENQ or not, so a repeated ENQ asks for
  // nothing while an answer may still come.
  int queues;

  std::atomic<uint32_t> connected;
  std::atomic<uint32_t> break_on;
  unsigned enq_count;
  // The meter's ENQ period as last seen (two ENQs with nothing between),
  // and when its last ENQ came; monotonic ms, 0 for unknown.
  int64_t enq_period_ms;
  int64_t enq_last_ms;
  // Whether each timer was armed and not stopped since, so that an expiry
  // that was already queued when the timer was stopped or re-armed is known
  // to be stale.
  int enq_armed;
  int rsp_armed;
  // The pause before each write to the meter, in ns; 1 ms on a line.
  long pause_ns;

  // A line that returns what is written (a two-wire RS-485 adapter, an
  // optical head): with `echo` set, exactly the bytes written are read back
  // and dropped before the meter is heard, `echo_len` of `echo_buf` still to
  // come by `echo_until` (monotonic ms). Without it, a returned command
  // fails its read at once; `echo_key` names the setting in the warning.
  int echo;
  const char *echo_key;
  uint8_t echo_buf[NBR14522_CMD_SIZE];
  int echo_at;
  int echo_len;
  int64_t echo_until;
  int echo_said;     // the warning that the line echoes was logged
  int missing_said;  // the one that it does not although `echo` is set

  // Sessions: the AMR side numbers its clients, and a response goes only to
  // the client whose command it answers. `session` is the client served now,
  // `cmd_session` the one whose command is pending, `rsp_session` the one
  // whose command the response being handed over answers. 0 until the first
  // session.
  uint32_t session;
  uint32_t cmd_session;
  uint32_t rsp_session;

  // A command that reached the link in pieces (a small-MSS tunnel, a serial
  // redirector) is held here until it is whole, or until its time is up.
  uint8_t hold_buf[NBR14522_CMD_SIZE];
  int hold_len;
  int64_t hold_first;  // monotonic ms of its first and its latest piece
  int64_t hold_last;

  // A line that failed (end of file, a pulled adapter) is closed, fd_com is
  // -1, and its path is opened again at `reopen_at` (monotonic ms); open
  // failures meanwhile are logged at most once a minute.
  int64_t reopen_at;
  log_limit reopen_log;
  // Whether the line is open (fd_com >= 0), for readers on other threads.
  std::atomic<uint32_t> line_up;

  // The channel's flight recorder, shared with its TCP server; nullptr for
  // none. Set before the thread starts.
  trace_ring *trace;
  // The ticket of the run of ENQs being recorded, plus one; 0 for none.
  uint64_t enq_run;

  // Set while the thread runs: the context is stored first and the handler
  // published with release order, so the thread sees both or neither.
  std::atomic<nbr14522_rsp_fn> rsp_handler;
  std::atomic<void *> rsp_ctx;

  std::atomic<uint32_t> n_connected;
  std::atomic<uint32_t> n_disconnected;
  std::atomic<uint32_t> n_conn_lost;
  std::atomic<uint32_t> n_cmd_ok;
  std::atomic<uint32_t> n_cmd_failed;
  std::atomic<uint32_t> n_rsp_ok;
  std::atomic<uint32_t> n_rsp_failed;
  std::atomic<uint32_t> n_cmd_unanswered[NBR14522_GONE_KINDS];

  // Command codes let through to the meter while `cmd_filter` is set; set
  // before the first command is queued, read by the link thread only then.
  bool cmd_allowed[256];
  int cmd_filter;
  // Commands that the filter kept from the meter.
  std::atomic<uint32_t> n_cmd_refused;

  // Good frames that answered no command in flight: acknowledged, dropped.
  std::atomic<uint32_t> n_rsp_dropped;
  // The last good answer: when (wall clock, s) and from which meter (its
  // bytes 1 to 4); and how long answered commands took.
  std::atomic<uint32_t> last_answer_s;
  std::atomic<uint32_t> meter_number;
  std::atomic<uint32_t> reads[NBR14522_READ_BUCKETS + 1];
  std::atomic<uint64_t> read_ms;
  int64_t cmd_arrived_ms;  // when the pending command (its first piece) came

  // Bound what the meter and the AMR client can make the link log; used by
  // the link thread and by the event writers, never blocking either. Each
  // kind of line has a budget of its own, so that the progress lines of
  // ordinary reads never crowd out a notice, nor notices a warning; together
  // they let about 600 lines through in any minute.
  log_limit log;       // warnings and errors
  log_limit notices;   // the meter's comings and goings, WAIT
  log_limit progress;  // a response's chunks
};

/// What a link knows of its line before it opens it.
struct nbr14522_line {
  // The line returns every byte written (a two-wire RS-485 adapter, an
  // optical head): the link reads them back and drops them before it
  // hears the meter.
  bool echo;
  // The setting that says so, named in the warning a link logs when it
  // finds its line returning a command unannounced; borrowed.
  const char *echo_key;
};

/// Opens the serial line `dev` at 9600 8N1, creates the event channel and
/// both timers and starts the link thread, which holds a break on the line
/// until the first command and records its protocol events in `trace` (if
/// given; borrowed, it must outlive the link). `line` (copied; nullptr: no
/// echo) says how the line behaves. Returns the running link, or nullptr
/// (logged) with nothing left behind.
nbr14522_link *nbr14522_open(const char *dev, trace_ring *trace = nullptr, const nbr14522_line *line = nullptr);

/// Stops the link thread, deletes the timers, closes the event channel and
/// the line (asserting DTR and RTS first) and frees the link. Any thread but
/// the link's own; nullptr is accepted.
void nbr14522_close(nbr14522_link *link);

/// Fills `*out` with the link's state and counters. Any thread; each word is
/// read once, so the figures may be a moment apart but never torn.
void nbr14522_snapshot(const nbr14522_link *link, nbr14522_stats *out);

/// Stops the link thread only (cancel, then wait for it), so that no further
/// response handler call can happen; nbr14522_close releases the rest.
void nbr14522_stop(nbr14522_link *link);

/// Installs the response handler, which gets each good response that
/// answers a command of the client served now (or that comes when no client
/// has been numbered yet); does nothing unless both are given. Any thread,
/// once.
void nbr14522_set_rsp_handler(nbr14522_link *link, const nbr14522_rsp_cb *cb);

/// Lets only the command codes flagged in `allowed` (256 flags) through to
/// the meter; any other command is dropped, logged and counted, and its
/// client gets no response, as from a meter that does not answer. Call
/// before the first command is queued.
void nbr14522_allow_commands(nbr14522_link *link, const bool allowed[256]);

/// Queues one event: header and payload in one write, so events from
/// different threads never interleave. Returns `length`, or -1 (logged) for
/// an invalid id, length or payload, or a failed write. Any thread.
int nbr14522_ev_write(nbr14522_link *link, int id, int length, const uint8_t *data);

/// Queues a command frame (event 0) as received from the AMR side.
/// Returns as nbr14522_ev_write. Any thread.
extern "C" MEVRAKT_EXPORT int nbr14522_write(nbr14522_link *link, const uint8_t *data, int length);

/// Queues a disconnect request (event 1). Returns as nbr14522_ev_write.
/// Any thread.
extern "C" MEVRAKT_EXPORT int nbr14522_disconnect(nbr14522_link *link);

/// Queues the start of AMR session `session` (event 4): commands queued
/// after it are that client's, and a pending command of an earlier client is
/// dropped. Returns as nbr14522_ev_write. Any thread.
int nbr14522_session(nbr14522_link *link, uint32_t session);

/// The session whose command the response being handed over answers. Only
/// from within the response handler (the link thread).
uint32_t nbr14522_rsp_session(const nbr14522_link *link);

/// Queue the ENQ timeout (event 2) and the response timeout (event 3); what
/// the link's notifier thread runs at each expiry. Any thread.
void nbr14522_enq_timeout(nbr14522_link *link);
void nbr14522_rsp_timeout(nbr14522_link *link);

/// Arm the ENQ or response timer once, `ms` milliseconds from now, or stop it
/// when `ms` is 0. Failures are logged only. Link thread only.
void nbr14522_enq_tout_set(nbr14522_link *link, int ms);
void nbr14522_rsp_tout_set(nbr14522_link *link, int ms);

/// The link thread's body: never returns; ends by cancellation.
void *nbr14522_main(void *link);
