// SPDX-License-Identifier: MIT
// Runs on the shell thread, which must never be held up for long: answers
// are formatted into buffers on the stack (no stdio stream, no allocation)
// and written in chunks to the client's non-blocking socket, waiting for
// room when it is full, but not beyond a bound for the whole answer. The
// trace ring is read without holding up its writers; the status words are
// relaxed loads, as in the status report.
#include "daemon/report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "common/clock.h"
#include "mevrakt_version.h"
#include "shell/answer.h"

namespace {

constexpr auto relaxed = std::memory_order_relaxed;
// "2026-12-08 10:31:07.412" in local time, or its time of day alone.
void wall_text(int64_t ns, bool with_date, char *text, size_t size)
{
  const time_t seconds = static_cast<time_t>(ns / 1000000000);
  struct tm tm;
  if (!localtime_r(&seconds, &tm) || strftime(text, size, with_date ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &tm) == 0) {
    snprintf(text, size, "?");
    return;
  }
  const size_t used = strlen(text);
  snprintf(text + used, size - used, ".%03d", static_cast<int>(ns % 1000000000 / 1000000));
}

// "192.0.2.7:40512" or "[2001:db8::7]:40512".
void peer_text(const trace_record &r, char *text, size_t size)
{
  char host[INET6_ADDRSTRLEN] = "?";
  const int family = static_cast<int>(r.arg[0]);
  if (family == AF_INET || family == AF_INET6)
    inet_ntop(family, r.data, host, sizeof host);
  snprintf(text, size, family == AF_INET6 ? "[%s]:%u" : "%s:%u", host, r.arg[1]);
}

const char *crc_text(uint32_t good)
{
  return good ? "good" : "bad";
}

const char *gone_text(uint32_t why)
{
  switch (why) {
  case TCP_SERVER_GONE_CLOSED:
    return "closed by the client";
  case TCP_SERVER_GONE_REPLACED:
    return "replaced by a newer client";
  case TCP_SERVER_GONE_SILENT:
    return "silent too long, dropped";
  default:
    return "not reading, dropped";
  }
}

// Whose answer a good frame that answered nothing in flight was.
const char *dropped_text(uint32_t why)
{
  switch (why) {
  case NBR14522_GONE_ANSWERED:
    return "a late or repeated answer";
  case NBR14522_GONE_GIVEN_UP:
    return "its command was given up";
  case NBR14522_GONE_REPLACED:
    return "its client was replaced";
  case NBR14522_GONE_LEFT:
    return "its client left";
  case NBR14522_GONE_NEXT:
    return "its client sent another command";
  case NBR14522_GONE_KINDS:
    return "the frame sent again, our ACK missed";
  default:
    return "nothing was asked";
  }
}

// The reason label of a command that left without an answer.
constexpr const char *kUnanswered[NBR14522_GONE_KINDS] = {
    nullptr, nullptr, "given_up", "replaced", "left", "next", "echo",
};

int event_text(const trace_record &r, char *text, size_t size)
{
  const uint32_t *a = r.arg;
  char peer[INET6_ADDRSTRLEN + 16];
  switch (r.kind) {
  case TCP_SERVER_TRACE_ACCEPTED:
    peer_text(r, peer, sizeof peer);
    return snprintf(text, size, "client accepted %s session %u", peer, a[2]);
  case TCP_SERVER_TRACE_REFUSED: {
    if (r.count <= 1) {
      peer_text(r, peer, sizeof peer);
      return snprintf(text, size, "client refused %s", peer);
    }
    // A run from one host comes from many ports: the host alone.
    char host[INET6_ADDRSTRLEN] = "?";
    if (a[0] == AF_INET || a[0] == AF_INET6)
      inet_ntop(static_cast<int>(a[0]), r.data, host, sizeof host);
    char last[16];
    wall_text(r.last_ns, false, last, sizeof last);
    return snprintf(text, size, "client refused %s x%u, last at %s", host, r.count, last);
  }
  case TCP_SERVER_TRACE_GONE:
    peer_text(r, peer, sizeof peer);
    return snprintf(text, size, "client gone %s session %u (%s)", peer, a[2], gone_text(a[3]));
  case NBR14522_TRACE_CMD_RECEIVED:
    return snprintf(text, size, "command received code %02X length %u crc %s", a[0], a[1], crc_text(a[2]));
  case NBR14522_TRACE_CMD_DROPPED:
    if (a[2] == NBR14522_DROPPED_LENGTH)
      return snprintf(text, size, "command dropped length %u (one command is 1 to 66 bytes)", a[1]);
    return snprintf(text, size, "command dropped code %02X (its client was replaced)", a[0]);
  case NBR14522_TRACE_CMD_REFUSED:
    return snprintf(text, size, "command refused code %02X", a[0]);
  case NBR14522_TRACE_BREAK_RELEASED:
    return snprintf(text, size, "break released");
  case NBR14522_TRACE_BREAK_HELD:
    return snprintf(text, size, "break held");
  case NBR14522_TRACE_METER_CONNECTED:
    return snprintf(text, size, "meter connected");
  case NBR14522_TRACE_METER_LOST:
    return snprintf(text, size, "meter connection lost (its ENQs stopped)");
  case NBR14522_TRACE_ENQ: {
    if (r.count <= 1)
      return snprintf(text, size, "ENQ");
    char last[16];
    wall_text(r.last_ns, false, last, sizeof last);
    const long long period_ms = (r.last_ns - r.time_ns) / (r.count - 1) / 1000000;
    return snprintf(text, size, "ENQ x%u every %lld ms, last at %s", r.count, period_ms, last);
  }
  case NBR14522_TRACE_CMD_WRITTEN:
    return snprintf(text, size, "command written code %02X send %u of %u", a[0], a[1], a[2]);
  case NBR14522_TRACE_NAK_RECEIVED:
    return snprintf(text, size, "NAK received");
  case NBR14522_TRACE_WAIT_RECEIVED:
    return snprintf(text, size, "WAIT received");
  case NBR14522_TRACE_ACK_RECEIVED:
    return snprintf(text, size, "ACK received");
  case NBR14522_TRACE_RSP_STARTED:
    return snprintf(text, size, "response started code %02X", a[0]);
  case NBR14522_TRACE_RSP_COMPLETE:
    return snprintf(text, size, "response complete code %02X meter %02X %02X %02X %02X crc %s", a[0], r.data[0],
                    r.data[1], r.data[2], r.data[3], crc_text(a[1]));
  case NBR14522_TRACE_RSP_DROPPED:
    return snprintf(text, size, "response dropped code %02X (%s)", a[0], dropped_text(a[1]));
  case NBR14522_TRACE_ENQ_CROSSED:
    return snprintf(text, size, "ENQ %u ms after the command, nothing sent again", a[0]);
  case NBR14522_TRACE_METER_QUEUES:
    return snprintf(text, size, "meter answered a send and its resend: no resend on a repeated ENQ");
  case NBR14522_TRACE_ECHO:
    return snprintf(text, size, "line returned the command written (%s)",
                    a[0] ? "dropped, as set" : "read failed: set ECHO=1 if the line echoes");
  case NBR14522_TRACE_ACK_SENT:
    return snprintf(text, size, "ACK sent");
  case NBR14522_TRACE_NAK_SENT:
    return snprintf(text, size, "NAK sent");
  case NBR14522_TRACE_RSP_TIMEOUT:
    return snprintf(text, size, "response time-out after %u bytes", a[0]);
  case NBR14522_TRACE_CMD_GIVEN_UP:
    return snprintf(text, size, "command given up code %02X after %u sends", a[0], a[1]);
  case NBR14522_TRACE_LINE_LOST:
    return snprintf(text, size, "line lost (%s)", a[0] ? strerror(static_cast<int>(a[0])) : "end of file");
  case NBR14522_TRACE_LINE_BACK:
    return snprintf(text, size, "line back");
  default:
    return snprintf(text, size, "event %u", r.kind);
  }
}

// What the report reads of a channel: the snapshots that its link and its
// server offer, each taken once per answer.
struct channel_view {
  nbr14522_stats link;
  tcp_server_stats server;
};

void view_of(const mevrakt_channel *channel, channel_view *view)
{
  nbr14522_snapshot(channel->link, &view->link);
  tcp_server_snapshot(channel->server, &view->server);
}

const char *connected_text(bool connected)
{
  return connected ? "connected" : "disconnected";
}

// The series every running channel has; a disabled channel shows only that
// it is not running. A counter is named here by its family: its samples end
// in "_total".
struct metric {
  const char *name;
  const char *type;
  const char *help;
  uint32_t (*value)(const channel_view &v);
};

constexpr metric kMetrics[] = {
    {"mevrakt_service_running", "gauge", "Whether the channel runs (1) or is disabled (0).",
     [](const channel_view &) { return 1u; }},
    {"mevrakt_amr_client_connected", "gauge", "Whether an AMR client is connected to the channel's TCP port.",
     [](const channel_view &v) { return v.server.client_connected ? 1u : 0u; }},
    {"mevrakt_meter_connected", "gauge", "Whether the meter sends ENQ and the break is released.",
     [](const channel_view &v) { return v.link.connected ? 1u : 0u; }},
    {"mevrakt_break_held", "gauge", "Whether a break is held on the meter's line: no AMR client wants the meter.",
     [](const channel_view &v) { return v.link.break_held ? 1u : 0u; }},
    {"mevrakt_line_usable", "gauge", "Whether the meter's serial line is open.",
     [](const channel_view &v) { return v.link.line_usable ? 1u : 0u; }},
    {"mevrakt_last_response_timestamp_seconds", "gauge",
     "When the meter last gave a good answer, in Unix time; 0 when it has not since the daemon started.",
     [](const channel_view &v) { return v.link.last_answer_s; }},
    {"mevrakt_tcp_sessions", "counter", "AMR client connections accepted.",
     [](const channel_view &v) { return v.server.n_sessions; }},
    {"mevrakt_meter_connections", "counter", "Times the meter was connected.",
     [](const channel_view &v) { return v.link.n_connected; }},
    {"mevrakt_meter_disconnected", "counter", "Times the meter was disconnected as its AMR client left.",
     [](const channel_view &v) { return v.link.n_disconnected; }},
    {"mevrakt_meter_connection_lost", "counter", "Times the meter's ENQs stopped while it was connected.",
     [](const channel_view &v) { return v.link.n_conn_lost; }},
    {"mevrakt_commands_ok", "counter", "Commands answered by a whole good response.",
     [](const channel_view &v) { return v.link.n_cmd_ok; }},
    {"mevrakt_commands_failed", "counter", "Commands given up after 7 sends.",
     [](const channel_view &v) { return v.link.n_cmd_failed; }},
    {"mevrakt_responses_ok", "counter", "Responses with a good CRC that answered a command, handed to its client.",
     [](const channel_view &v) { return v.link.n_rsp_ok; }},
    {"mevrakt_responses_dropped", "counter",
     "Good responses that answered no command in flight (late, repeated or unasked): acknowledged, dropped.",
     [](const channel_view &v) { return v.link.n_rsp_dropped; }},
    {"mevrakt_responses_failed", "counter", "Responses refused for a bad CRC.",
     [](const channel_view &v) { return v.link.n_rsp_failed; }},
    {"mevrakt_connections_refused", "counter", "AMR client connections refused by the access settings.",
     [](const channel_view &v) { return v.server.n_refused; }},
    {"mevrakt_commands_refused", "counter", "Commands refused by the access settings.",
     [](const channel_view &v) { return v.link.n_cmd_refused; }},
};

// A family's HELP and TYPE. The Prometheus text format (0.0.4) names a
// counter's family by its samples, with "_total"; OpenMetrics without.
void family(answer *a, const char *name, const char *type, const char *help, bool openmetrics)
{
  const char *total = !openmetrics && strcmp(type, "counter") == 0 ? "_total" : "";
  answer_line(a, "# HELP %s%s %s\n# TYPE %s%s %s\n", name, total, help, name, total, type);
}

// "0.05", "1.5", "310": a bucket's bound in seconds, without trailing zeros.
void seconds_text(uint32_t ms, char *text, size_t size)
{
  snprintf(text, size, "%u.%03u", ms / 1000, ms % 1000);
  char *end = text + strlen(text);
  while (end[-1] == '0')
    *--end = '\0';
  if (end[-1] == '.')
    end[-1] = '\0';
}

void read_durations(answer *a, const channel_view *views[2])
{
  for (int i = 0; i < 2; i++) {
    const channel_view *v = views[i];
    if (!v)
      continue;
    uint32_t below = 0;
    for (int b = 0; b < NBR14522_READ_BUCKETS; b++) {
      char le[16];
      seconds_text(NBR14522_READ_BUCKETS_MS[b], le, sizeof le);
      below += v->link.reads[b];
      answer_line(a, "mevrakt_read_duration_seconds_bucket{channel=\"%d\",le=\"%s\"} %u\n", i + 1, le, below);
    }
    below += v->link.reads[NBR14522_READ_BUCKETS];
    answer_line(a, "mevrakt_read_duration_seconds_bucket{channel=\"%d\",le=\"+Inf\"} %u\n", i + 1, below);
    answer_line(a, "mevrakt_read_duration_seconds_sum{channel=\"%d\"} %llu.%03u\n", i + 1,
                static_cast<unsigned long long>(v->link.read_ms / 1000),
                static_cast<unsigned>(v->link.read_ms % 1000));
    answer_line(a, "mevrakt_read_duration_seconds_count{channel=\"%d\"} %u\n", i + 1, below);
  }
}

}  // namespace

extern "C" int mevrakt_status(void *context, const char *, int fd)
{
  const auto *channel = static_cast<const mevrakt_channel *>(context);
  answer a;
  answer_start(&a, fd);
  if (!channel) {
    answer_line(&a, "Service is disabled.\n\n");
    return answer_end(&a);
  }
  channel_view v;
  view_of(channel, &v);
  answer_line(&a, "Service               : running\n");
  answer_line(&a, "AMR System            : %s\n", connected_text(v.server.client_connected));
  answer_line(&a, "Meter                 : %s\n\n", connected_text(v.link.connected));
  answer_line(&a, "TCP sessions          : %u\n", v.server.n_sessions);
  answer_line(&a, "Meter connected       : %u\n", v.link.n_connected);
  answer_line(&a, "Meter disconnected    : %u\n", v.link.n_disconnected);
  answer_line(&a, "Meter connection lost : %u\n", v.link.n_conn_lost);
  answer_line(&a, "Commands OK           : %u\n", v.link.n_cmd_ok);
  answer_line(&a, "Commands failed       : %u\n", v.link.n_cmd_failed);
  answer_line(&a, "Responses OK          : %u\n", v.link.n_rsp_ok);
  answer_line(&a, "Responses failed      : %u\n", v.link.n_rsp_failed);
  return answer_end(&a);
}

int mevrakt_trace(void *context, const char *, int fd)
{
  answer a;
  answer_start(&a, fd);
  const auto *channel = static_cast<const mevrakt_channel *>(context);
  if (!channel) {
    answer_line(&a, "Service is disabled.\n");
    return answer_end(&a);
  }
  const trace_ring *ring = &channel->trace;
  const uint64_t end = trace_end(ring);
  for (uint64_t ticket = trace_oldest(ring); ticket < end && !a.failed; ticket++) {
    trace_record record;
    if (!trace_get(ring, ticket, &record))
      continue;  // overwritten meanwhile, or still being written
    char when[32], what[160];
    wall_text(record.time_ns, true, when, sizeof when);
    event_text(record, what, sizeof what);
    answer_line(&a, "%s %s\n", when, what);
  }
  return answer_end(&a);
}

int mevrakt_metrics(void *context, const char *arguments, int fd)
{
  answer a;
  answer_start(&a, fd);
  const auto *channels = static_cast<const mevrakt_channels *>(context);
  const bool openmetrics = arguments && strcmp(arguments, "openmetrics") == 0;
  channel_view view[2];
  const channel_view *views[2] = {};
  for (int i = 0; i < 2; i++) {
    if (channels && channels->channel[i]) {
      view_of(channels->channel[i], &view[i]);
      views[i] = &view[i];
    }
  }

  family(&a, "mevrakt_build_info", "gauge", "The version of mevraKT that runs, in the label.", openmetrics);
  answer_line(&a, "mevrakt_build_info{version=\"%s\"} 1\n", MEVRAKT_VERSION);
  family(&a, "mevrakt_start_time_seconds", "gauge", "When the daemon started, in Unix time.", openmetrics);
  answer_line(&a, "mevrakt_start_time_seconds %lld\n", static_cast<long long>(channels ? channels->started : 0));
  for (const metric &m : kMetrics) {
    const bool running_only = &m == &kMetrics[0];
    const char *total = strcmp(m.type, "counter") == 0 ? "_total" : "";
    family(&a, m.name, m.type, m.help, openmetrics);
    for (int i = 0; i < 2; i++) {
      if (views[i] || running_only)
        answer_line(&a, "%s%s{channel=\"%d\"} %u\n", m.name, total, i + 1, views[i] ? m.value(*views[i]) : 0u);
    }
  }
  family(&a, "mevrakt_commands_unanswered", "counter",
         "Commands that left without an answer, by reason: given up after 7 sends, the line returned them (echo), "
         "or their client sent the next, left or was replaced.",
         openmetrics);
  for (int i = 0; i < 2; i++) {
    for (uint32_t why = NBR14522_GONE_GIVEN_UP; views[i] && why < NBR14522_GONE_KINDS; why++)
      answer_line(&a, "mevrakt_commands_unanswered_total{channel=\"%d\",reason=\"%s\"} %u\n", i + 1,
                  kUnanswered[why], views[i]->link.n_cmd_unanswered[why]);
  }
  family(&a, "mevrakt_meter_info", "gauge",
         "The meter that last answered on the channel: its number, bytes 1 to 4 of its response.", openmetrics);
  for (int i = 0; i < 2; i++) {
    if (views[i] && views[i]->link.last_answer_s != 0) {
      const uint8_t *m = views[i]->link.meter;
      answer_line(&a, "mevrakt_meter_info{channel=\"%d\",meter=\"%02X%02X%02X%02X\"} 1\n", i + 1, m[0], m[1], m[2],
                  m[3]);
    }
  }
  family(&a, "mevrakt_read_duration_seconds", "histogram",
         "Answered commands by the time from their arrival to their answer's last frame leaving for the client.",
         openmetrics);
  read_durations(&a, views);
  if (openmetrics)
    answer_line(&a, "# EOF\n");
  return answer_end(&a);
}
