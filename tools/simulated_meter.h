// SPDX-License-Identifier: MIT
// The simulated meter's protocol engine: the meter side of NBR 14522 with
// injectable faults. It does no I/O of its own: the caller feeds it the bytes
// read from the line and the time, writes what it queues in `out` when each
// byte falls due, and reports the bytes written. One thread only.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tools/tool_util.h"

enum sim_fault_kind {
  SIM_BAD_CRC,       // occasion: every response transmission, resends included
  SIM_NAK,           // occasion: every good command not already in a NAK series
  SIM_WAIT,          // occasion: every good command about to be answered
  SIM_SILENCE,       // occasion: every ENQ slot while idle
  SIM_CHUNKS,        // occasion: every response transmission
  SIM_STALL,         // occasion: every response transmission
  SIM_GARBAGE,       // occasion: every ENQ slot while idle (and not silent)
  SIM_CROSSED,       // occasion: every response transmission
  SIM_HALF,          // occasion: every response transmission
  SIM_UNSOLICITED,   // occasion: every ENQ slot while idle (and not silent)
  SIM_LOSE_ACK,      // occasion: every ACK of a composed answer's frame but the last
  SIM_REPEAT_FRAME,  // occasion: as lose-ack
  SIM_FAULT_KINDS
};

struct sim_fault {
  double prob = 0.0;         // chance per occasion, drawn from the seeded generator
  uint64_t forced[64] = {};  // occasion numbers (from 1) that always hit
  size_t forced_count = 0;
  bool given = false;  // some --fault named this kind
  uint64_t args[2] = {0, 0};
  uint64_t occasions = 0;
  uint64_t injected = 0;
};

// Each counter counts events on the line; see the usage text of
// mevrakt-meter-sim for what a soak may compare them with.
struct sim_stats {
  uint64_t enq_sent = 0;
  uint64_t commands_good = 0;
  uint64_t commands_bad_crc = 0;
  uint64_t commands_incomplete = 0;
  uint64_t naks_sent = 0;
  uint64_t waits_sent = 0;
  uint64_t responses_sent_good = 0;
  uint64_t responses_sent_bad = 0;
  uint64_t responses_good_acked = 0;
  uint64_t responses_bad_acked = 0;
  uint64_t responses_good_naked = 0;
  uint64_t responses_bad_naked = 0;
  uint64_t responses_unanswered = 0;
  uint64_t responses_given_up = 0;
  uint64_t garbage_bytes_sent = 0;
  uint64_t stray_bytes = 0;
  uint64_t stray_acks = 0;  // the ACKs and NAKs among stray_bytes
  uint64_t stray_naks = 0;
  uint64_t commands_queued = 0;  // commands heard while busy, answered after
  uint64_t acks_ignored = 0;     // by the lose-ack and repeat-frame faults
  uint64_t echoed_bytes = 0;     // bytes of the reader's returned by --echo
  // Writes of a response 40 ms or more after they were due: a busy host held
  // the simulator up, and the reader saw a response pause that long.
  uint64_t late_writes = 0;
};

// With echo_len set, a response carries bytes 1 to echo_len of its command
// from this offset on, so a client can tell which command it answers.
constexpr size_t SIM_ECHO_OFFSET = 128;
constexpr size_t SIM_ECHO_MAX = NBR14522_CMD_SIZE - 3;

struct sim_out {
  uint8_t byte;
  int64_t due_ns;  // monotonic time at which the byte may be written
};

// The bytes queued for the line, oldest first, in a fixed ring: the tools
// keep to the C library, so no allocating container. Room for several
// responses; a byte queued beyond that is dropped.
struct sim_queue {
  static constexpr size_t capacity = 2048;
  sim_out items[capacity];
  size_t head = 0;
  size_t count = 0;

  bool empty() const { return count == 0; }
  size_t size() const { return count; }
  const sim_out &front() const { return items[head]; }
  const sim_out &operator[](size_t i) const { return items[(head + i) % capacity]; }
  void push_back(const sim_out &item)
  {
    if (count < capacity)
      items[(head + count++) % capacity] = item;
  }
  void pop_front(size_t n)
  {
    n = n < count ? n : count;
    head = (head + n) % capacity;
    count -= n;
  }
  void clear() { head = count = 0; }
};

enum sim_state {
  SIM_IDLE,        // sending ENQ, collecting a command
  SIM_TURNAROUND,  // a command heard; its answer (or a composed answer's next frame) due at deadline_ns
  SIM_PAUSED,      // WAIT sent, pausing before answering or resuming ENQ
  SIM_SENDING,     // a response is (partly) queued in `out`
  SIM_ACK_WAIT,    // the response is out; waiting for ACK or NAK
};

// What a meter does with a command it hears while busy with another.
enum sim_busy {
  SIM_BUSY_IGNORE,  // drops it
  SIM_BUSY_ANSWER,  // answers it after the one under way, the work done meanwhile
  SIM_BUSY_QUEUE,   // works on it after the one under way: one command after another
};

struct sim_meter {
  // Settings, filled by the caller before sim_start.
  int64_t enq_ns = 200000000;
  bool line_speed = false;
  // A real meter takes a moment before it answers a command; the gateway
  // relies on that, flushing its input once the command has left the line.
  int64_t turnaround_ns = 10000000;
  int64_t turnaround_max_ns = 0;  // above turnaround_ns: each turnaround drawn between the two
  // Idle time after each byte sent, as a meter that paces its bytes keeps.
  int64_t pace_ns = 0;
  // The line returns every byte the reader writes (a two-wire RS-485
  // adapter that hears itself, an optical head's reflection).
  bool echo_line = false;
  uint32_t meter_id = 12345678;
  size_t echo_len = 0;  // 0 to SIM_ECHO_MAX
  sim_busy busy = SIM_BUSY_IGNORE;
  // Keep sending ENQ during the turnaround, as some meters do.
  bool enq_while_busy = false;
  // Frames in the answer to a composed command (codes 26, 27, 52).
  int composed_frames = 3;
  uint64_t seed = 1;
  FILE *trace = nullptr;  // one line per protocol event when set
  sim_fault faults[SIM_FAULT_KINDS];

  // State.
  sim_state state = SIM_IDLE;
  bool plugged = true;
  uint64_t rng = 0;
  int64_t start_ns = 0;
  int64_t next_enq_ns = 0;
  int64_t silent_until_ns = 0;
  int64_t cmd_first_ns = 0;
  int64_t cmd_last_ns = 0;
  int64_t deadline_ns = 0;  // end of the pause or of the ACK wait
  int64_t line_free_ns = 0;
  uint8_t cmd[NBR14522_CMD_SIZE] = {};
  size_t cmd_len = 0;
  uint8_t nak_cmd[NBR14522_CMD_SIZE] = {};
  bool nak_active = false;
  uint64_t nak_left = 0;
  bool pause_then_enq = false;
  uint8_t rsp[NBR14522_RSP_SIZE] = {};
  bool rsp_bad = false;
  int rsp_resends = 0;
  bool rsp_half = false;  // the half fault cut this transmission short
  int frames_left = 0;    // frames of a composed answer still to send, this one included
  int frame_index = 0;
  int64_t ask_ack_ns = 0;    // lose-ack: when to send ENQ for the ACK again; 0 for never
  int64_t repeat_ns = 0;     // repeat-frame: when to send the frame again; 0 for never
  uint8_t last_code = 0x14;  // code of the last command answered
  // Commands heard while busy (SIM_BUSY_ANSWER, SIM_BUSY_QUEUE), with when
  // they were heard.
  static constexpr size_t queue_max = 8;
  uint8_t queued[queue_max][NBR14522_CMD_SIZE] = {};
  int64_t queued_ns[queue_max] = {};
  size_t queued_count = 0;
  uint8_t busy_cmd[NBR14522_CMD_SIZE] = {};
  size_t busy_len = 0;
  uint32_t readings = 0;
  sim_queue out;
  sim_stats stats;
};

/// Parses one fault as written, KIND{=PROB|@N[,N...]}[:ARG[:ARG]], into
/// `sim`. Faults of one kind add up: their occasions join, and the
/// last probability and the last value of each argument given count.
/// Returns false with a one-line reason in `err` when it is bad.
bool sim_fault_parse(sim_meter *sim, const char *text, char *err, size_t errlen);

/// Starts the engine at `now_ns`: seeds the generator, first ENQ due at once.
void sim_start(sim_meter *sim, int64_t now_ns);

/// Feeds bytes read from the line.
void sim_input(sim_meter *sim, const uint8_t *data, size_t len, int64_t now_ns);

/// Runs what has fallen due by `now_ns`: ENQ slots, pauses, time-outs.
void sim_tick(sim_meter *sim, int64_t now_ns);

/// Returns the next time sim_tick has work, not counting `out`.
int64_t sim_next_ns(const sim_meter *sim);

/// Removes the first `count` bytes of `out` once they are written.
void sim_written(sim_meter *sim, size_t count, int64_t now_ns);

/// Tells the engine whether a reader holds the line. Unplugging drops what
/// is queued and any exchange under way; plugging starts ENQ at once.
void sim_set_plugged(sim_meter *sim, bool plugged, int64_t now_ns);

/// Prints one key=value line per counter.
void sim_stats_print(const sim_meter *sim, FILE *to);
