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
#include "daemon/answer.h"

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
  default:
    return "nothing was asked";
  }
}

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
    return snprintf(text, size, "ENQ crossed the command, nothing sent again");
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

// One series per running channel; a disabled channel shows only that it is
// not running.
struct metric {
  const char *name;
  const char *type;
  const char *help;
  uint32_t (*value)(const mevrakt_channel *channel);
};

constexpr metric kMetrics[] = {
    {"mevrakt_service_running", "gauge", "Whether the channel runs (1) or is disabled (0).",
     [](const mevrakt_channel *) { return 1u; }},
    {"mevrakt_amr_client_connected", "gauge", "Whether an AMR client is connected to the channel's TCP port.",
     [](const mevrakt_channel *c) { return c->server->fd_client.load(relaxed) >= 0 ? 1u : 0u; }},
    {"mevrakt_meter_connected", "gauge", "Whether the meter sends ENQ and the break is released.",
     [](const mevrakt_channel *c) { return c->link->connected.load(relaxed) != 0 ? 1u : 0u; }},
    {"mevrakt_break_held", "gauge", "Whether a break is held on the meter's line: no AMR client wants the meter.",
     [](const mevrakt_channel *c) { return c->link->break_on.load(relaxed) != 0 ? 1u : 0u; }},
    {"mevrakt_line_usable", "gauge", "Whether the meter's serial line is open.",
     [](const mevrakt_channel *c) { return c->link->line_ok.load(relaxed) != 0 ? 1u : 0u; }},
    {"mevrakt_tcp_sessions_total", "counter", "AMR client connections accepted.",
     [](const mevrakt_channel *c) { return c->server->n_sessions.load(relaxed); }},
    {"mevrakt_meter_connected_total", "counter", "Times the meter was connected.",
     [](const mevrakt_channel *c) { return c->link->n_connected.load(relaxed); }},
    {"mevrakt_meter_disconnected_total", "counter", "Times the meter was disconnected as its AMR client left.",
     [](const mevrakt_channel *c) { return c->link->n_disconnected.load(relaxed); }},
    {"mevrakt_meter_connection_lost_total", "counter", "Times the meter's ENQs stopped while it was connected.",
     [](const mevrakt_channel *c) { return c->link->n_conn_lost.load(relaxed); }},
    {"mevrakt_commands_ok_total", "counter", "Commands answered by a whole good response.",
     [](const mevrakt_channel *c) { return c->link->n_cmd_ok.load(relaxed); }},
    {"mevrakt_commands_failed_total", "counter", "Commands given up after 7 sends.",
     [](const mevrakt_channel *c) { return c->link->n_cmd_failed.load(relaxed); }},
    {"mevrakt_responses_ok_total", "counter", "Responses with a good CRC that answered a command, handed to its client.",
     [](const mevrakt_channel *c) { return c->link->n_rsp_ok.load(relaxed); }},
    {"mevrakt_responses_dropped_total", "counter",
     "Good responses that answered no command in flight (late, repeated or unasked): acknowledged, dropped.",
     [](const mevrakt_channel *c) { return c->link->n_rsp_dropped.load(relaxed); }},
    {"mevrakt_responses_failed_total", "counter", "Responses refused for a bad CRC.",
     [](const mevrakt_channel *c) { return c->link->n_rsp_failed.load(relaxed); }},
    {"mevrakt_connections_refused_total", "counter", "AMR client connections refused by the access settings.",
     [](const mevrakt_channel *c) { return c->server->n_refused.load(relaxed); }},
    {"mevrakt_commands_refused_total", "counter", "Commands refused by the access settings.",
     [](const mevrakt_channel *c) { return c->link->n_cmd_refused.load(relaxed); }},
};

}  // namespace

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

int mevrakt_metrics(void *context, const char *, int fd)
{
  answer a;
  answer_start(&a, fd);
  const auto *channels = static_cast<const mevrakt_channels *>(context);
  for (const metric &m : kMetrics) {
    const bool running_only = &m == &kMetrics[0];
    answer_line(&a, "# HELP %s %s\n# TYPE %s %s\n", m.name, m.help, m.name, m.type);
    for (int i = 0; i < 2; i++) {
      const mevrakt_channel *channel = channels ? channels->channel[i] : nullptr;
      if (channel || running_only)
        answer_line(&a, "%s{channel=\"%d\"} %u\n", m.name, i + 1, channel ? m.value(channel) : 0u);
    }
  }
  return answer_end(&a);
}
