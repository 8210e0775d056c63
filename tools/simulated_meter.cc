// SPDX-License-Identifier: MIT
#include "tools/simulated_meter.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstring>
#include <ctime>

namespace {

constexpr int64_t MS = 1000000;
// A reader writes a command in one go; a part that stops this long is noise
// and must not hold the next command out of step.
constexpr int64_t CMD_STALL_NS = 100 * MS;
constexpr int64_t ACK_WAIT_NS = 1000 * MS;
constexpr int MAX_RESENDS = 3;
// Between a composed answer's frames: the ACK of one, then the next.
constexpr int64_t FRAME_GAP_NS = 10 * MS;

struct fault_info {
  const char *name;
  int nargs;
  std::array<uint64_t, 2> def, min, max;
};

// Indexed by sim_fault_kind. The wait fault's second argument is a word
// (answer or enq), stored as 0 or 1.
constexpr std::array<fault_info, SIM_FAULT_KINDS> fault_table{{
    {"bad-crc", 0, {0, 0}, {0, 0}, {0, 0}},
    {"nak", 1, {1, 0}, {1, 0}, {20, 0}},
    {"wait", 2, {1000, 0}, {1, 0}, {600000, 1}},
    {"silence", 1, {700, 0}, {1, 0}, {3600000, 0}},
    {"chunks", 2, {3, 2}, {2, 0}, {64, 1000}},
    {"stall", 1, {20, 0}, {0, 0}, {10000, 0}},
    {"garbage", 1, {3, 0}, {1, 0}, {NBR14522_RSP_SIZE, 0}},
    {"crossed", 0, {0, 0}, {0, 0}, {0, 0}},
    {"half", 1, {NBR14522_RSP_SIZE / 2, 0}, {1, 0}, {NBR14522_RSP_SIZE - 1, 0}},
    {"unsolicited", 0, {0, 0}, {0, 0}, {0, 0}},
    {"lose-ack", 1, {100, 0}, {1, 0}, {10000, 0}},
    {"repeat-frame", 1, {100, 0}, {1, 0}, {10000, 0}},
}};

__attribute__((format(printf, 3, 4))) bool fail(char *err, size_t errlen, const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(err, errlen, fmt, ap);
  va_end(ap);
  return false;
}

__attribute__((format(printf, 3, 4))) void trace(const sim_meter *sim, int64_t now_ns, const char *fmt, ...)
{
  if (!sim->trace)
    return;
  fprintf(sim->trace, "%10.3f ", static_cast<double>(now_ns - sim->start_ns) / MS);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(sim->trace, fmt, ap);
  va_end(ap);
  fputc('\n', sim->trace);
  fflush(sim->trace);
}

uint64_t next_random(sim_meter *sim)
{
  // splitmix64: tiny, and the same seed gives the same faults everywhere.
  uint64_t z = (sim->rng += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

bool fault_hit(sim_meter *sim, sim_fault_kind kind)
{
  sim_fault &f = sim->faults[kind];
  f.occasions++;
  bool hit = std::find(f.forced, f.forced + f.forced_count, f.occasions) != f.forced + f.forced_count;
  if (f.prob > 0.0 && static_cast<double>(next_random(sim) >> 11) * 0x1p-53 < f.prob)
    hit = true;
  if (hit)
    f.injected++;
  return hit;
}

// Line time of `bytes` bytes at 9600 baud 8N1, from one base so that
// rounding never adds up.
int64_t wire_ns(size_t bytes)
{
  return static_cast<int64_t>(bytes) * 10000000000LL / 9600;
}

// Queues bytes after whatever is already queued. `gaps` holds, per byte, the
// pause in ms before it (may be null). At line speed byte i of a run is due
// when its stop bit has left, i + 1 byte times after the run starts: only
// then would the other end have it.
void queue(sim_meter *sim, const uint8_t *data, size_t len, const int64_t *gaps, int64_t now_ns)
{
  int64_t base = std::max(now_ns, sim->line_free_ns);
  int64_t pause = 0;
  int64_t due = base;
  for (size_t i = 0; i < len; i++) {
    if (gaps)
      pause += gaps[i];
    due = base + pause + (sim->line_speed ? wire_ns(i + 1) : 0) + static_cast<int64_t>(i) * sim->pace_ns;
    sim->out.push_back({data[i], due});
  }
  sim->line_free_ns = due;
}

void queue_byte(sim_meter *sim, uint8_t byte, int64_t now_ns)
{
  queue(sim, &byte, 1, nullptr, now_ns);
}

void put_bcd(uint8_t *to, int bytes, uint64_t value)
{
  for (int i = bytes - 1; i >= 0; i--) {
    to[i] = static_cast<uint8_t>(value % 10 | (value / 10 % 10) << 4);
    value /= 100;
  }
}

// A plausible reading: meter number, clock, reading number and four energy
// registers in hundredths of kWh that grow with every reading.
void build_response(sim_meter *sim, uint8_t code)
{
  uint8_t *r = sim->rsp;
  memset(r, 0, NBR14522_RSP_SIZE);
  sim->readings++;
  r[0] = code;
  put_bcd(r + 1, 4, sim->meter_id);
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  const int clock[6] = {tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_mday, tm.tm_mon + 1, tm.tm_year % 100};
  for (int i = 0; i < 6; i++)
    put_bcd(r + 5 + i, 1, static_cast<uint64_t>(clock[i]));
  put_bcd(r + 11, 4, sim->readings);
  for (uint64_t reg = 0; reg < 4; reg++)
    put_bcd(r + 15 + 5 * reg, 5, 1234567 * (reg + 1) + sim->readings * (37 + 11 * reg));
  // A composed answer's frames carry their place in byte 5: only the last
  // has the mark.
  if (nbr14522_is_composed(code))
    r[NBR14522_RSP_FLAGS_BYTE] = sim->frames_left <= 1 ? NBR14522_RSP_LAST : 0;
  memcpy(r + SIM_ECHO_OFFSET, sim->cmd + 1, sim->echo_len);
  nbr14522_frame_seal(r, NBR14522_RSP_SIZE);
}

// The echoed command bytes in hex, for the trace; empty without an echo.
void echo_text(const sim_meter *sim, char *text)
{
  text[0] = '\0';
  if (sim->echo_len == 0)
    return;
  char *at = text + sprintf(text, " echo=");
  for (size_t i = 0; i < sim->echo_len; i++)
    at += sprintf(at, "%02X", sim->rsp[SIM_ECHO_OFFSET + i]);
}

// A byte from the reader that the meter does not expect now.
void stray(sim_meter *sim, uint8_t byte)
{
  sim->stats.stray_bytes++;
  if (byte == NBR14522_ACK)
    sim->stats.stray_acks++;
  else if (byte == NBR14522_NAK)
    sim->stats.stray_naks++;
}

void transmit(sim_meter *sim, int64_t now_ns)
{
  uint8_t frame[NBR14522_RSP_SIZE];
  memcpy(frame, sim->rsp, NBR14522_RSP_SIZE);
  sim->rsp_bad = fault_hit(sim, SIM_BAD_CRC);
  if (sim->rsp_bad) {
    frame[256] ^= 0x5A;
    frame[257] ^= 0xA5;
  }
  int64_t gaps[NBR14522_RSP_SIZE] = {};
  bool shaped = false;
  if (fault_hit(sim, SIM_CHUNKS)) {
    uint64_t n = sim->faults[SIM_CHUNKS].args[0];
    for (uint64_t i = 1; i < n; i++)
      gaps[i * NBR14522_RSP_SIZE / n] += static_cast<int64_t>(sim->faults[SIM_CHUNKS].args[1]) * MS;
    shaped = true;
  }
  if (fault_hit(sim, SIM_STALL)) {
    gaps[NBR14522_RSP_SIZE / 2] += static_cast<int64_t>(sim->faults[SIM_STALL].args[0]) * MS;
    shaped = true;
  }
  // An ENQ sent just before the command came, the response right behind it.
  const bool crossed = fault_hit(sim, SIM_CROSSED);
  if (crossed) {
    queue_byte(sim, NBR14522_ENQ, now_ns);
    sim->stats.enq_sent++;
  }
  sim->rsp_half = fault_hit(sim, SIM_HALF);
  const size_t len = sim->rsp_half ? static_cast<size_t>(sim->faults[SIM_HALF].args[0]) : NBR14522_RSP_SIZE;
  queue(sim, frame, len, shaped ? gaps : nullptr, now_ns);
  (sim->rsp_bad ? sim->stats.responses_sent_bad : sim->stats.responses_sent_good)++;
  sim->state = SIM_SENDING;
  char echo[8 + 2 * SIM_ECHO_MAX];
  echo_text(sim, echo);
  char part[32] = "";
  if (sim->frames_left > 1 || sim->frame_index > 1)
    snprintf(part, sizeof part, " frame %d", sim->frame_index);
  trace(sim, now_ns, "tx response %02X%s%s%s%s%s%s", frame[0], part, echo, sim->rsp_bad ? " bad-crc" : "",
        shaped ? " shaped" : "", crossed ? " after ENQ" : "", sim->rsp_half ? " cut short" : "");
}

// The answer (or a composed answer's next frame) goes out at `at_ns`; a
// meter that keeps its ENQ rhythm meanwhile sends ENQs before it.
void answer_at(sim_meter *sim, int64_t at_ns)
{
  sim->state = SIM_TURNAROUND;
  sim->deadline_ns = at_ns;
}

void on_command(sim_meter *sim, int64_t heard_ns, int64_t now_ns);

// An exchange is over. A command heard meanwhile is answered next; else the
// meter idles, sending ENQ from `next_enq_ns` on.
void go_idle(sim_meter *sim, int64_t next_enq_ns, int64_t now_ns = 0)
{
  sim->state = SIM_IDLE;
  sim->cmd_len = 0;
  sim->frames_left = 0;
  sim->ask_ack_ns = 0;
  sim->repeat_ns = 0;
  sim->next_enq_ns = next_enq_ns;
  if (sim->queued_count == 0 || now_ns == 0)
    return;
  memcpy(sim->cmd, sim->queued[0], NBR14522_CMD_SIZE);
  const int64_t heard_ns = sim->queued_ns[0];
  sim->queued_count--;
  memmove(sim->queued[0], sim->queued[1], sim->queued_count * NBR14522_CMD_SIZE);
  memmove(sim->queued_ns, sim->queued_ns + 1, sim->queued_count * sizeof sim->queued_ns[0]);
  trace(sim, now_ns, "taking up a command heard while busy");
  // A meter that works one command after another starts on it only now.
  on_command(sim, sim->busy == SIM_BUSY_QUEUE ? now_ns : heard_ns, now_ns);
}

void nak_command(sim_meter *sim, int64_t now_ns, const char *why)
{
  queue_byte(sim, NBR14522_NAK, now_ns);
  sim->stats.naks_sent++;
  trace(sim, now_ns, "tx NAK (%s)", why);
}

// Answers the command in `cmd`, heard at `heard_ns`, a turnaround after it
// (or now, if that has passed while the meter was busy).
void on_command(sim_meter *sim, int64_t heard_ns, int64_t now_ns)
{
  int64_t turnaround = sim->turnaround_ns;
  if (sim->turnaround_max_ns > turnaround)
    turnaround +=
        static_cast<int64_t>(next_random(sim) % static_cast<uint64_t>(sim->turnaround_max_ns - turnaround + 1));
  const int64_t answer_ns = std::max(now_ns, heard_ns + turnaround);
  sim->cmd_len = 0;
  if (!nbr14522_frame_ok(sim->cmd, NBR14522_CMD_SIZE)) {
    sim->stats.commands_bad_crc++;
    trace(sim, now_ns, "rx command %02X bad-crc", sim->cmd[0]);
    nak_command(sim, answer_ns, "bad command");
    return;
  }
  sim->stats.commands_good++;
  trace(sim, now_ns, "rx command %02X", sim->cmd[0]);

  // A NAK series belongs to one command: a different one ends it.
  if (sim->nak_active && memcmp(sim->nak_cmd, sim->cmd, NBR14522_CMD_SIZE) != 0)
    sim->nak_active = false;
  if (!sim->nak_active && fault_hit(sim, SIM_NAK)) {
    sim->nak_active = true;
    sim->nak_left = sim->faults[SIM_NAK].args[0];
    memcpy(sim->nak_cmd, sim->cmd, NBR14522_CMD_SIZE);
  }
  if (sim->nak_active && sim->nak_left > 0) {
    sim->nak_left--;
    nak_command(sim, answer_ns, "fault");
    return;
  }
  sim->nak_active = false;

  sim->last_code = sim->cmd[0];
  sim->frames_left = nbr14522_is_composed(sim->cmd[0]) ? sim->composed_frames : 1;
  sim->frame_index = 1;
  build_response(sim, sim->cmd[0]);
  sim->rsp_resends = 0;
  if (fault_hit(sim, SIM_WAIT)) {
    queue_byte(sim, NBR14522_WAIT, answer_ns);
    sim->stats.waits_sent++;
    sim->state = SIM_PAUSED;
    sim->pause_then_enq = sim->faults[SIM_WAIT].args[1] == 1;
    sim->deadline_ns = answer_ns + static_cast<int64_t>(sim->faults[SIM_WAIT].args[0]) * MS;
    trace(sim, now_ns, "tx WAIT");
    return;
  }
  answer_at(sim, answer_ns);
}

// The reader's write reaches us at once on a pty; on a real line the last
// byte comes one command's line time after the first.
int64_t heard_at(const sim_meter *sim, int64_t now_ns)
{
  return sim->line_speed ? std::max(now_ns, sim->cmd_first_ns + wire_ns(NBR14522_CMD_SIZE)) : now_ns;
}

// A byte from the reader while the meter is busy: part of a command to answer
// later (SIM_BUSY_ANSWER, SIM_BUSY_QUEUE), or stray.
void busy_input(sim_meter *sim, uint8_t byte, int64_t now_ns)
{
  if (sim->busy == SIM_BUSY_IGNORE || (sim->busy_len == 0 && nbr14522_is_control(byte))) {
    stray(sim, byte);
    return;
  }
  sim->busy_cmd[sim->busy_len++] = byte;
  if (sim->busy_len < NBR14522_CMD_SIZE)
    return;
  sim->busy_len = 0;
  if (!nbr14522_frame_ok(sim->busy_cmd, NBR14522_CMD_SIZE) || sim->queued_count == sim->queue_max) {
    sim->stats.commands_bad_crc++;
    trace(sim, now_ns, "rx command %02X while busy, dropped", sim->busy_cmd[0]);
    return;
  }
  memcpy(sim->queued[sim->queued_count], sim->busy_cmd, NBR14522_CMD_SIZE);
  sim->queued_ns[sim->queued_count++] = now_ns;
  sim->stats.commands_queued++;
  trace(sim, now_ns, "rx command %02X while busy, answered later", sim->busy_cmd[0]);
}

void on_reply(sim_meter *sim, uint8_t byte, int64_t now_ns)
{
  sim_stats &s = sim->stats;
  if (byte == NBR14522_ACK) {
    if (sim->frames_left > 1 && fault_hit(sim, SIM_LOSE_ACK)) {
      s.acks_ignored++;
      sim->ask_ack_ns = now_ns + static_cast<int64_t>(sim->faults[SIM_LOSE_ACK].args[0]) * MS;
      trace(sim, now_ns, "rx ACK, ignored");
      return;
    }
    if (sim->frames_left > 1 && fault_hit(sim, SIM_REPEAT_FRAME)) {
      s.acks_ignored++;
      sim->repeat_ns = now_ns + static_cast<int64_t>(sim->faults[SIM_REPEAT_FRAME].args[0]) * MS;
      trace(sim, now_ns, "rx ACK, ignored: the frame goes again");
      return;
    }
    (sim->rsp_bad ? s.responses_bad_acked : s.responses_good_acked)++;
    trace(sim, now_ns, "rx ACK");
    if (sim->frames_left > 1) {
      sim->frames_left--;
      sim->frame_index++;
      build_response(sim, sim->cmd[0]);
      sim->rsp_resends = 0;
      sim->ask_ack_ns = 0;
      answer_at(sim, now_ns + FRAME_GAP_NS);
      return;
    }
    go_idle(sim, now_ns + sim->enq_ns, now_ns);
    return;
  }
  (sim->rsp_bad ? s.responses_bad_naked : s.responses_good_naked)++;
  trace(sim, now_ns, "rx NAK");
  if (sim->rsp_resends < MAX_RESENDS) {
    sim->rsp_resends++;
    transmit(sim, now_ns);
    return;
  }
  s.responses_given_up++;
  trace(sim, now_ns, "response given up");
  go_idle(sim, now_ns + sim->enq_ns, now_ns);
}

// The meter's ENQ rhythm while it is busy with a command.
void busy_enq(sim_meter *sim, int64_t now_ns)
{
  queue_byte(sim, NBR14522_ENQ, now_ns);
  sim->stats.enq_sent++;
  trace(sim, now_ns, "tx ENQ while busy");
  sim->next_enq_ns = now_ns + sim->enq_ns;
}

void enq_slot(sim_meter *sim, int64_t now_ns)
{
  // A reader that holds the line open but never reads leaves our bytes
  // queued; a real line would lose them, so do not pile up more.
  if (sim->out.size() > NBR14522_RSP_SIZE) {
    sim->next_enq_ns = now_ns + sim->enq_ns;
    return;
  }
  if (fault_hit(sim, SIM_SILENCE)) {
    sim->silent_until_ns = now_ns + static_cast<int64_t>(sim->faults[SIM_SILENCE].args[0]) * MS;
    sim->next_enq_ns = sim->silent_until_ns;
    trace(sim, now_ns, "silence");
    return;
  }
  if (fault_hit(sim, SIM_UNSOLICITED)) {
    // A frame nobody asked for: the last command's answer once more.
    sim->frames_left = 1;
    sim->frame_index = 1;
    build_response(sim, sim->last_code);
    sim->rsp_resends = 0;
    trace(sim, now_ns, "unsolicited frame");
    transmit(sim, now_ns);
    sim->next_enq_ns = now_ns + sim->enq_ns;
    return;
  }
  if (fault_hit(sim, SIM_GARBAGE)) {
    uint8_t junk[NBR14522_RSP_SIZE];
    const size_t n = static_cast<size_t>(sim->faults[SIM_GARBAGE].args[0]);
    for (size_t i = 0; i < n; i++) {
      do
        junk[i] = static_cast<uint8_t>(next_random(sim));
      while (nbr14522_is_control(junk[i]));
    }
    queue(sim, junk, n, nullptr, now_ns);
    sim->stats.garbage_bytes_sent += n;
    trace(sim, now_ns, "tx %zu garbage bytes", n);
  }
  queue_byte(sim, NBR14522_ENQ, now_ns);
  sim->stats.enq_sent++;
  // Keep the cadence on its own grid unless it fell behind (a long exchange).
  sim->next_enq_ns += sim->enq_ns;
  if (sim->next_enq_ns <= now_ns)
    sim->next_enq_ns = now_ns + sim->enq_ns;
}

}  // namespace

bool sim_fault_parse(sim_meter *sim, const char *text, char *err, size_t errlen)
{
  size_t name_len = strcspn(text, "=@:");
  size_t kind = SIM_FAULT_KINDS;
  for (size_t k = 0; k < SIM_FAULT_KINDS; k++)
    if (strlen(fault_table[k].name) == name_len && strncmp(text, fault_table[k].name, name_len) == 0)
      kind = k;
  if (kind == SIM_FAULT_KINDS)
    return fail(err, errlen, "unknown fault '%.*s'", static_cast<int>(name_len), text);
  const fault_info &info = fault_table[kind];
  sim_fault &f = sim->faults[kind];

  char when[256];
  const char *p = text + name_len;
  if (*p != '=' && *p != '@')
    return fail(err, errlen, "fault '%s' needs =PROB or @N[,N...]", info.name);
  const char mark = *p++;
  size_t when_len = strcspn(p, ":");
  if (when_len == 0 || when_len >= sizeof when)
    return fail(err, errlen, "fault '%s': missing or too long %s", info.name,
                mark == '=' ? "probability" : "occasion list");
  memcpy(when, p, when_len);
  when[when_len] = '\0';
  p += when_len;

  if (mark == '=') {
    if (!tool_parse_prob(when, &f.prob))
      return fail(err, errlen, "fault '%s': probability '%s' is not a number from 0 to 1", info.name, when);
  } else {
    for (char *item = strtok(when, ","); item; item = strtok(nullptr, ",")) {
      uint64_t n;
      if (!tool_parse_uint(item, 1, UINT32_MAX, &n))
        return fail(err, errlen, "fault '%s': occasion '%s' is not a number from 1", info.name, item);
      if (f.forced_count == sizeof f.forced / sizeof f.forced[0])
        return fail(err, errlen, "fault '%s': more than 64 occasions", info.name);
      f.forced[f.forced_count++] = n;
    }
    if (f.forced_count == 0)
      return fail(err, errlen, "fault '%s': empty occasion list", info.name);
  }

  if (!f.given) {
    f.args[0] = info.def[0];
    f.args[1] = info.def[1];
    f.given = true;
  }
  for (size_t i = 0; *p == ':'; i++) {
    p++;
    size_t len = strcspn(p, ":");
    char arg[32];
    if (i >= static_cast<size_t>(info.nargs))
      return info.nargs ? fail(err, errlen, "fault '%s' takes at most %d arguments", info.name, info.nargs)
                        : fail(err, errlen, "fault '%s' takes no argument", info.name);
    if (len == 0 || len >= sizeof arg)
      return fail(err, errlen, "fault '%s': empty or too long argument", info.name);
    memcpy(arg, p, len);
    arg[len] = '\0';
    p += len;
    if (kind == SIM_WAIT && i == 1) {
      if (strcmp(arg, "answer") != 0 && strcmp(arg, "enq") != 0)
        return fail(err, errlen, "fault 'wait': mode '%s' is neither answer nor enq", arg);
      f.args[1] = strcmp(arg, "enq") == 0;
    } else if (!tool_parse_uint(arg, info.min[i], info.max[i], &f.args[i])) {
      return fail(err, errlen, "fault '%s': argument '%s' is not a number from %llu to %llu", info.name, arg,
                  static_cast<unsigned long long>(info.min[i]), static_cast<unsigned long long>(info.max[i]));
    }
  }
  return true;
}

void sim_start(sim_meter *sim, int64_t now_ns)
{
  sim->rng = sim->seed;
  sim->start_ns = now_ns;
  sim->line_free_ns = now_ns;
  go_idle(sim, now_ns);
}

void sim_input(sim_meter *sim, const uint8_t *data, size_t len, int64_t now_ns)
{
  if (sim->echo_line) {
    // Back as it goes out: the reader has it all once its write is done.
    const int64_t due = std::max(now_ns, sim->line_free_ns);
    for (size_t i = 0; i < len; i++)
      sim->out.push_back({data[i], due});
    sim->line_free_ns = due;
    sim->stats.echoed_bytes += len;
  }
  for (size_t i = 0; i < len; i++) {
    uint8_t byte = data[i];
    if (sim->state == SIM_ACK_WAIT) {
      if (byte == NBR14522_ACK || byte == NBR14522_NAK) {
        on_reply(sim, byte, now_ns);
        continue;
      }
      if (nbr14522_is_control(byte)) {
        stray(sim, byte);
        continue;
      }
      // The reader moved on to a new command without answering.
      sim->stats.responses_unanswered++;
      trace(sim, now_ns, "response unanswered");
      go_idle(sim, sim->next_enq_ns);
    }
    // During a turnaround, a pause or a transmission the meter is busy.
    if (sim->state != SIM_IDLE) {
      busy_input(sim, byte, now_ns);
      continue;
    }
    // A command never starts with a control byte, so a lone one here is a
    // late or stray answer.
    if (sim->cmd_len == 0 && nbr14522_is_control(byte)) {
      stray(sim, byte);
      continue;
    }
    if (sim->cmd_len == 0)
      sim->cmd_first_ns = now_ns;
    sim->cmd[sim->cmd_len++] = byte;
    sim->cmd_last_ns = now_ns;
    if (sim->cmd_len == NBR14522_CMD_SIZE)
      on_command(sim, heard_at(sim, now_ns), now_ns);
  }
}

void sim_tick(sim_meter *sim, int64_t now_ns)
{
  switch (sim->state) {
  case SIM_IDLE:
    if (sim->cmd_len > 0 && now_ns - sim->cmd_last_ns >= CMD_STALL_NS) {
      sim->stats.commands_incomplete++;
      trace(sim, now_ns, "dropped %zu bytes of an incomplete command", sim->cmd_len);
      sim->cmd_len = 0;
    }
    if (sim->plugged && sim->cmd_len == 0 && now_ns >= sim->next_enq_ns)
      enq_slot(sim, now_ns);
    break;
  case SIM_PAUSED:
    if (now_ns < sim->deadline_ns)
      break;
    if (sim->pause_then_enq) {
      trace(sim, now_ns, "pause over, command dropped");
      go_idle(sim, now_ns, now_ns);
    } else {
      transmit(sim, now_ns);
    }
    break;
  case SIM_TURNAROUND:
    if (sim->enq_while_busy && sim->plugged && now_ns >= sim->next_enq_ns && now_ns < sim->deadline_ns)
      busy_enq(sim, now_ns);
    if (now_ns >= sim->deadline_ns)
      transmit(sim, now_ns);
    break;
  case SIM_SENDING:
    break;
  case SIM_ACK_WAIT:
    if (sim->repeat_ns != 0 && now_ns >= sim->repeat_ns) {
      sim->repeat_ns = 0;
      transmit(sim, now_ns);
    } else if (sim->ask_ack_ns != 0 && now_ns >= sim->ask_ack_ns) {
      // It never had our ACK, it thinks: it asks for it again.
      queue_byte(sim, NBR14522_ENQ, now_ns);
      sim->stats.enq_sent++;
      trace(sim, now_ns, "tx ENQ for the ACK");
      sim->ask_ack_ns = 0;
      sim->deadline_ns = now_ns + ACK_WAIT_NS;
    } else if (now_ns >= sim->deadline_ns) {
      sim->stats.responses_unanswered++;
      trace(sim, now_ns, "no ACK or NAK");
      go_idle(sim, now_ns, now_ns);
    }
    break;
  }
}

int64_t sim_next_ns(const sim_meter *sim)
{
  switch (sim->state) {
  case SIM_IDLE:
    if (sim->cmd_len > 0)
      return sim->cmd_last_ns + CMD_STALL_NS;
    return sim->plugged ? sim->next_enq_ns : INT64_MAX;
  case SIM_TURNAROUND:
    if (sim->enq_while_busy && sim->plugged)
      return std::min(sim->deadline_ns, sim->next_enq_ns);
    return sim->deadline_ns;
  case SIM_ACK_WAIT:
    if (sim->repeat_ns != 0)
      return std::min(sim->deadline_ns, sim->repeat_ns);
    if (sim->ask_ack_ns != 0)
      return std::min(sim->deadline_ns, sim->ask_ack_ns);
    return sim->deadline_ns;
  case SIM_PAUSED:
    return sim->deadline_ns;
  case SIM_SENDING:
    break;
  }
  return INT64_MAX;
}

void sim_written(sim_meter *sim, size_t count, int64_t now_ns)
{
  count = std::min(count, sim->out.size());
  sim->out.pop_front(count);
  if (sim->state == SIM_SENDING && sim->out.empty()) {
    if (sim->rsp_half) {
      // It stopped half way, and waits for nothing: ENQ again next.
      trace(sim, now_ns, "response cut short, back to ENQ");
      go_idle(sim, now_ns + sim->enq_ns, now_ns);
      return;
    }
    sim->state = SIM_ACK_WAIT;
    sim->deadline_ns = now_ns + ACK_WAIT_NS;
  }
}

void sim_set_plugged(sim_meter *sim, bool plugged, int64_t now_ns)
{
  if (plugged == sim->plugged)
    return;
  sim->plugged = plugged;
  trace(sim, now_ns, plugged ? "reader opened the line" : "reader closed the line");
  if (!plugged) {
    if (sim->state == SIM_SENDING || sim->state == SIM_ACK_WAIT)
      sim->stats.responses_unanswered++;
    sim->out.clear();
    sim->line_free_ns = now_ns;
  }
  sim->queued_count = 0;
  sim->busy_len = 0;
  go_idle(sim, now_ns);
}

void sim_stats_print(const sim_meter *sim, FILE *to)
{
  const sim_stats &s = sim->stats;
  const struct {
    const char *key;
    uint64_t value;
  } rows[] = {
      {"seed", sim->seed},
      {"enq_sent", s.enq_sent},
      {"commands_good", s.commands_good},
      {"commands_bad_crc", s.commands_bad_crc},
      {"commands_incomplete", s.commands_incomplete},
      {"naks_sent", s.naks_sent},
      {"waits_sent", s.waits_sent},
      {"responses_sent_good", s.responses_sent_good},
      {"responses_sent_bad", s.responses_sent_bad},
      {"responses_good_acked", s.responses_good_acked},
      {"responses_bad_acked", s.responses_bad_acked},
      {"responses_good_naked", s.responses_good_naked},
      {"responses_bad_naked", s.responses_bad_naked},
      {"responses_unanswered", s.responses_unanswered},
      {"responses_given_up", s.responses_given_up},
      {"garbage_bytes_sent", s.garbage_bytes_sent},
      {"stray_bytes", s.stray_bytes},
      {"stray_acks", s.stray_acks},
      {"stray_naks", s.stray_naks},
      {"commands_queued", s.commands_queued},
      {"acks_ignored", s.acks_ignored},
      {"echoed_bytes", s.echoed_bytes},
      {"late_writes", s.late_writes},
  };
  for (const auto &row : rows)
    fprintf(to, "%s=%llu\n", row.key, static_cast<unsigned long long>(row.value));
  for (size_t k = 0; k < SIM_FAULT_KINDS; k++) {
    char key[32];
    snprintf(key, sizeof key, "fault_%s", fault_table[k].name);
    for (char *c = key; *c; c++)
      if (*c == '-')
        *c = '_';
    fprintf(to, "%s=%llu\n", key, static_cast<unsigned long long>(sim->faults[k].injected));
  }
  fflush(to);
}
